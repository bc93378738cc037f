#include <QDateTime>
#include <QIcon>
#include <QLocale>

#include "ui_AdminMessageDialog.h"
#include "views/chat/AdminMessageDialog.h"

AdminMessageDialog::AdminMessageDialog(QString text, QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::AdminMessageDialog) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(QIcon(":/icons/online_icon"));
    // The administrators may format their message; it comes from the server.
    mp_ui->textEdit->setText(text);
    mp_ui->timeEdit->setText(
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("MMM d h:mm:ss ap")));
}

AdminMessageDialog::~AdminMessageDialog() {
    delete mp_ui;
}
