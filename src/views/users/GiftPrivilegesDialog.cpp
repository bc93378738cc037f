#include "views/users/GiftPrivilegesDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "net/server.h"
#include "shell/Prompts.h"

GiftPrivilegesDialog::GiftPrivilegesDialog(QString user, QWidget* parent)
    : QDialog(parent),
      m_user(std::move(user)),
      mp_days(new QLineEdit(this)),
      mp_gift(new QPushButton("Gift", this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    resize(257, 94);
    auto* layout = new QVBoxLayout(this);
    auto* daysRow = new QHBoxLayout;
    daysRow->addWidget(new QLabel("Number of days to gift", this));
    daysRow->addStretch();
    mp_days->setObjectName("daysEdit");
    mp_days->setMaximumWidth(60);
    mp_days->setInputMask("0000");
    daysRow->addWidget(mp_days);
    layout->addLayout(daysRow);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    mp_gift->setObjectName("giftButton");
    buttonRow->addWidget(mp_gift);
    buttonRow->addStretch();
    layout->addLayout(buttonRow);
    setWindowTitle("Gift Privileges to " + m_user);
    connect(mp_gift, &QPushButton::clicked, this, &GiftPrivilegesDialog::OnGiftClicked);
}

void GiftPrivilegesDialog::OnGiftClicked() {
    const int days = mp_days->text().trimmed().toInt();
    if (days <= 0)
        return;
    // The server connection would drop it unheard: say so and keep the dialog.
    if (!gp_server || !gp_server->IsConnected()) {
        prompts::Inform(this, "Gift Privileges", "Not logged in: no privileges were sent.");
        return;
    }
    gp_server->GiftPrivileges(m_user, days);
    close();
}
