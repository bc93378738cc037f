// The main window's slots. Those of the option pages, the tool-bar commands
// other than the account, port and share dialogs and the release notice are
// wired now and filled by the issues that build those views; until then they
// leave everything as it is.

#include <QApplication>

#include "net/server.h"
#include "shell/mainwindow.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_mainwindow.h"
#include "views/chat/AdminMessageDialog.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatsForm.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/shares/ChangeListeningPortDialog.h"
#include "views/shares/ChangeUsernamePasswordDialog.h"

void MainWindow::SetApplicationIcon(const QString& icon) {
    const QIcon image(icon);
    setWindowIcon(image);
    QApplication::setWindowIcon(image);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon.setIcon(image);
}

void MainWindow::ResetApplicationIcon() {
    const bool online = mp_server && mp_server->IsConnected();
    SetApplicationIcon(online ? ":/icons/online_icon" : ":/icons/offline_icon");
}

void MainWindow::PopupAlert(const QString& text) {
    if (QSystemTrayIcon::isSystemTrayAvailable() && m_trayIcon.isVisible())
        m_trayIcon.showMessage("TavenookQt", text);
}

void MainWindow::OnMessageReceived(QString message) {
    const QString arguments = message.split('\n').join(' ');
    Log("Application", 1, QString("A later start handed over: %1").arg(arguments));
    // Also to the terminal: the later start itself ends without a word.
    qInfo("tavenook: a later start handed over: %s", qUtf8Printable(arguments));
    // Whoever started the program again wants to see it.
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible())
        show();
    raise();
    activateWindow();
}

void MainWindow::OnConnected() {
    SetApplicationIcon(":/icons/online_icon");
}

void MainWindow::OnDisconnected() {
    SetApplicationIcon(":/icons/offline_icon");
}

void MainWindow::OnUsernameChanged(ItemPtr) {
    const QString user = GetSetting("username");
    setWindowTitle(QString("%1 [%2]").arg(BuildTitle(), user));
    mp_ui->usernameEdit->setText(user);
}

void MainWindow::OnObfuscatedPortSet(ItemPtr) {
    mp_ui->obfuscatedPortLabel->setText(
        QString("Obfuscated port is %1, if you're manually forwarding\nyour ports be sure to "
                "open it as well.")
            .arg(GetSetting("obfuscated_listening_port")));
}

void MainWindow::OnSharedFilesRescanned(int filesAdded, int filesRemoved) {
    auto* report = new SharedFilesRescannedDialog(this);
    report->Append(QString("%1 files added.").arg(filesAdded));
    report->Append(QString("%1 files removed.").arg(filesRemoved));
    report->setWindowTitle("Shared Files Rescanned");
    report->show();
}

void MainWindow::OnToolBarActionTriggered(QWidget*, QString action) {
    QDialog* dialog = nullptr;
    if (action == "share_folder")
        dialog = new AddSharedFolderDialog(ItemPtr(), this);
    else if (action == "set_user_pass")
        dialog = new ChangeUsernamePasswordDialog(false, this);
    else if (action == "set_listening_port")
        dialog = new ChangeListeningPortDialog(this);
    if (dialog)
        dialog->show();
}

void MainWindow::OnConnecting() {}
void MainWindow::OnConnectionFailed(QString) {}
void MainWindow::OnPrivateChat(QString user, QString chat, time_t, bool) {
    if (chatsForm)
        chatsForm->GetChatForm(user)->AddChat(user, chat);
}

void MainWindow::OnAdminMessage(QString text) {
    auto* dialog = new AdminMessageDialog(text, this);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog->show();
}

void MainWindow::OnNewVersion(qint64, QString, QStringList) {}
void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason) {}
void MainWindow::OnSharedFolderAdded(ItemPtr) {}
void MainWindow::OnSharedFolderRemoved(ItemPtr) {}
void MainWindow::OnSharedFolderChange(ConnectionInfo&) {}
void MainWindow::OnNewListeningPortChanged(ItemPtr) {}
void MainWindow::OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr) {}
void MainWindow::OnOptionsTabSelectionChanged(int) {}
void MainWindow::OnUPnPCheckboxToggled(bool) {}
void MainWindow::OnAcceptUserlistUploadsCheckboxToggled(bool) {}
void MainWindow::OnSelectPictureClicked() {}
void MainWindow::OnUserInfoTextChanged() {}
void MainWindow::OnClearPictureClicked() {}
void MainWindow::OnCheckPortsClicked() {}
void MainWindow::OnUserLevelLoggingClicked(bool checked) {
    SetSettingYes("user_level_logging", checked);
}
void MainWindow::OnEditExcludedDownloadExtensionsClicked() {}
void MainWindow::OnImportUserListClicked() {}
void MainWindow::OnLogRoomChatCheckBoxClicked(bool) {}
void MainWindow::OnLogPrivateChatCheckBoxClicked(bool) {}
void MainWindow::OnEmptyShareWarningMessageCheckBoxClicked(bool) {}
void MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged(int) {}
void MainWindow::OnCodePageSelected(int) {}
void MainWindow::OnUseOldStyleSearchResultsCheckboxToggled(bool) {}
// The diagnostics tab follows the setting (see OnShowDiagnosticsSetting).
void MainWindow::OnShowDiagnosticsCheckboxToggled(bool checked) {
    SetSettingYes("show_diagnostics", checked);
}
void MainWindow::OnDontCreateSubfoldersForSingleDownloads(bool) {}
void MainWindow::OnMinimizeToTrayCheckboxToggled(bool) {}
void MainWindow::OnExpandNewSharesCheckboxToggled(bool) {}
void MainWindow::OnChatTimestampsBoxIndexChanged(int) {}
void MainWindow::OnShowAwayStatusClicked(bool) {}
void MainWindow::OnSelectColors() {}
void MainWindow::OnDontSplitDownloads(bool) {}
void MainWindow::OnFirstOpenTabBoxIndexChanged(int) {}
void MainWindow::OnEmptyShareWarningEditEdited(QString) {}
void MainWindow::OnSaveEmptyShareWarningMessageButtonClicked() {}
void MainWindow::OnSharedFoldersListContextMenuRequested(QPoint) {}
void MainWindow::OnShowEventButtonsClicked(bool) {}
void MainWindow::OnOpenGroupsOnUserAddClicked(bool) {}
void MainWindow::OnSelectApplicationFontClicked() {}
void MainWindow::OnDefaultFontClicked() {}
void MainWindow::OnClearSearchHistoryClicked() {}
void MainWindow::OnSelectDefaultSoundFile() {}
void MainWindow::OnClearDefaultSoundFile() {}
void MainWindow::OnSelectPrivateChatSoundFile() {}
void MainWindow::OnClearPrivateChatSoundFile() {}
void MainWindow::OnSelectRoomChatSoundFile() {}
void MainWindow::OnClearRoomChatSoundFile() {}
void MainWindow::OnSelectWishlistSoundFile() {}
void MainWindow::OnClearWishlistSoundFile() {}
void MainWindow::OnSelectShareBrowseSoundFile() {}
void MainWindow::OnClearShareBrowseSoundFile() {}
void MainWindow::OnSelectDownloadAlertSoundFile() {}
void MainWindow::OnClearDownloadAlertSoundFile() {}
void MainWindow::OnSelectUserOnlineAlertSoundFile() {}
void MainWindow::OnClearUserOnlineAlertSoundFile() {}
void MainWindow::OnSelectUserInfoSoundFile() {}
void MainWindow::OnClearUserInfoSoundFile() {}
