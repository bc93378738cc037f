#include "views/chat/CreateRoomDialog.h"
#include "net/server.h"
#include "ui_CreateRoomDialog.h"

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::CreateRoomDialog) {
    mp_ui->setupUi(this);
    connect(mp_ui->createRoomButton, &QPushButton::clicked, this,
            &CreateRoomDialog::OnButtonClicked);
    createRoomDialog = this;
}

CreateRoomDialog::~CreateRoomDialog() {
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
    delete mp_ui;
}

void CreateRoomDialog::OnButtonClicked() {
    const QString name = mp_ui->roomNameEdit->text().trimmed();
    if (name.isEmpty())
        return;
    // Nobody would answer: keep the dialog and say why.
    if (!gp_server || !gp_server->IsConnected()) {
        mp_ui->noticeLabel->setText("not connected, room not entered");
        mp_ui->noticeLabel->show();
        return;
    }
    gp_server->EnterRoom(name, mp_ui->createPrivateCheckBox->isChecked());
    deleteLater();
}
