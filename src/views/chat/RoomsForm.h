#ifndef TAVENOOK_VIEWS_CHAT_ROOMSFORM_H
#define TAVENOOK_VIEWS_CHAT_ROOMSFORM_H

#include <QWidget>

class QSplitter;
class QTreeWidget;
class TabWidget;

// The rooms page: the room list beside the tabs of joined rooms. Joining,
// chat and the list's actions come with the rooms issue; the page already
// remembers its splitter and column widths.
class RoomsForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kListWidth = 220;

    explicit RoomsForm(QWidget* parent = nullptr);
    ~RoomsForm() override;
    // Runs after the saved store is loaded, so saved sizes replace the defaults.
    void Init();
    QSplitter* Splitter() const { return mp_splitter; }
    QTreeWidget* RoomList() const { return mp_roomList; }

private:
    QSplitter* mp_splitter;
    TabWidget* mp_tabs;
    QTreeWidget* mp_roomList;
};

#endif
