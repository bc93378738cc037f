#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QTreeWidget>

#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/SizeManager.h"
#include "shell/TabWidget.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatLogForm.h"
#include "views/chat/ChatTranscript.h"
#include "views/chat/CreateRoomDialog.h"
#include "views/chat/RoomForm.h"
#include "views/chat/RoomWallForm.h"
#include "views/chat/RoomsForm.h"

namespace {
ItemPtr FindRoom(const QString& name) {
    return d.GetType("room")->HasItem(Value(name));
}

QWidget* Page(const ItemPtr& item) {
    return item.IsNull() ? nullptr : reinterpret_cast<QWidget*>(item.AsUInt64());
}
}  // namespace

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& other) const {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (column != 0)
        return text(1).toLongLong() < other.text(1).toLongLong();
    const ItemPtr mine = FindRoom(text(0));
    const ItemPtr theirs = FindRoom(other.text(0));
    for (const char* flag : {"is_owner", "is_operator", "is_member"}) {
        const bool a = mine.IsConnected(flag);
        const bool b = theirs.IsConnected(flag);
        if (a != b)
            return a;
    }
    return text(0).compare(other.text(0), Qt::CaseInsensitive) < 0;
}

RoomsForm::RoomsForm(QWidget* parent)
    : QWidget(parent),
      mp_splitter(new QSplitter(Qt::Horizontal, this)),
      mp_tabs(new TabWidget(mp_splitter)),
      mp_roomList(new QTreeWidget(mp_splitter)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(mp_splitter);
    mp_splitter->setObjectName("roomSplitter");
    mp_tabs->setObjectName("roomsTabControl");
    mp_tabs->setIconSize(QSize(16, 18));
    mp_tabs->setTabsClosable(true);
    mp_tabs->setMovable(true);
    mp_roomList->setObjectName("roomList");
    mp_roomList->setHeaderLabels({"Room Name", "Users"});
    mp_roomList->setColumnWidth(0, 150);
    mp_roomList->setColumnWidth(1, 30);
    mp_roomList->setIconSize(QSize(16, 11));
    mp_roomList->setItemsExpandable(false);
    mp_roomList->setRootIsDecorated(false);
    // Room names often share a long prefix and differ at the end.
    mp_roomList->setTextElideMode(Qt::ElideMiddle);
    mp_roomList->setSortingEnabled(true);
    mp_roomList->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_splitter->setStretchFactor(0, 1);
    mp_splitter->setStretchFactor(1, 0);
    connect(mp_roomList, &QWidget::customContextMenuRequested, this,
            &RoomsForm::OnRoomListContextMenuRequested);
    connect(mp_roomList, &QTreeWidget::itemDoubleClicked, this,
            &RoomsForm::OnRoomListItemDoubleClicked);
}

RoomsForm::~RoomsForm() {
    DisableHandlers();
}

void RoomsForm::Init() {
    Type* room = d.GetType("room");
    room->RelateToType(d.NewType("room_node", PrimacyRoot, false, true), One, One, false);
    room->NewItemEvent().Insert(ItemHandler(this, &RoomsForm::OnRoomAdded));
    const ItemSet rooms = room->GetItems();
    for (auto it = rooms.Begin(); it != rooms.End(); ++it)
        OnRoomAdded(*it);
    const auto onRoom = [this](const char* flag, PathNodeRelation relation,
                               void (RoomsForm::*handler)(ItemPtr)) {
        d.AddPathEventHandler(chat::Step(new PathNode(&d, "room"), flag, relation),
                              ItemHandler(this, handler));
    };
    onRoom("user_count", PathConnecting, &RoomsForm::OnRoomUserCountChanged);
    onRoom("is_owner", PathConnecting, &RoomsForm::OnBecomingRoomOwner);
    onRoom("is_operator", PathConnecting, &RoomsForm::OnBecomingRoomOperator);
    onRoom("is_member", PathConnecting, &RoomsForm::OnBecomingRoomMember);
    for (const char* flag : {"is_member", "is_operator", "is_owner"})
        onRoom(flag, PathDisconnecting, &RoomsForm::OnLosingRoomRole);
    mp_roomList->sortByColumn(0, Qt::AscendingOrder);
    d.AddConnectionEventHandler(room, d.GetType("in_room"),
                                ConnectionHandler(this, &RoomsForm::OnEnteredRoom));
    if (actionBar) {
        actionBar->AddSetAction("room_list", "create_room", "Create Room", ":/icons/room_icon",
                                false);
        actionBar->AddSetAction("room_list", "refresh_room_list", "Refresh Room List",
                                ":/icons/room_icon", false);
        actionBar->AddSetAction("room_list", "enable_private_room_add",
                                "Accept Private Room Invitations", ":/icons/room_icon", false);
        actionBar->RegisterWidget(mp_roomList, "room_list");
        actionBar->AddWidgetColumnKey(mp_roomList, "room", 0);
        const char* const roomActions[][3] = {
            {"toggle_room_autojoin", "Toggle Autojoin", ":/icons/room_icon"},
            {"toggle_room_activity_alert", "Toggle Activity Alert", ":/icons/alert_icon"},
            {"room_chat_log", "Chat Log", ":/icons/note_icon"},
            {"room_wall", "Room Wall", ":/icons/wall_icon"},
            {"give_up_membership", "Give Up Membership", ":/icons/room_icon"},
            {"give_up_ownership", "Give Up Room", ":/icons/room_icon"}};
        for (const auto& a : roomActions)
            actionBar->AddSetAction("room", a[0], a[1], a[2], false);
    }
    mp_splitter->setSizes({qMax(0, width() - kListWidth), kListWidth});
    if (sizeManager) {
        sizeManager->RegisterSplitter("room_list_splitter", mp_splitter);
        sizeManager->RegisterTreeWidget("room_list", mp_roomList);
    }
    if (gp_server) {
        connect(gp_server, &Server::PrivateRoomAddEnabled, this,
                &RoomsForm::OnPrivateRoomAddEnabled);
        connect(gp_server, &Server::Connected, this, &RoomsForm::OnConnected);
    }
    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &RoomsForm::OnToolBarActionTriggered);
    connect(mp_tabs, &QTabWidget::tabCloseRequested, this, &RoomsForm::OnRoomTabClosed);
    room->RelateToType(d.NewType("room_wall_form", PrimacyRoot, false, true), One, One, false);
    room->RelateToType(d.NewType("room_activity_alert", PrimacyLeaf, true, true), Many, One, false);
}

