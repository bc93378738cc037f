#include <QHBoxLayout>

#include "net/server.h"
#include "shell/FocusWidget.h"
#include "store/GeneralFunctions.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatTranscript.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/RoomTabWidget.h"

ChatsForm* chatsForm = nullptr;

ChatsForm::ChatsForm(QWidget* parent) : QWidget(parent), mp_tabs(new RoomTabWidget(this)) {
    setObjectName("ChatsForm");
    resize(550, 339);
    auto* layout = new QHBoxLayout(this);
    layout->setObjectName("horizontalLayout");
    layout->setContentsMargins(0, 0, 0, 0);
    mp_tabs->setObjectName("chatTabControl");
    mp_tabs->setTabsClosable(true);
    mp_tabs->setMovable(true);
    layout->addWidget(mp_tabs);
    connect(mp_tabs, &QTabWidget::tabCloseRequested, this, &ChatsForm::OnChatTabClosed);
    chatsForm = this;
}

ChatsForm::~ChatsForm() {
    DisableHandlers();
    if (chatsForm == this)
        chatsForm = nullptr;
}

void ChatsForm::Init() {
    d.AddPathEventHandler(chat::Step(new PathNode(&d, "user"), "is_online", PathConnecting),
                          ItemHandler(this, &ChatsForm::OnUserOnline));
    d.AddPathEventHandler(
        chat::Step(new PathNode(&d, "user"), "is_online", PathNotConnectedWatched),
        ItemHandler(this, &ChatsForm::OnUserOffline));
}

ChatForm* ChatsForm::GetChatForm(QString user) {
    const ItemPtr item = d.GetType("user")->GetItem(Value(user));
    const ItemPtr open = item["user_chat_widget"];
    if (!open.IsNull() && open.AsUInt64() != 0)
        return reinterpret_cast<ChatForm*>(open.AsUInt64());
    auto* form = new ChatForm(user, mp_tabs, this);
    const bool online = item.IsConnected("is_online");
    mp_tabs->addTab(form, QIcon(online ? ":/icons/online_icon" : ":/icons/offline_icon"),
                    LiteralLabel(user));
    item.Connect(d.GetType("user_chat_widget")->GetItem(Value(form)));
    if (gp_server)
        gp_server->TrackUser(user);
    return form;
}

void ChatsForm::OpenChatForm(QString user) {
    FocusWidgetAndParents(GetChatForm(user));
}

void ChatsForm::OnChatTabClosed(int index) {
    delete mp_tabs->widget(index);
}

void ChatsForm::SetTabIcon(const ItemPtr& user, const char* icon) {
    const ItemPtr open = user["user_chat_widget"];
    if (open.IsNull() || open.AsUInt64() == 0)
        return;
    const int index = mp_tabs->indexOf(reinterpret_cast<QWidget*>(open.AsUInt64()));
    if (index >= 0)
        mp_tabs->setTabIcon(index, QIcon(icon));
}

void ChatsForm::OnUserOnline(ItemPtr user) {
    SetTabIcon(user, ":/icons/online_icon");
}

void ChatsForm::OnUserOffline(ItemPtr user) {
    SetTabIcon(user, ":/icons/offline_icon");
}
