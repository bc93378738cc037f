// The main window's slots: tool-bar commands, the shared-folders list, the
// option pages and the connection state shown in the icon, title and texts.

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMenu>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "net/PeerMessenger.h"
#include "net/PortForwarder.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/ConfigurationImporter.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_mainwindow.h"
#include "views/chat/AdminMessageDialog.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatsForm.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/shares/ChangeListeningPortDialog.h"
#include "views/shares/ChangeUsernamePasswordDialog.h"
#include "views/shares/ColorSelectionDialog.h"
#include "views/shares/DataDialog.h"
#include "views/shares/ExcludedExtensionsDialog.h"
#include "views/shares/NewVersionDialog.h"
#include "views/shares/SharesForm.h"

namespace {
const char* const kImportTitle = "Importing user list from original Tavenook client";
const char* const kLoginRetry =
    "Please change your login settings in the Options tab and try reconnecting.";

// Said once per run: a desktop without a tray is not worth a line per alert.
// Only a line the diagnostic log kept counts as said.
void NoteMissingTray() {
    static bool said = false;
    if (!said) {
        Log("Application", 1, "No system tray on this desktop: tray icon and alerts are off.");
        said = IsSettingYes("show_diagnostics");
    }
}

QString ObfuscatedPortText(qint64 port) {
    return QString(
               "Obfuscated port is %1, if you're manually forwarding\nyour ports be sure to "
               "open it as well.")
        .arg(port);
}

QUrl PortTestUrl(qint64 port) {
    // Tests point the page at a loopback stub; the path and query stay fixed.
    QString base = qEnvironmentVariable("TAVENOOK_PORT_TEST_URL");
    if (base.isEmpty())
        base = kTavenookWebHost;
    while (base.endsWith('/'))
        base.chop(1);
    return QUrl(QString("%1/porttest.php?port=%2").arg(base).arg(port));
}

void SelectSound(QWidget* parent, const char* key, QLineEdit* edit) {
    const QString path = QDir::fromNativeSeparators(
        prompts::ChooseOpenFile(parent, "Select Wave File", "Wave Files (*.wav)"));
    if (path.isEmpty())
        return;
    const ItemPtr sound = d.GetType("event_sound")->NewItem(Value(key));
    sound.Disconnect("event_sound_file");
    sound.Connect(d.GetType("event_sound_file")->NewItem(Value(path)));
    edit->setText(path);
}

void ClearSound(const char* key, QLineEdit* edit) {
    const ItemPtr sound = d.GetType("event_sound")->HasItem(Value(key));
    if (!sound.IsNull())
        sound.Disconnect("event_sound_file");
    edit->clear();
}
}  // namespace

void MainWindow::SetApplicationIcon(const QString& icon) {
    const QIcon image(icon);
    setWindowIcon(image);
    QApplication::setWindowIcon(image);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon.setIcon(image);
}

void MainWindow::ResetApplicationIcon() {
    QString icon = ":/icons/offline_icon";
    if (mp_server && mp_server->IsConnected()) {
        const bool away = GetSetting("availability_status") != "available";
        icon = away && IsSettingYes("show_away_status_in_application_icon") ? ":/icons/away_icon"
                                                                            : ":/icons/online_icon";
    }
    SetApplicationIcon(icon);
}

void MainWindow::PopupAlert(const QString& text) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        NoteMissingTray();
        return;
    }
    m_trayIcon.showMessage(QString(), text, QSystemTrayIcon::Information, 10000);
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

void MainWindow::SetConnectActionText(const QString& text) {
    mp_ui->mainToolBar->SetWidgetActionText(mp_ui->loginOptionsTab, "connect_disconnect", text);
}

void MainWindow::OnConnecting() {
    SetConnectActionText("Connecting...");
}

void MainWindow::OnConnected() {
    SetConnectActionText("Disconnect");
    ResetApplicationIcon();
    mp_server->GetOwnPrivilegesStatus();
}

void MainWindow::OnDisconnected() {
    SetConnectActionText("Connect");
    SetApplicationIcon(":/icons/offline_icon");
}