RoomForm* RoomsForm::RoomView(const QString& room) const {
    RoomForm* view = m_views.value(room);
    return view && !view->HasLeft() ? view : nullptr;
}

QTreeWidgetItem* RoomsForm::Row(const ItemPtr& room) const {
    const ItemPtr node = room["room_node"];
    return node.IsNull() ? nullptr : reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64());
}

void RoomsForm::OnRoomAdded(ItemPtr room) {
    if (room.IsConnected("room_node"))
        return;
    auto* row = new QRoomListItemWidget(mp_roomList);
    row->setText(0, room.AsString());
    row->setToolTip(0, room.AsString());
    room.Connect(d.GetType("room_node")->GetItem(Value(static_cast<void*>(row))));
}

void RoomsForm::OnRoomUserCountChanged(ItemPtr room) {
    if (QTreeWidgetItem* row = Row(room)) {
        const qint64 count = room["user_count"].AsInt64();
        row->setText(1, count != 0 ? QString::number(count) : QString());
    }
}

void RoomsForm::ChangeFont(const ItemPtr& room, const std::function<void(QFont&)>& change) {
    QTreeWidgetItem* row = Row(room);
    if (!row)
        return;
    QFont font = row->font(0);
    change(font);
    row->setFont(0, font);
    mp_roomList->sortByColumn(mp_roomList->sortColumn(),
                              mp_roomList->header()->sortIndicatorOrder());
}

void RoomsForm::OnBecomingRoomOwner(ItemPtr room) {
    ChangeFont(room, [](QFont& f) {
        f.setItalic(true);
        f.setUnderline(true);
        f.setWeight(75);
    });
}

void RoomsForm::OnBecomingRoomOperator(ItemPtr room) {
    ChangeFont(room, [](QFont& f) {
        f.setItalic(true);
        f.setWeight(75);
    });
}

void RoomsForm::OnBecomingRoomMember(ItemPtr room) {
    if (room.IsConnected("is_owner") || room.IsConnected("is_operator"))
        return;
    ChangeFont(room, [](QFont& f) { f.setItalic(true); });
}

void RoomsForm::OnLosingRoomRole(ItemPtr room) {
    ChangeFont(room, [&room](QFont& f) {
        f.setItalic(room.IsConnected("is_member"));
        f.setUnderline(room.IsConnected("is_owner"));
        f.setWeight(room.IsConnected("is_operator") ? 75 : 50);
    });
}

void RoomsForm::OnEnteredRoom(ConnectionInfo& info) {
    const QString name = info.from.AsString();
    auto* view = new RoomForm(name, nullptr);
    m_views.insert(name, view);
    mp_tabs->addTab(view, QIcon(":/icons/room_icon"), LiteralLabel(name));
    view->Init();
}

void RoomsForm::OnRoomListItemDoubleClicked(QTreeWidgetItem* item, int column) {
    if (item && column == 0 && gp_server)
        gp_server->EnterRoom(item->text(0), false);
}

