#ifndef TAVENOOK_VIEWS_CHAT_ROOMFORM_H
#define TAVENOOK_VIEWS_CHAT_ROOMFORM_H

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QWidget>

#include "store/Data.h"
#include "views/chat/ChatTranscript.h"

class QUrl;

namespace Ui {
class RoomForm;
}

// A member row; orders by the store values behind the sort column.
class QRoomUserListItemWidget : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override;
    // The order by a column, whether or not the rows are listed.
    static bool Less(const QTreeWidgetItem& me, const QTreeWidgetItem& other, int column);
};

// The page of one joined room: transcript, entry line and member list. It
// lives from the join confirmation until its tab closes or the server takes
// us out of the room.
class RoomForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    enum Column { ColumnBlank, ColumnFlag, ColumnUser, ColumnNote, ColumnFiles, ColumnSpeed };

    RoomForm(QString room, QWidget* parent = nullptr);
    ~RoomForm() override;
    void Init();

    void AddStatusMessage(QString text);
    void LogChat(QString line);

    QString Room() const { return m_room; }
    Ui::RoomForm* Form() const { return mp_ui; }
    ChatTranscript& Transcript() { return m_transcript; }
    // The member's row, in the list or waiting to go in.
    QTreeWidgetItem* UserRow(const QString& user) const;
    // Members who joined since the last flush go into the list together, and
    // those who left go together: each change of the list's rows costs it a
    // pass over all of them. A flush comes by itself soon after a change.
    void FlushMembers();
    // The server took us out of the room; the form is on its way out.
    bool HasLeft() const { return m_left; }

public slots:
    void OnRoomChat(QString room, QString user, QString chat);
    void OnEnterPressed();
    void OnConnected();
    void OnDisconnected();
    void CheckChatInactivity();
    void OnURLClicked(QUrl url);
    void OnUserItemClicked(QTreeWidgetItem* item, int column);
    void OnUserItemDoubleClicked(QTreeWidgetItem* item, int column);
    void OnUserListContextMenuRequested(QPoint point);

private:
    void OnUserAdded(ItemPtr user);
    void OnUserRemoved(ItemPtr user);
    void OnOperatorAdded(ItemPtr user);
    void OnOperatorRemoved(ItemPtr user);
    void OnUserNoteChanged(ItemPtr user);
    void OnUserNoteRemoved(ItemPtr user);
    void OnLeftRoom(ItemPtr room);
    void OnRoomAutojoinOn(ItemPtr room);
    void OnRoomAutojoinOff(ItemPtr room);
    void OnRoomActivityAlertOn(ItemPtr room);
    void OnRoomActivityAlertOff(ItemPtr room);
    void UpdateUserCount();
    void OnOwnerChanged(ItemPtr user);
    // Bold for an operator or the owner, underlined for the owner.
    void ShowRole(QTreeWidgetItem* row, const ItemPtr& user);
    void InsertInOrder(QTreeWidgetItem* row);
    void ScheduleFlush();
    void SetActionText(const char* action, const QString& text);
    void ShowGiveUpActions(ItemPtr room);

    Ui::RoomForm* mp_ui;
    QString m_room;
    ItemPtr m_roomItem;
    ChatTranscript m_transcript;
    bool m_left = false;
    // Member rows by name.
    QHash<QString, QTreeWidgetItem*> m_rows;
    QList<QTreeWidgetItem*> m_joining;
    QList<QTreeWidgetItem*> m_leaving;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    static constexpr qint64 kFlushGapMs = 250;
};

#endif