void MainWindow::OnConnectionFailed(QString reason) {
    if (reason == "INVALIDPASS") {
        prompts::Inform(this, "Login Failure: Wrong Password",
                        QString("Login failed. The password you supplied does not match your "
                                "username. %1")
                            .arg(kLoginRetry));
    } else if (reason == "INVALIDUSERNAME") {
        prompts::Inform(
            this, "Login Failure: Username is Invalid",
            QString("Login failed. The username you supplied is invalid. %1").arg(kLoginRetry));
    } else if (!mp_server->IsAbruptlyDisconnected()) {
        // The reason comes from the server: Prompts shows it as plain text.
        prompts::Inform(
            this, "Login Failure",
            QString("Login failed. Reported failure reason: %1. %2").arg(reason, kLoginRetry));
    }
    SetConnectActionText("Connect");
}

void MainWindow::OnUsernameChanged(ItemPtr) {
    const QString user = GetSetting("username");
    setWindowTitle(QString("%1 [%2]").arg(BuildTitle(), user));
    mp_ui->usernameEdit->setText(user);
}

void MainWindow::OnNewListeningPortChanged(ItemPtr) {
    const QString port = GetSetting("new_listening_port");
    mp_ui->listeningPortEdit->setText(port);
    mp_ui->obfuscatedPortLabel->setText(ObfuscatedPortText(port.toLongLong() + 1));
}

void MainWindow::OnObfuscatedPortSet(ItemPtr) {
    mp_ui->obfuscatedPortLabel->setText(
        ObfuscatedPortText(GetSettingInt64("obfuscated_listening_port")));
}

void MainWindow::OnCheckPortsClicked() {
    QDesktopServices::openUrl(PortTestUrl(GetSettingInt64("listening_port")));
    QDesktopServices::openUrl(PortTestUrl(GetSettingInt64("obfuscated_listening_port")));
}

void MainWindow::OnNewVersion(qint64 version, QString downloadLink, QStringList description) {
    auto* dialog = new NewVersionDialog(version, downloadLink, description, this);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog->show();
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    activateWindow();
}

// Tool-bar commands.

void MainWindow::OnToolBarActionTriggered(QWidget*, QString action) {
    if (action == "share_folder") {
        (new AddSharedFolderDialog(ItemPtr(), this))->show();
    } else if (action == "set_download_folder") {
        const QString path =
            QDir::fromNativeSeparators(prompts::ChooseFolder(this, "Set Download Folder"));
        if (path.isEmpty())
            return;
        SetSetting("download_folder", path);
        mp_ui->downloadFolderEdit->setText(path);
    } else if (action == "rescan_shares") {
        if (sharedFoldersManager)
            sharedFoldersManager->RescanShares();
    } else if (action == "browse_user" || action == "message_user" || action == "add_user") {
        const QString user = mp_ui->mainToolBar->GetKey("user");
        // Without a selection there is nobody to act on.
        if (user.isEmpty())
            return;
        if (action == "browse_user") {
            // The list is shown only in a tab opened for it, and asked for
            // anew also when the tab is open.
            if (sharesForm)
                sharesForm->BrowseUser(user);
        } else if (action == "message_user") {
            if (chatsForm)
                chatsForm->GetChatForm(user)->Focus();
        } else {
            const ItemPtr item = d.GetType("user")->NewItem(Value(user));
            if (!item.IsConnected("in_user_list"))
                item.NewItem("in_user_list");
        }
    } else if (action == "set_user_pass") {
        if (mp_server->IsConnected()) {
            prompts::Inform(this, "Cannot change username while online",
                            "You must be disconnected from the Tavenook server to change your "
                            "username.");
            return;
        }
        (new ChangeUsernamePasswordDialog(false, this))->show();
    } else if (action == "set_listening_port") {
        (new ChangeListeningPortDialog(this))->show();
    } else if (action == "connect_disconnect") {
        if (mp_server->IsConnected())
            mp_server->Disconnect();
        else
            mp_server->Connect();
    }
}

void MainWindow::OnImportUserListClicked() {
    prompts::Inform(
        this, kImportTitle,
        "To import your user list, your original Tavenook client must be set not to save "
        "configuration data to the registry (under Options->General), and the quorlet.cfg file "
        "must then be located on your computer. The next dialog will ask you to navigate to the "
        "exact location of the quorlet.cfg file.");
    const QString path = QDir::fromNativeSeparators(
        prompts::ChooseOpenFile(this, "Find User List Configuration File", "quorlet.cfg"));
    if (path.isEmpty())
        return;
    QString why;
    UserListImport* import = ConfigurationImporter::StartUserListImport(path, this, &why);
    if (!import) {
        prompts::Inform(this, kImportTitle, "Import could not be completed successfully.\n" + why);
        return;
    }
    // Queued: a save finishes the import, and the announcement must not
    // wait inside it.
    connect(
        import, &UserListImport::Finished, this,
        [this, import](int added) {
            import->deleteLater();
            prompts::Inform(this, kImportTitle,
                            QString("Import successful. %1 %2 added to your user list.")
                                .arg(added)
                                .arg(added == 1 ? "user" : "users"));
        },
        Qt::QueuedConnection);
}

