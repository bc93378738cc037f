#include "views/users/UserMenuOptions.h"

#include <QAction>
#include <QMenu>

#include "net/server.h"
#include "shell/FocusWidget.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "views/chat/ChatsForm.h"
#include "views/shares/ItemLogDialog.h"
#include "views/shares/SharesForm.h"
#include "views/users/GiftPrivilegesDialog.h"
#include "views/users/UserInfoForm.h"
#include "views/users/UserListForm.h"
#include "views/users/UserNoteDialog.h"

namespace {

ItemPtr UserItem(const QString& name) {
    return d.GetType("user")->GetItem(name);
}

// Callers built without every service still get a menu: an undeclared mark
// is simply not set.
bool Marked(const ItemPtr& user, const char* type) {
    return d.FindType(type) && user.IsConnected(type);
}

}  // namespace

UserMenuOptions::UserMenuOptions(QMenu* menu, QString user, QObject* parent)
    : QObject(parent), m_user(std::move(user)) {
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    const ItemPtr item = UserItem(m_user);
    auto add = [this, menu](const QString& text, const char* icon,
                            void (UserMenuOptions::*slot)()) {
        QAction* action = menu->addAction(icon ? QIcon(icon) : QIcon(), text);
        connect(action, &QAction::triggered, this, slot);
    };
    add("Message user", ":/icons/chat_icon", &UserMenuOptions::OnMessageUser);
    if (Marked(item, "in_user_list")) {
        add("Set user's groups", ":/icons/users_icon", &UserMenuOptions::OnSetUserGroups);
        add("Remove user from list", ":/icons/remove_user_icon", &UserMenuOptions::OnRemoveUser);
    } else {
        add("Add user to list", ":/icons/add_user_icon", &UserMenuOptions::OnAddUser);
    }
    add("Browse user's files", ":/icons/browse_icon", &UserMenuOptions::OnBrowseUser);
    add("Upload to user", ":/icons/browse_icon", &UserMenuOptions::OnUploadToUser);
    add("Get User Info", ":/icons/info_icon", &UserMenuOptions::OnGetUserInfo);
    add(Marked(item, "user_note") ? "Edit user note" : "Add user note", ":/icons/note_icon",
        &UserMenuOptions::OnUserNote);
    add(Marked(item, "user_online_alert") ? "Remove online status alert"
                                          : "Alert when user goes online",
        ":/icons/alert_icon", &UserMenuOptions::OnAddRemoveOnlineAlert);
    if (GetSettingInt("privileges_time_left") > 0)
        add("Gift Privileges", ":/icons/gift_icon", &UserMenuOptions::OnGiftPrivileges);
    menu->addSeparator();
    if (Marked(item, "unshared")) {
        add("Re-share files with user", ":/icons/browse_icon",
            &UserMenuOptions::OnReshareFilesWithUser);
    } else {
        add("Unshare files from user", ":/icons/browse_icon",
            &UserMenuOptions::OnUnshareFilesFromUser);
    }
    if (Marked(item, "is_ignored"))
        add("Unignore user", ":/icons/chat_icon", &UserMenuOptions::OnUnignoreUser);
    else
        add("Ignore user", ":/icons/chat_icon", &UserMenuOptions::OnIgnoreUser);
    AddPrivateRooms(menu);
    if (GetSetting("user_level_logging") == "yes") {
        menu->addSeparator();
        add("See User Log", nullptr, &UserMenuOptions::OnUserLog);
    }
}

UserMenuOptions::~UserMenuOptions() = default;

