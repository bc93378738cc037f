#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QTime>
#include <QUrl>
#include <utility>

#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ColumnWidths.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/SizeManager.h"
#include "store/GeneralFunctions.h"
#include "store/TimerManager.h"
#include "ui_RoomForm.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/RoomForm.h"
#include "views/users/UserMenuOptions.h"
#include "views/users/UserNoteDialog.h"

namespace {
ItemPtr FindUser(const QString& name) {
    return d.GetType("user")->HasItem(Value(name));
}

bool HoldsRole(const ItemPtr& room, const char* role, const ItemPtr& user) {
    const ItemPtr node = room[role];
    return !node.IsNull() && node.IsConnected(user);
}

// Counts and speeds read in full, however large; the width a column has is
// the least, so a wider saved width stays.
void FitNumberColumns(QTreeWidget* list) {
    for (const auto& [column, text] : {std::pair{RoomForm::ColumnFiles, LargestCountText()},
                                       std::pair{RoomForm::ColumnSpeed, LargestSpeedText()}})
        list->setColumnWidth(column,
                             FittingColumnWidth(list, column, list->columnWidth(column), {text}));
}
}  // namespace

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& other) const {
    return Less(
        *this, other,
        treeWidget() ? treeWidget()->header()->sortIndicatorSection() : int(RoomForm::ColumnUser));
}

bool QRoomUserListItemWidget::Less(const QTreeWidgetItem& me, const QTreeWidgetItem& other,
                                   int column) {
    const ItemPtr mine = FindUser(me.text(RoomForm::ColumnUser));
    const ItemPtr theirs = FindUser(other.text(RoomForm::ColumnUser));
    switch (column) {
        case RoomForm::ColumnFlag:
            return mine["country_code"].AsString().compare(theirs["country_code"].AsString(),
                                                           Qt::CaseInsensitive) < 0;
        case RoomForm::ColumnNote:
            return mine.IsConnected("user_note") && !theirs.IsConnected("user_note");
        case RoomForm::ColumnFiles:
            return mine["shared_file_count"].AsUInt64() > theirs["shared_file_count"].AsUInt64();
        case RoomForm::ColumnSpeed:
            return mine["average_download_speed"].AsUInt64() >
                   theirs["average_download_speed"].AsUInt64();
        default:
            return me.text(RoomForm::ColumnUser)
                       .compare(other.text(RoomForm::ColumnUser), Qt::CaseInsensitive) < 0;
    }
}