void MainWindow::OnSelectColors() {
    (new ColorSelectionDialog(this))->show();
}

void MainWindow::OnEditExcludedDownloadExtensionsClicked() {
    if (!excludedExtensionsDialog)
        new ExcludedExtensionsDialog(this);
    excludedExtensionsDialog->show();
    excludedExtensionsDialog->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnPrivateChat(QString user, QString chat, time_t, bool) {
    if (chatsForm)
        chatsForm->GetChatForm(user)->AddChat(user, chat);
}

void MainWindow::OnAdminMessage(QString text) {
    auto* dialog = new AdminMessageDialog(text, this);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog->show();
}

void MainWindow::OnDisconnectClicked() {
    if (mp_server)
        mp_server->Disconnect();
}

void MainWindow::OnChangeUsernamePasswordClicked() {
    (new ChangeUsernamePasswordDialog(false, this))->show();
}

void MainWindow::OnDataShortcutActivated() {
    if (!dataDialog)
        new DataDialog(&d, this);
    dataDialog->show();
}

// The shared-folders list. Rows are found again by their folder text only.

namespace {
QTreeWidgetItem* FolderRow(QTreeWidget* list, const QString& folder) {
    const QList<QTreeWidgetItem*> rows =
        list->findItems(folder, Qt::MatchExactly | Qt::MatchCaseSensitive, 0);
    return rows.isEmpty() ? nullptr : rows.first();
}
}  // namespace

void MainWindow::OnSharedFolderAdded(ItemPtr folder) {
    auto* row = new QTreeWidgetItem(mp_ui->sharedFoldersList);
    row->setText(0, folder.AsString());
}

void MainWindow::OnSharedFolderRemoved(ItemPtr folder) {
    delete FolderRow(mp_ui->sharedFoldersList, folder.AsString());
}

void MainWindow::OnSharedFolderChange(ConnectionInfo& info) {
    const Type* partner = info.to.GetType();
    if (!partner)
        return;
    const std::string kind = partner->GetName();
    if (kind != "shared_public" && kind != "shared_userlist" && kind != "user_list_group")
        return;
    QString text;
    if (info.from.IsConnected("shared_public")) {
        text = "Everyone";
    } else if (info.from.IsConnected("shared_userlist")) {
        text = "User List";
    } else {
        std::vector<QString> groups;
        for (const ItemPtr& group : info.from.GetItems("user_list_group"))
            groups.push_back(group.AsString());
        std::stable_sort(groups.begin(), groups.end());
        QStringList names(groups.begin(), groups.end());
        text = names.join(", ");
    }
    if (QTreeWidgetItem* row = FolderRow(mp_ui->sharedFoldersList, info.from.AsString()))
        row->setText(1, text);
}

void MainWindow::OnSharedFoldersListContextMenuRequested(QPoint position) {
    QTreeWidget* list = mp_ui->sharedFoldersList;
    if (!list->itemAt(position))
        return;
    QMenu menu;
    menu.addAction(QIcon(":/icons/browse_icon"), "Set Folder Permissions", this,
                   &MainWindow::OnSetFolderPermissions);
    menu.addAction(QIcon(":/icons/browse_icon"), "Unshare Folder", this,
                   &MainWindow::OnUnshareFolder);
    prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(position));
}

void MainWindow::OnSetFolderPermissions() {
    const QList<QTreeWidgetItem*> rows = mp_ui->sharedFoldersList->selectedItems();
    if (rows.isEmpty())
        return;
    const ItemPtr folder = d.GetType("shared_folder")->HasItem(Value(rows.first()->text(0)));
    if (folder.IsNull())
        return;
    (new AddSharedFolderDialog(folder, this))->show();
}

void MainWindow::OnUnshareFolder() {
    const QList<QTreeWidgetItem*> rows = mp_ui->sharedFoldersList->selectedItems();
    if (rows.isEmpty())
        return;
    const ItemPtr folder = d.GetType("shared_folder")->HasItem(Value(rows.first()->text(0)));
    if (folder.IsNull())
        return;
    folder.Remove();
    // Its subfolders and files are now unreachable.
    d.RemoveDisconnectedItems();
}

