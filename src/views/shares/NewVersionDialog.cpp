#include "views/shares/NewVersionDialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_NewVersionDialog.h"

NewVersionDialog::NewVersionDialog(qint64 newest, QString url, QStringList description,
                                   QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::NewVersionDialog), m_newest(newest), m_url(std::move(url)) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("TavenookQt Update");
    mp_ui->currentVersionEdit->setText(BuildLabel(g_currentVersion));
    mp_ui->newVersionEdit->setText(BuildLabel(newest));
    QTextEdit* view = mp_ui->descriptionEdit;
    view->setUpdatesEnabled(false);
    // The release file is not ours to trust: its lines are shown as plain text.
    QTextCursor end(view->document());
    for (int i = 0; i < description.size(); ++i) {
        if (i > 0)
            end.insertBlock();
        end.insertText(description[i]);
    }
    QTextCursor start(view->document());
    start.movePosition(QTextCursor::Start);
    view->setTextCursor(start);
    view->ensureCursorVisible();
    view->setUpdatesEnabled(true);
    connect(mp_ui->downloadButton, &QPushButton::clicked, this,
            &NewVersionDialog::OnDownloadButtonClicked);
    connect(mp_ui->skipButton, &QPushButton::clicked, this, &NewVersionDialog::OnSkipButtonClicked);
}

NewVersionDialog::~NewVersionDialog() = default;

QString NewVersionDialog::BuildLabel(qint64 build) {
    return QString("Build %1/%2/%3").arg((build % 10000) / 100).arg(build % 100).arg(build / 10000);
}

void NewVersionDialog::OnDownloadButtonClicked() {
    const QUrl link(m_url);
    const QString scheme = link.scheme().toLower();
    // Only a web page may be handed to the desktop, never a local program.
    if (link.isValid() && (scheme == "http" || scheme == "https"))
        QDesktopServices::openUrl(link);
    else
        Log("Application", 1, QString("Not opening the release link \"%1\"").arg(m_url));
    close();
    // The main window's orderly end saves the store.
    if (mainWindow)
        mainWindow->close();
    else
        QCoreApplication::quit();
}

void NewVersionDialog::OnSkipButtonClicked() {
    SetSetting("skip_version", m_newest);
    close();
}