RoomForm::RoomForm(QString room, QWidget* parent)
    : QWidget(parent),
      mp_ui(new Ui::RoomForm),
      m_room(room),
      m_roomItem(d.GetType("room")->GetItem(Value(room))),
      m_transcript((mp_ui->setupUi(this), mp_ui->chatView), ChatTranscript::kCap) {
    mp_ui->splitter->setSizes({280, 280});
    mp_ui->splitter->setStretchFactor(0, 1);
    mp_ui->splitter->setStretchFactor(1, 0);
    QTreeWidget* list = mp_ui->userList;
    list->setHeaderLabels({"", "", "User", "", "Files", "K/s"});
    const int widths[] = {20, 25, 90, 25, 50, 40};
    for (int i = 0; i < 6; ++i)
        list->setColumnWidth(i, widths[i]);
    FitNumberColumns(list);
    // Rows are one line each, and the list keeps its order itself: a new
    // member goes to her place, where the view's own sorting would sort
    // every row again for each one. A click on a header sorts all once.
    list->setUniformRowHeights(true);
    list->setSortingEnabled(false);
    QHeaderView* header = list->header();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(ColumnUser, Qt::AscendingOrder);
    connect(header, &QHeaderView::sortIndicatorChanged, list,
            [list](int column, Qt::SortOrder order) { list->sortItems(column, order); });
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &RoomForm::FlushMembers);
    list->header()->setStretchLastSection(true);
    list->headerItem()->setIcon(ColumnNote, QIcon(":/icons/note_icon"));
    connect(list, &QTreeWidget::itemClicked, this, &RoomForm::OnUserItemClicked);
    connect(list, &QTreeWidget::itemDoubleClicked, this, &RoomForm::OnUserItemDoubleClicked);
    connect(list, &QWidget::customContextMenuRequested, this,
            &RoomForm::OnUserListContextMenuRequested);
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnEnterPressed);
    connect(mp_ui->chatView, &QTextBrowser::anchorClicked, this, &RoomForm::OnURLClicked);

    auto* added = new PathNode(&d, "user");
    new PathNode(added, m_roomItem, PathConnectedWatched);
    for (const char* value : {"average_download_speed", "shared_file_count", "country_code"})
        new PathNode(added, value, PathConnectedWatched);
    d.AddPathEventHandler(added, ItemHandler(this, &RoomForm::OnUserAdded));
    auto* removed = new PathNode(&d, "user");
    new PathNode(removed, m_roomItem, PathDisconnecting);
    d.AddPathEventHandler(removed, ItemHandler(this, &RoomForm::OnUserRemoved));
    auto* opAdded = new PathNode(&d, "user");
    new PathNode(new PathNode(opAdded, "room_operators", PathConnectedWatched), m_roomItem,
                 PathConnectedWatched);
    d.AddPathEventHandler(opAdded, ItemHandler(this, &RoomForm::OnOperatorAdded));
    auto* opRemoved = new PathNode(&d, "user");
    new PathNode(new PathNode(opRemoved, "room_operators", PathDisconnecting), m_roomItem,
                 PathConnected);
    d.AddPathEventHandler(opRemoved, ItemHandler(this, &RoomForm::OnOperatorRemoved));
    // The owner link may come before or after the member's row; both ways the
    // row shows the role as soon as both exist.
    auto* ownerAdded = new PathNode(&d, "user");
    new PathNode(new PathNode(ownerAdded, "room_owner", PathConnectedWatched), m_roomItem,
                 PathConnectedWatched);
    d.AddPathEventHandler(ownerAdded, ItemHandler(this, &RoomForm::OnOwnerChanged));
    auto* ownerRemoved = new PathNode(&d, "user");
    new PathNode(new PathNode(ownerRemoved, "room_owner", PathDisconnecting), m_roomItem,
                 PathConnected);
    d.AddPathEventHandler(ownerRemoved, ItemHandler(this, &RoomForm::OnOwnerChanged));
    if (gp_server)
        connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    const auto onRoom = [this](const char* flag, PathNodeRelation relation,
                               void (RoomForm::*handler)(ItemPtr)) {
        d.AddPathEventHandler(chat::Step(new PathNode(m_roomItem), flag, relation),
                              ItemHandler(this, handler));
    };
    onRoom("in_room", PathDisconnecting, &RoomForm::OnLeftRoom);
    if (actionBar) {
        actionBar->RegisterWidget(this, "room");
        actionBar->AddWidgetKey(this, "room", m_room);
        // The member list offers the user commands for the selected member.
        actionBar->RegisterWidget(mp_ui->userList, "user");
        actionBar->AddWidgetColumnKey(mp_ui->userList, "user", ColumnUser);
    }
    ShowGiveUpActions(m_roomItem);
    // A room just created is joined before the server tells us we own it, so
    // the give-up actions follow the roles rather than only their first state.
    for (const char* role : {"is_member", "is_owner"})
        for (PathNodeRelation relation : {PathConnecting, PathDisconnecting})
            onRoom(role, relation, &RoomForm::ShowGiveUpActions);
    SetActionText("toggle_room_autojoin",
                  m_roomItem.IsConnected("room_autojoin") ? "Auto-Join [on]" : "Auto-Join [off]");
    SetActionText("toggle_room_activity_alert", m_roomItem.IsConnected("room_activity_alert")
                                                    ? "Activity Alert [on]"
                                                    : "Activity Alert [off]");
    onRoom("room_autojoin", PathConnecting, &RoomForm::OnRoomAutojoinOn);
    onRoom("room_autojoin", PathDisconnecting, &RoomForm::OnRoomAutojoinOff);
    onRoom("room_activity_alert", PathConnecting, &RoomForm::OnRoomActivityAlertOn);
    onRoom("room_activity_alert", PathDisconnecting, &RoomForm::OnRoomActivityAlertOff);
    if (gp_server) {
        connect(gp_server, &Server::Connected, this, &RoomForm::OnConnected);
        connect(gp_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    }
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &RoomForm::CheckChatInactivity);
    d.AddPathEventHandler(chat::Step(new PathNode(&d, "user"), "user_note", PathConnecting),
                          ItemHandler(this, &RoomForm::OnUserNoteChanged));
    d.AddPathEventHandler(chat::Step(new PathNode(&d, "user"), "user_note", PathDisconnecting),
                          ItemHandler(this, &RoomForm::OnUserNoteRemoved));
    // Members already present when the view opens.
    const ItemSet present = m_roomItem.GetItems("user");
    for (auto it = present.Begin(); it != present.End(); ++it)
        OnUserAdded(*it);
}

