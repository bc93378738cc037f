#include "views/shares/ChangeUsernamePasswordDialog.h"

#include "store/Settings.h"
#include "ui_ChangeUsernamePasswordDialog.h"

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool firstRun, QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::ChangeUsernamePasswordDialog), m_firstRun(firstRun) {
    mp_ui->setupUi(this);
    mp_ui->usernameEdit->setText(GetSetting("username"));
    mp_ui->passwordEdit->setText(GetSetting("password"));
    if (m_firstRun)
        setWindowTitle("Set Username/Password");
    activateWindow();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog() = default;

void ChangeUsernamePasswordDialog::accept() {
    const QString user = mp_ui->usernameEdit->text().trimmed();
    const QString password = mp_ui->passwordEdit->text().trimmed();
    if (user.isEmpty() || password.isEmpty())
        return;
    QDialog::accept();
    SetSetting("username", user);
    SetSetting("password", password);
    if (!m_firstRun)
        deleteLater();
}
