#include "views/shares/ChangeListeningPortDialog.h"

#include "shell/Prompts.h"
#include "store/Settings.h"
#include "ui_ChangeListeningPortDialog.h"

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::ChangeListeningPortDialog) {
    mp_ui->setupUi(this);
    mp_ui->portEdit->setText(GetSetting("listening_port"));
}

ChangeListeningPortDialog::~ChangeListeningPortDialog() = default;

void ChangeListeningPortDialog::accept() {
    const int port = mp_ui->portEdit->text().toInt();
    if (port < 1 || port > kMaxPort) {
        prompts::Inform(this, "Invalid Port Number",
                        QString("Port number must be in the range of 1 to %1.").arg(kMaxPort));
        return;
    }
    if (port == GetSettingInt("listening_port")) {
        // Going back to the port in use also drops a change still pending.
        ClearSetting("new_listening_port");
        prompts::Inform(this, "Port Number Not Changed", "Port number has not been changed.");
        return;
    }
    QDialog::accept();
    SetSetting("new_listening_port", port);
    prompts::Inform(this, "Change to Listening Port Pending",
                    "Changes to the listening port will take effect after a client restart.");
    deleteLater();
}