void MainWindow::OnSharedFilesRescanned(int filesAdded, int filesRemoved) {
    auto* report = new SharedFilesRescannedDialog(this);
    report->Append(QString("%1 files added.").arg(filesAdded));
    report->Append(QString("%1 files removed.").arg(filesRemoved));
    report->setWindowTitle("Shared Files Rescanned");
    report->show();
}

void MainWindow::OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr) {
    QStringList endings;
    if (const Type* type = d.FindType("excluded_download_extension")) {
        for (const ItemPtr& ending : type->GetItems())
            endings << ending.AsString();
    }
    mp_ui->excludedExtensionsEdit->setText(endings.join(' '));
}

void MainWindow::OnEmptyShareWarningMessageCheckBoxClicked(bool checked) {
    SetSettingYes("check_for_empty_shares", checked);
}

void MainWindow::OnEmptyShareWarningEditEdited(QString text) {
    mp_ui->saveEmptyShareWarningMessageButton->setEnabled(!text.trimmed().isEmpty());
}

void MainWindow::OnSaveEmptyShareWarningMessageButtonClicked() {
    SetSetting("empty_share_message", mp_ui->emptyShareWarningEdit->text());
    mp_ui->emptyShareWarningEdit->setCursorPosition(0);
    mp_ui->saveEmptyShareWarningMessageButton->setEnabled(false);
}

// Option pages: every control writes its setting at once.

void MainWindow::OnOptionsTabSelectionChanged(int index) {
    if (index < 0)
        return;
    if (mp_ui->optionsTabControl->tabText(index) == "File Sharing")
        mp_ui->sharedFoldersList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnUPnPCheckboxToggled(bool checked) {
    SetSettingYes("use_upnp", checked);
    // Mappings already made stay when it is turned off.
    if (checked && portForwarder)
        portForwarder->Init();
}

void MainWindow::OnAcceptUserlistUploadsCheckboxToggled(bool checked) {
    SetSettingYes("accept_userlist_uploads", checked);
}

void MainWindow::OnSelectPictureClicked() {
    const QString path =
        QDir::fromNativeSeparators(prompts::ChooseOpenFile(this, "Select Picture"));
    if (path.isEmpty())
        return;
    SetSetting("user_picture_file", path);
    mp_ui->userPictureFilenameEdit->setText(path);
}

void MainWindow::OnClearPictureClicked() {
    ClearSetting("user_picture_file");
    mp_ui->userPictureFilenameEdit->clear();
}

void MainWindow::OnUserInfoTextChanged() {
    SetSetting("user_description", mp_ui->userDescriptionEdit->toPlainText());
}

void MainWindow::OnUserLevelLoggingClicked(bool checked) {
    SetSettingYes("user_level_logging", checked);
}

void MainWindow::OnLogRoomChatCheckBoxClicked(bool checked) {
    SetSettingYes("log_room_chat", checked);
}

void MainWindow::OnLogPrivateChatCheckBoxClicked(bool checked) {
    SetSettingYes("log_private_chat", checked);
}

void MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged(int value) {
    if (value < 10) {
        // Setting the box calls this again with 10, which stores it.
        mp_ui->maxUploadsPerUserSpinBox->setValue(10);
        SetSetting("max_queued_uploads_per_user", "10");
        return;
    }
    SetSetting("max_queued_uploads_per_user", value);
}

void MainWindow::OnCodePageSelected(int index) {
    if (!extendedAsciiTranslator)
        return;
    const QString name = index == 0 ? QString() : mp_ui->codePageBox->itemText(index);
    extendedAsciiTranslator->SetCodePage(name.toLatin1().toStdString());
}

void MainWindow::OnUseOldStyleSearchResultsCheckboxToggled(bool checked) {
    SetSettingYes("use_old_style_search_results", checked);
}

// The diagnostics tab follows the setting (see OnShowDiagnosticsSetting).
void MainWindow::OnShowDiagnosticsCheckboxToggled(bool checked) {
    SetSettingYes("show_diagnostics", checked);
}

void MainWindow::OnDontCreateSubfoldersForSingleDownloads(bool checked) {
    SetSettingYes("dont_create_subfolders_for_single_downloads", checked);
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool checked) {
    SetSettingYes("minimize_to_tray", checked);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        NoteMissingTray();
        return;
    }
    m_trayIcon.setVisible(checked);
}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool checked) {
    SetSettingYes("expand_new_shares", checked);
}

