#include "views/users/AddUserDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "net/server.h"
#include "store/Data.h"

AddUserDialog::AddUserDialog(QWidget* parent)
    : QDialog(parent),
      mp_userName(new QLineEdit(this)),
      mp_status(new QLineEdit(this)),
      mp_add(new QPushButton("Add User", this)) {
    setWindowTitle("Add User");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(292, 188);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("User name:", this));
    mp_userName->setObjectName("userNameEdit");
    layout->addWidget(mp_userName);
    layout->addStretch();
    mp_status->setObjectName("statusEdit");
    mp_status->setEnabled(false);
    mp_status->setReadOnly(true);
    layout->addWidget(mp_status);
    layout->addStretch();
    auto* row = new QHBoxLayout;
    row->addStretch();
    mp_add->setObjectName("addFriendButton");
    mp_add->setMaximumHeight(23);
    row->addWidget(mp_add);
    layout->addLayout(row);
    connect(mp_add, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    if (gp_server)
        connect(gp_server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
}

void AddUserDialog::OnAddUserClicked() {
    const QString name = mp_userName->text().trimmed();
    if (name.isEmpty()) {
        mp_status->setText("User name must not be empty.");
        return;
    }
    if (!gp_server || !gp_server->IsConnected()) {
        mp_status->setText("Must be online to add a user to your list.");
        return;
    }
    ItemPtr user = d.GetType("user")->HasItem(name);
    if (!user.IsNull() && user.IsConnected("in_user_list")) {
        mp_status->setText("User already in list.");
        return;
    }
    mp_status->setText("Adding user...");
    mp_userName->setReadOnly(true);
    mp_add->setEnabled(false);
    m_pendingUser = name;
    gp_server->AddUser(name);
}

void AddUserDialog::OnAddUserResponse(QString user, bool exists) {
    if (m_pendingUser.isEmpty() || user != m_pendingUser)
        return;
    mp_userName->setReadOnly(false);
    mp_add->setEnabled(true);
    m_pendingUser.clear();
    if (exists) {
        d.GetType("user")->GetItem(user).NewItem("in_user_list");
        mp_status->setText("User added to list.");
    } else {
        mp_status->setText("User name does not exist.");
    }
}
