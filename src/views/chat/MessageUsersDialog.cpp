#include "views/chat/MessageUsersDialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "net/server.h"
#include "shell/Prompts.h"

MessageUsersDialog* messageUsersDialog = nullptr;

namespace {

bool LessWithoutCase(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
}

}  // namespace

MessageUsersDialog::MessageUsersDialog(QWidget* parent)
    : QDialog(parent),
      mp_message(new QPlainTextEdit(this)),
      mp_send(new QPushButton("Send Message", this)),
      mp_target(new QComboBox(this)),
      mp_users(new QListWidget(this)) {
    messageUsersDialog = this;
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Message Multiple Users");
    resize(594, 368);
    auto* layout = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    mp_message->setObjectName("messageEdit");
    left->addWidget(mp_message);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    mp_send->setObjectName("sendButton");
    buttons->addWidget(mp_send);
    left->addLayout(buttons);
    layout->addLayout(left);
    auto* right = new QVBoxLayout;
    mp_target->setObjectName("targetBox");
    mp_target->setMaximumWidth(200);
    mp_users->setObjectName("userList");
    mp_users->setMaximumWidth(200);
    right->addWidget(mp_target);
    right->addWidget(mp_users);
    layout->addLayout(right);
    mp_target->addItem("All User List Users");
    mp_target->addItem("Downloading Users");
    PopulateUserList();
    connect(mp_target, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MessageUsersDialog::OnTargetIndexChanged);
    connect(mp_send, &QPushButton::clicked, this, &MessageUsersDialog::OnSendMessageClicked);
    QStringList groups;
    if (Type* type = d.FindType("user_list_group")) {
        for (ItemPtr group : type->GetItems())
            groups << group.AsString();
    }
    std::sort(groups.begin(), groups.end(), LessWithoutCase);
    for (const QString& group : groups)
        mp_target->addItem("group: " + group, group);
}

MessageUsersDialog::~MessageUsersDialog() {
    if (messageUsersDialog == this)
        messageUsersDialog = nullptr;
}

ItemSet MessageUsersDialog::GetUsers() const {
    const int index = mp_target->currentIndex();
    if (index == 0)
        return d.GetType("in_user_list")->GetItems().GetItems("user");
    if (index == 1) {
        Type* uploads = d.FindType("upload_entry");
        return uploads ? uploads->GetItems().GetItems("user").Connected("is_online") : ItemSet();
    }
    Type* groups = d.FindType("user_list_group");
    const ItemPtr group =
        groups ? groups->HasItem(mp_target->itemData(index).toString()) : ItemPtr();
    if (group.IsNull())
        return ItemSet();
    return group.GetItems("in_user_list").GetItems("user");
}

void MessageUsersDialog::PopulateUserList() {
    mp_users->clear();
    QStringList names;
    for (ItemPtr user : GetUsers())
        names << user.AsString();
    std::sort(names.begin(), names.end(), LessWithoutCase);
    mp_users->addItems(names);
}

void MessageUsersDialog::OnTargetIndexChanged(int) {
    PopulateUserList();
}

void MessageUsersDialog::OnSendMessageClicked() {
    QString text = mp_message->toPlainText().trimmed();
    if (text.isEmpty())
        return;
    // The server would drop it unheard; say so rather than pretend it went.
    if (!gp_server || !gp_server->IsConnected()) {
        prompts::Inform(this, "Message Multiple Users", "Not logged in: the message was not sent.");
        return;
    }
    text.replace('\n', ' ');
    QStringList names;
    for (ItemPtr user : GetUsers())
        names << user.AsString();
    gp_server->MessageUsers(names, text);
    close();
}