void MainWindow::OnChatTimestampsBoxIndexChanged(int index) {
    static const char* const kModes[] = {"activity_based", "per_message_short", "per_message_long",
                                         "no_timestamps"};
    SetSetting("chat_timestamps", kModes[index >= 0 && index < 4 ? index : 3]);
}

void MainWindow::OnShowAwayStatusClicked(bool checked) {
    SetSettingYes("show_away_status_in_application_icon", checked);
    ResetApplicationIcon();
}

void MainWindow::OnDontSplitDownloads(bool checked) {
    SetSettingYes("dont_split_downloads", checked);
}

void MainWindow::OnFirstOpenTabBoxIndexChanged(int index) {
    static const char* const kTabs[] = {"transfers", "rooms", "search", "users"};
    SetSetting("first_open_tab", kTabs[index >= 0 && index < 4 ? index : 3]);
}

void MainWindow::OnShowEventButtonsClicked(bool checked) {
    SetSettingYes("show_event_buttons", checked);
}

void MainWindow::OnOpenGroupsOnUserAddClicked(bool checked) {
    SetSettingYes("open_groups_on_user_add", checked);
}

void MainWindow::OnSelectApplicationFontClicked() {
    QFont font;
    font.fromString(GetSetting("application_font"));
    // A cancelled dialog hands back the offered font, written back unchanged.
    font = prompts::ChooseFont(font);
    SetSetting("application_font", font.toString());
    QApplication::setFont(font);
    FitFixedButtons();
}

void MainWindow::OnDefaultFontClicked() {
    QFont font;
    font.fromString(GetRuntimeSetting("default_application_font"));
    SetSetting("application_font", font.toString());
    QApplication::setFont(font);
    FitFixedButtons();
}

void MainWindow::OnClearSearchHistoryClicked() {
    if (Type* records = d.FindType("search_record"))
        records->GetItems().Remove();
}

void MainWindow::OnSelectDefaultSoundFile() {
    SelectSound(this, "default", mp_ui->defaultSoundEdit);
}
void MainWindow::OnClearDefaultSoundFile() {
    ClearSound("default", mp_ui->defaultSoundEdit);
}
void MainWindow::OnSelectPrivateChatSoundFile() {
    SelectSound(this, "private_chat", mp_ui->privateChatSoundEdit);
}
void MainWindow::OnClearPrivateChatSoundFile() {
    ClearSound("private_chat", mp_ui->privateChatSoundEdit);
}
void MainWindow::OnSelectRoomChatSoundFile() {
    SelectSound(this, "room_chat", mp_ui->roomChatSoundEdit);
}
void MainWindow::OnClearRoomChatSoundFile() {
    ClearSound("room_chat", mp_ui->roomChatSoundEdit);
}
void MainWindow::OnSelectWishlistSoundFile() {
    SelectSound(this, "wishlist", mp_ui->wishlistResultsSoundEdit);
}
void MainWindow::OnClearWishlistSoundFile() {
    ClearSound("wishlist", mp_ui->wishlistResultsSoundEdit);
}
void MainWindow::OnSelectShareBrowseSoundFile() {
    SelectSound(this, "browse", mp_ui->shareBrowseSoundEdit);
}
void MainWindow::OnClearShareBrowseSoundFile() {
    ClearSound("browse", mp_ui->shareBrowseSoundEdit);
}
void MainWindow::OnSelectDownloadAlertSoundFile() {
    SelectSound(this, "download", mp_ui->downloadAlertSoundEdit);
}
void MainWindow::OnClearDownloadAlertSoundFile() {
    ClearSound("download", mp_ui->downloadAlertSoundEdit);
}
void MainWindow::OnSelectUserOnlineAlertSoundFile() {
    SelectSound(this, "user_online", mp_ui->userOnlineAlertSoundEdit);
}
void MainWindow::OnClearUserOnlineAlertSoundFile() {
    ClearSound("user_online", mp_ui->userOnlineAlertSoundEdit);
}
void MainWindow::OnSelectUserInfoSoundFile() {
    SelectSound(this, "user_info", mp_ui->userInfoSoundEdit);
}
void MainWindow::OnClearUserInfoSoundFile() {
    ClearSound("user_info", mp_ui->userInfoSoundEdit);
}