void UserMenuOptions::AddPrivateRooms(QMenu* menu) {
    const ItemSet rooms = d.GetType("room")->GetItems();
    const std::list<ItemPtr> owned = rooms.Connected("is_owner").SortAlphabetic(true, true);
    const std::list<ItemPtr> operated = rooms.Connected("is_operator").SortAlphabetic(true, true);
    if (owned.empty() && operated.empty())
        return;
    menu->addSeparator();
    QMenu* privateRooms = menu->addMenu("Private Rooms");
    const ItemPtr user = UserItem(m_user);
    auto add = [this](QMenu* roomMenu, const QString& room, const QString& text,
                      void (UserMenuOptions::*slot)()) {
        QAction* action = roomMenu->addAction(text);
        action->setData(room);
        connect(action, &QAction::triggered, this, slot);
    };
    // Both role sets answer for rooms that never had one yet: empty then.
    auto addMembership = [&](QMenu* roomMenu, const ItemPtr& room) {
        const bool member = room.NewItem("room_members").IsConnected(user);
        if (member)
            add(roomMenu, room.AsString(), "Remove User's Membership",
                &UserMenuOptions::OnRemoveUserMembership);
        else
            add(roomMenu, room.AsString(), "Give User Membership",
                &UserMenuOptions::OnAddUserMembership);
        return member;
    };
    for (const ItemPtr& room : owned) {
        QMenu* roomMenu =
            privateRooms->addMenu(QIcon(":/icons/chat_icon"), LiteralLabel(room.AsString()));
        QFont font = roomMenu->menuAction()->font();
        font.setWeight(75);
        font.setUnderline(true);
        roomMenu->menuAction()->setFont(font);
        const bool member = addMembership(roomMenu, room);
        const bool isOperator = room.NewItem("room_operators").IsConnected(user);
        if (member && !isOperator) {
            roomMenu->addSeparator();
            add(roomMenu, room.AsString(), "Make User Operator",
                &UserMenuOptions::OnAddUserOperatorship);
        }
        if (isOperator) {
            roomMenu->addSeparator();
            add(roomMenu, room.AsString(), "Remove User's Operator Status",
                &UserMenuOptions::OnRemoveUserOperatorship);
        }
    }
    for (const ItemPtr& room : operated) {
        if (room.IsConnected("is_owner"))
            continue;
        addMembership(privateRooms->addMenu(LiteralLabel(room.AsString())), room);
    }
}

QString UserMenuOptions::SenderRoom() const {
    auto* action = qobject_cast<QAction*>(sender());
    return action ? action->data().toString() : QString();
}

void UserMenuOptions::OnMessageUser() {
    if (chatsForm)
        chatsForm->OpenChatForm(m_user);
}

void UserMenuOptions::OnSetUserGroups() {
    UserListForm::OpenUserGroupsDialog(m_user);
}

// The list entry goes whole, so its groups are neither kept nor saved again.
void UserMenuOptions::OnRemoveUser() {
    for (const ItemPtr& entry : UserItem(m_user).GetItems("in_user_list"))
        entry.Remove();
}

void UserMenuOptions::OnAddUser() {
    UserItem(m_user).NewItem("in_user_list");
    if (GetSetting("open_groups_on_user_add") == "yes")
        UserListForm::OpenUserGroupsDialog(m_user);
}

void UserMenuOptions::OnBrowseUser() {
    if (sharesForm)
        sharesForm->OpenShareBrowse(m_user);
}

void UserMenuOptions::OnUploadToUser() {
    if (sharesForm)
        sharesForm->OpenUploadBrowse(m_user);
}

void UserMenuOptions::OnGetUserInfo() {
    if (userListForm)
        FocusWidgetAndParents(userListForm->GetUserInfoForm(m_user));
}

void UserMenuOptions::OnUserNote() {
    UserNoteDialog::GetDialog(m_user)->show();
}

void UserMenuOptions::OnAddRemoveOnlineAlert() {
    const ItemPtr user = UserItem(m_user);
    if (user.IsConnected("user_online_alert")) {
        user.Disconnect("user_online_alert");
        return;
    }
    user.Connect(d.GetType("user_online_alert")->GetGlobalNullItem());
    if (gp_server)
        gp_server->TrackUser(m_user);
}

void UserMenuOptions::OnGiftPrivileges() {
    (new GiftPrivilegesDialog(m_user, nullptr))->show();
}

void UserMenuOptions::OnUnshareFilesFromUser() {
    if (transferQueueManager)
        transferQueueManager->UnshareUser(m_user);
}

void UserMenuOptions::OnReshareFilesWithUser() {
    if (transferQueueManager)
        transferQueueManager->ReshareUser(m_user);
}

void UserMenuOptions::OnIgnoreUser() {
    UserItem(m_user).Connect(d.GetType("is_ignored")->GetGlobalNullItem());
}

void UserMenuOptions::OnUnignoreUser() {
    UserItem(m_user).Disconnect("is_ignored");
}

void UserMenuOptions::OnAddUserMembership() {
    if (gp_server)
        gp_server->AddPrivateRoomMember(SenderRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserMembership() {
    if (gp_server)
        gp_server->RemovePrivateRoomMember(SenderRoom(), m_user);
}

void UserMenuOptions::OnAddUserOperatorship() {
    if (gp_server)
        gp_server->AddPrivateRoomOperator(SenderRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserOperatorship() {
    if (gp_server)
        gp_server->RemovePrivateRoomOperator(SenderRoom(), m_user);
}

void UserMenuOptions::OnUserLog() {
    (new ItemLogDialog(UserItem(m_user), nullptr))->show();
}