RoomForm::~RoomForm() {
    // Leaving changes the store; this form must not hear of it any more.
    DisableHandlers();
    if (!m_left && gp_server)
        gp_server->LeaveRoom(m_room);
    // Without a view the room must be joinable again, sent or not.
    if (!m_left && (!gp_server || !gp_server->IsConnected()))
        m_roomItem.Disconnect("in_room");
    qDeleteAll(m_joining);  // in no list yet
    delete mp_ui;
}

void RoomForm::Init() {
    if (sizeManager) {
        sizeManager->RegisterSplitter("room_splitter", mp_ui->splitter);
        sizeManager->RegisterTreeWidget("room_user_list", mp_ui->userList);
    }
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    mp_ui->userList->setColumnWidth(ColumnBlank, 20);
    FitNumberColumns(mp_ui->userList);
}

QTreeWidgetItem* RoomForm::UserRow(const QString& user) const {
    return m_rows.value(user);
}

void RoomForm::ScheduleFlush() {
    if (m_flushTimer.isActive())
        return;
    const qint64 wait = m_sinceFlush.isValid() ? kFlushGapMs - m_sinceFlush.elapsed() : 0;
    m_flushTimer.start(int(qMax<qint64>(wait, 0)));
}

void RoomForm::FlushMembers() {
    m_flushTimer.stop();
    qDeleteAll(std::exchange(m_leaving, {}));
    for (QTreeWidgetItem* row : std::exchange(m_joining, {}))
        InsertInOrder(row);
    m_sinceFlush.start();
}

void RoomForm::InsertInOrder(QTreeWidgetItem* row) {
    QTreeWidget* list = mp_ui->userList;
    const int column = list->header()->sortIndicatorSection();
    const bool ascending = list->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    // After the rows it does not sort before, as a stable sort puts it.
    int low = 0;
    int high = list->topLevelItemCount();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const QTreeWidgetItem* at = list->topLevelItem(middle);
        const bool before = ascending ? QRoomUserListItemWidget::Less(*row, *at, column)
                                      : QRoomUserListItemWidget::Less(*at, *row, column);
        if (before)
            high = middle;
        else
            low = middle + 1;
    }
    list->insertTopLevelItem(low, row);
}

void RoomForm::OnUserAdded(ItemPtr user) {
    const QString name = user.AsString();
    if (UserRow(name) || !m_roomItem.IsConnected(user))
        return;
    // Filled before it goes in: a change to a listed row costs a model update.
    auto* row = new QRoomUserListItemWidget;
    row->setText(ColumnUser, name);
    ShowRole(row, user);
    const QString country = user["country_code"].AsString();
    row->setIcon(ColumnFlag,
                 QIcon(country.isEmpty() ? QString(":/icons/cat_icon")
                                         : ":/resources/flags/" + country.toLower() + ".png"));
    row->setText(ColumnFiles, CommafyNumber(user["shared_file_count"].AsInt64()));
    const double speed = user["average_download_speed"].AsUInt64() * 0.0009765625;
    if (speed != 0)
        row->setText(ColumnSpeed, QString("%1").arg(speed, 0, 'f', 1));
    if (user.IsConnected("user_note"))
        row->setIcon(ColumnNote, QIcon(":/icons/note_icon"));
    m_rows.insert(name, row);
    m_joining.append(row);
    ScheduleFlush();
    UpdateUserCount();
}

void RoomForm::OnUserRemoved(ItemPtr user) {
    QTreeWidgetItem* row = m_rows.take(user.AsString());
    if (!row)
        return;
    if (row->treeWidget()) {
        m_leaving.append(row);
        ScheduleFlush();
    } else {
        m_joining.removeOne(row);
        delete row;
    }
    UpdateUserCount();
}

void RoomForm::UpdateUserCount() {
    const int count = m_roomItem.CountItems("user");
    m_roomItem.Connect(d.GetType("user_count")->GetItem(Value(count)));
}

void RoomForm::ShowRole(QTreeWidgetItem* row, const ItemPtr& user) {
    const bool owner = HoldsRole(m_roomItem, "room_owner", user);
    QFont font = row->font(ColumnUser);
    font.setBold(owner || HoldsRole(m_roomItem, "room_operators", user));
    font.setUnderline(owner);
    row->setFont(ColumnUser, font);
}

void RoomForm::OnOperatorAdded(ItemPtr user) {
    if (QTreeWidgetItem* row = UserRow(user.AsString()))
        ShowRole(row, user);
}

void RoomForm::OnOperatorRemoved(ItemPtr user) {
    // Not ShowRole: an owner who loses operator rank shows in normal weight.
    if (QTreeWidgetItem* row = UserRow(user.AsString())) {
        QFont font = row->font(ColumnUser);
        font.setBold(false);
        row->setFont(ColumnUser, font);
    }
}