void RoomsForm::OnRoomListContextMenuRequested(QPoint point) {
    if (!mp_roomList->itemAt(point))
        return;
    QMenu menu;
    menu.addAction(QIcon(":/icons/room_icon"), "Enter Room", this, &RoomsForm::OnEnterRoom);
    prompts::ExecMenu(&menu, mp_roomList->viewport()->mapToGlobal(point));
}

void RoomsForm::OnEnterRoom() {
    const QList<QTreeWidgetItem*> selected = mp_roomList->selectedItems();
    if (!selected.isEmpty() && gp_server)
        gp_server->EnterRoom(selected.first()->text(0), false);
}

void RoomsForm::OpenTab(const ItemPtr& room, const char* type, QWidget* page, const char* icon) {
    mp_tabs->addTab(page, QIcon(icon), LiteralLabel(room.AsString()));
    room.Connect(d.GetType(type)->GetItem(Value(static_cast<void*>(page))));
    FocusWidgetAndParents(page);
}

void RoomsForm::OnToolBarActionTriggered(QWidget*, QString action) {
    if (action == QLatin1String("refresh_room_list")) {
        if (gp_server)
            gp_server->GetRoomList();
        return;
    }
    if (action == QLatin1String("create_room")) {
        if (!createRoomDialog)
            new CreateRoomDialog(this);
        createRoomDialog->show();
        return;
    }
    if (action == QLatin1String("enable_private_room_add")) {
        if (gp_server)
            gp_server->EnablePrivateRoomAdd(GetSetting("enable_private_room_add") != "yes");
        return;
    }
    const QString key = actionBar ? actionBar->GetKey("room") : QString();
    if (key.isEmpty())
        return;
    const ItemPtr room = d.GetType("room")->GetItem(Value(key));
    const auto toggle = [&room](const char* flag) {
        if (room.IsConnected(flag))
            room.Disconnect(flag);
        else
            room.NewItem(flag);
    };
    if (action == QLatin1String("toggle_room_autojoin")) {
        toggle("room_autojoin");
    } else if (action == QLatin1String("toggle_room_activity_alert")) {
        toggle("room_activity_alert");
    } else if (action == QLatin1String("room_chat_log")) {
        if (QWidget* open = Page(room["chat_log_form"]))
            FocusWidgetAndParents(open);
        else
            OpenTab(room, "chat_log_form",
                    new ChatLogForm(chatlog::FilePath(chatlog::Kind::Room, key), this),
                    ":/icons/note_icon");
    } else if (action == QLatin1String("room_wall")) {
        if (QWidget* open = Page(room["room_wall_form"]))
            FocusWidgetAndParents(open);
        else
            OpenTab(room, "room_wall_form", new RoomWallForm(key, this), ":/icons/wall_icon");
    } else if (action == QLatin1String("give_up_membership")) {
        if (!room.IsConnected("is_member") || room.IsConnected("is_owner"))
            return;
        if (prompts::AskYesNo(
                nullptr, "Give up membership?",
                QString("Are you sure you want to give up your membership to the %1 private "
                        "room?")
                    .arg(key)) &&
            gp_server)
            gp_server->GiveUpPrivateRoomMembership(key);
    } else if (action == QLatin1String("give_up_ownership")) {
        if (!room.IsConnected("is_owner"))
            return;
        if (!prompts::AskYesNo(
                nullptr, "Give up membership?",
                QString("Are you SURE you want to give up your ownership of the %1 private room?")
                    .arg(key)) ||
            !prompts::AskYesNo(nullptr, "REALLY?", "REALLY?") || !gp_server)
            return;
        gp_server->GiveUpPrivateRoom(key);
        gp_server->LeaveRoom(key);
    }
}

void RoomsForm::OnPrivateRoomAddEnabled(bool enabled) {
    SetSettingYes("enable_private_room_add", enabled);
    if (actionBar)
        actionBar->SetWidgetActionText(
            mp_roomList, "enable_private_room_add",
            enabled ? "Reject Private Room Invitations" : "Accept Private Room Invitations");
}

void RoomsForm::OnConnected() {
    // The server forgets the choice at every login; so does the action.
    OnPrivateRoomAddEnabled(false);
    // A room entered before the connection dropped, without a view, must be
    // joinable again: its next join answer then opens a view.
    const ItemSet entered = d.GetType("room")->GetItems().Connected("in_room");
    for (auto it = entered.Begin(); it != entered.End(); ++it) {
        ItemPtr room = *it;
        if (!RoomView(room.AsString()))
            room.Disconnect("in_room");
    }
}

void RoomsForm::OnRoomTabClosed(int index) {
    delete mp_tabs->widget(index);
}
