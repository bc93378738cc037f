#ifndef TAVENOOK_VIEWS_CHAT_ROOMSFORM_H
#define TAVENOOK_VIEWS_CHAT_ROOMSFORM_H

#include <QHash>
#include <QPointer>
#include <QTreeWidgetItem>
#include <QWidget>

#include "store/Data.h"

class QSplitter;
class QTreeWidget;
class RoomForm;
class TabWidget;

// A room row; orders by role, then name, or by user count.
class QRoomListItemWidget : public QTreeWidgetItem {
public:
    explicit QRoomListItemWidget(QTreeWidget* list) : QTreeWidgetItem(list) {}
    bool operator<(const QTreeWidgetItem& other) const override;
};

// The rooms page: the room list with the user's roles beside the tabs of
// joined rooms, their walls and their chat logs.
class RoomsForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    static constexpr int kListWidth = 220;

    explicit RoomsForm(QWidget* parent = nullptr);
    ~RoomsForm() override;
    // Runs after the saved store is loaded, so saved sizes replace the defaults.
    void Init();
    QSplitter* Splitter() const { return mp_splitter; }
    QTreeWidget* RoomList() const { return mp_roomList; }
    TabWidget* Tabs() const { return mp_tabs; }
    // The open chat view of a room, or null.
    RoomForm* RoomView(const QString& room) const;

public slots:
    void OnEnterRoom();
    void OnRoomListContextMenuRequested(QPoint point);
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* item, int column);
    void OnToolBarActionTriggered(QWidget* widget, QString action);
    void OnPrivateRoomAddEnabled(bool enabled);
    void OnConnected();
    void OnRoomTabClosed(int index);

private:
    void OnRoomAdded(ItemPtr room);
    void OnRoomUserCountChanged(ItemPtr room);
    void OnBecomingRoomOwner(ItemPtr room);
    void OnBecomingRoomOperator(ItemPtr room);
    void OnBecomingRoomMember(ItemPtr room);
    void OnLosingRoomRole(ItemPtr room);
    void OnEnteredRoom(ConnectionInfo& info);
    QTreeWidgetItem* Row(const ItemPtr& room) const;
    void ChangeFont(const ItemPtr& room, const std::function<void(QFont&)>& change);
    void OpenTab(const ItemPtr& room, const char* type, QWidget* page, const char* icon);

    QSplitter* mp_splitter;
    TabWidget* mp_tabs;
    QTreeWidget* mp_roomList;
    QHash<QString, QPointer<RoomForm>> m_views;
};

#endif