void RoomForm::OnOwnerChanged(ItemPtr user) {
    if (QTreeWidgetItem* row = UserRow(user.AsString()))
        ShowRole(row, user);
}

void RoomForm::OnUserNoteChanged(ItemPtr user) {
    if (QTreeWidgetItem* row = UserRow(user.AsString()))
        row->setIcon(ColumnNote, QIcon(":/icons/note_icon"));
}

void RoomForm::OnUserNoteRemoved(ItemPtr user) {
    if (QTreeWidgetItem* row = UserRow(user.AsString()))
        row->setIcon(ColumnNote, QIcon());
}

void RoomForm::OnLeftRoom(ItemPtr) {
    m_left = true;
    deleteLater();
    hide();
    // The tab goes now, not at the next turn of the event loop.
    setParent(nullptr);
}

void RoomForm::ShowGiveUpActions(ItemPtr) {
    if (!actionBar)
        return;
    const bool owner = m_roomItem.IsConnected("is_owner");
    actionBar->SetWidgetActionHidden(this, "give_up_membership",
                                     !(m_roomItem.IsConnected("is_member") && !owner));
    actionBar->SetWidgetActionHidden(this, "give_up_ownership", !owner);
}

void RoomForm::SetActionText(const char* action, const QString& text) {
    if (actionBar)
        actionBar->SetWidgetActionText(this, action, text);
}

void RoomForm::OnRoomAutojoinOn(ItemPtr) {
    SetActionText("toggle_room_autojoin", "Auto-Join [on]");
}

void RoomForm::OnRoomAutojoinOff(ItemPtr) {
    SetActionText("toggle_room_autojoin", "Auto-Join [off]");
}

void RoomForm::OnRoomActivityAlertOn(ItemPtr) {
    SetActionText("toggle_room_activity_alert", "Activity Alert [on]");
}

void RoomForm::OnRoomActivityAlertOff(ItemPtr) {
    SetActionText("toggle_room_activity_alert", "Activity Alert [off]");
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem* item, int column) {
    if (!item || column != ColumnNote)
        return;
    const QString user = item->text(ColumnUser);
    if (FindUser(user).IsConnected("user_note"))
        UserNoteDialog::GetDialog(user)->show();
}

void RoomForm::OnUserItemDoubleClicked(QTreeWidgetItem* item, int) {
    if (item && chatsForm)
        chatsForm->OpenChatForm(item->text(ColumnUser));
}

void RoomForm::OnUserListContextMenuRequested(QPoint point) {
    QTreeWidgetItem* item = mp_ui->userList->itemAt(point);
    if (!item)
        return;
    QMenu menu;
    UserMenuOptions userOptions(&menu, item->text(ColumnUser));
    prompts::ExecMenu(&menu, mp_ui->userList->viewport()->mapToGlobal(point));
}

void RoomForm::OnEnterPressed() {
    const QString text = mp_ui->chatEdit->text();
    if (text.isEmpty())
        return;
    if (!gp_server || !gp_server->IsConnected()) {
        AddStatusMessage("not connected, message not sent");
        return;
    }
    gp_server->SendRoomChat(m_room, text);
    mp_ui->chatEdit->clear();
}

void RoomForm::OnRoomChat(QString room, QString user, QString chat) {
    if (room != m_room)
        return;
    const QString text = chat.trimmed();
    if (chat::IsAction(text)) {
        LogChat(m_transcript.AddAction(user, text));
        return;
    }
    LogChat(m_transcript.AddLine(user, text));
    if (eventToolBar && m_roomItem.IsConnected("room_activity_alert"))
        eventToolBar->AddEvent(m_room, ":/icons/room_icon", mp_ui->chatEdit, QString(), "room_chat",
                               false);
}

void RoomForm::OnDisconnected() {
    AddStatusMessage(QString("Disconnected at %1.").arg(chat::ShortTime(chat::Now())));
}

void RoomForm::OnConnected() {
    AddStatusMessage(QString("Reconnected at %1.").arg(chat::ShortTime(chat::Now())));
    if (gp_server)
        gp_server->EnterRoom(m_room, false);
}

void RoomForm::CheckChatInactivity() {
    m_transcript.CheckInactivity();
}

void RoomForm::OnURLClicked(QUrl url) {
    QDesktopServices::openUrl(url);
    mp_ui->chatEdit->setFocus();
}

void RoomForm::AddStatusMessage(QString text) {
    m_transcript.AddStatus(text);
}

void RoomForm::LogChat(QString line) {
    chatlog::Write(chatlog::Kind::Room, m_room, line);
}
