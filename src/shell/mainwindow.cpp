#include "shell/mainwindow.h"

#include <QDir>
#include <QHeaderView>
#include <QPointer>
#include <QStatusBar>
#include <QTextCodec>
#include <QTimer>
#include <QWindow>

#include "net/DNetManager.h"
#include "net/PeerMessenger.h"
#include "net/WishListSearcher.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/SizeManager.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui_mainwindow.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/RoomsForm.h"
#include "views/search/SearchForm.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/shares/ChangeListeningPortDialog.h"
#include "views/shares/ChangeUsernamePasswordDialog.h"
#include "views/shares/DiagnosticsForm.h"
#include "views/shares/SharesForm.h"
#include "views/transfers/TransfersForm.h"
#include "views/users/UserListForm.h"
#include "views/users/UserNoteDialog.h"

qint64 g_currentVersion = 20130226;
QPalette defaultPalette;

namespace {
const char* const kConfigArea = "Configuration Data";

void AddPathHandler(const char* key, PathNodeRelation relation,
                    EventHandlerBase<ItemPtr>* handler) {
    auto* root = new PathNode(GetSettingItem(key));
    new PathNode(root, "global_value", relation);
    d.AddPathEventHandler(root, handler);
}
}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), mp_ui(new Ui_MainWindow) {
    Q_INIT_RESOURCE(tavenook);
    Q_INIT_RESOURCE(flags);
    mainWindow = this;
    mp_ui->setupUi(this);
    SetApplicationIcon(":/icons/offline_icon");
    mp_ui->sharedFoldersList->setColumnWidth(0, 400);
    mp_ui->sharedFoldersList->setHeaderLabels({"Shared folder", "Accessible to"});
    m_restoreMaximized = false;
    Shell().saveData = [this] { SaveData(); };
    Shell().popupAlert = [this](const QString& text) { PopupAlert(text); };
    Shell().setApplicationIcon = [this](const QString& icon) { SetApplicationIcon(icon); };
    Shell().resetApplicationIcon = [this] { ResetApplicationIcon(); };
    Shell().mainWidget = this;
}

QString MainWindow::StorePath() {
    return QDir::homePath() + "/.Tavenook";
}

QString MainWindow::BuildTitle() {
    const qint64 v = g_currentVersion;
    return QString("TavenookQt build %3.%1.%2").arg((v % 10000) / 100).arg(v % 100).arg(v / 10000);
}

void MainWindow::Init() {
    setWindowTitle(BuildTitle());
    timerManager = new TimerManager;
    new DataSaver;
    mp_server = new Server;
    DeclareSettingsTypes(dataSaver);
    Server::CreateData();
    qRegisterMetaType<ItemPtr>("ItemPtr");
    connect(mp_server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(mp_server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(mp_server, &Server::Disconnected, this, &MainWindow::OnDisconnected);
    mp_ui->mainToolBar->Init();
    RegisterActionSets();
    connect(mp_ui->mainToolBar, &ActionSetToolBar::ActionTriggered, this,
            &MainWindow::OnToolBarActionTriggered);
    new PeerMessenger;
    DeclareTypes();
    new DelayedInvoker;
    new DNetManager;
    new SharedFoldersManager(this);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon.setIcon(QIcon(":/icons/offline_icon"));
    Type* user = d.GetType("user");
    user->RelateToType(d.NewType("user_chat_widget", PrimacyRoot, false, true), One, One, false);
    connect(mp_server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);
    Type* folder = d.GetType("shared_folder");
    folder->NewItemEvent().Insert(ItemHandler(this, &MainWindow::OnSharedFolderAdded));
    folder->ItemRemovedEvent().Insert(ItemHandler(this, &MainWindow::OnSharedFolderRemoved));
    folder->ConnectedEvent().Insert(ConnectionHandler(this, &MainWindow::OnSharedFolderChange));
    folder->DisconnectedEvent().Insert(ConnectionHandler(this, &MainWindow::OnSharedFolderChange));
    new SizeManager;
    auto* diagnostics = new DiagnosticsForm;
    diagnostics->Init();
    diagnostics->HoldLines();
    diagnostics->RegisterLoggableItemType("user");
    new TransferQueueManager;
    mp_ui->transfersForm->Init();
    mp_ui->sharesForm->Init();
    mp_ui->searchForm->Init();
    new WishListSearcher(this);
    setContextMenuPolicy(Qt::NoContextMenu);
    auto* events = new EventToolBar;
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, events);
    AddPathHandler("username", PathConnectedWatched,
                   ItemHandler(this, &MainWindow::OnUsernameChanged));
    connect(mp_server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);
    WriteDefaults();
    connect(mp_ui->logRoomChatCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnLogRoomChatCheckBoxClicked);
    connect(mp_ui->logPrivateChatCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnLogPrivateChatCheckBoxClicked);
    connect(mp_ui->emptyShareWarningCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnEmptyShareWarningMessageCheckBoxClicked);
    AddPathHandler("obfuscated_listening_port", PathConnecting,
                   ItemHandler(this, &MainWindow::OnObfuscatedPortSet));
    // Checked when editing ends: typing 37 passes through 3 on its way.
    mp_ui->maxUploadsPerUserSpinBox->setKeyboardTracking(false);
    connect(mp_ui->maxUploadsPerUserSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged);
    new ExtendedAsciiTranslator;
    mp_ui->codePageBox->addItem("[None]");
    for (const QByteArray& name : QTextCodec::availableCodecs())
        mp_ui->codePageBox->addItem(QString::fromLatin1(name));
    connect(mp_ui->codePageBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnCodePageSelected);
    mp_ui->userListForm->Init();
    LoadStore();
    diagnostics->ReleaseLines();
    // The diagnostics tab follows the setting, whoever writes it.
    OnShowDiagnosticsSetting(ItemPtr());
    AddPathHandler("show_diagnostics", PathConnectedWatched,
                   ItemHandler(this, &MainWindow::OnShowDiagnosticsSetting));
    mp_ui->roomsForm->Init();
    ApplyLook();
    SetSetting("data_version", "1");
    if (!HasSetting("username"))
        FirstRun();
    if (HasSetting("username"))
        mp_server->Connect();
    ShowSettings();
    AddPathHandler("new_listening_port", PathConnectedWatched,
                   ItemHandler(this, &MainWindow::OnNewListeningPortChanged));
    ShowStartChoices();
    ShowLaterSettings();
    ReportClosedPorts();
}

void MainWindow::Start() {
    show();
    activateWindow();
    // The window paints as the window system exposes it. No service exists
    // yet to act on input, nor on a later start's message: those wait for
    // the event loop.
    const QEventLoop::ProcessEventsFlags flags = QEventLoop::ExcludeUserInputEvents |
                                                 QEventLoop::ExcludeSocketNotifiers |
                                                 QEventLoop::WaitForMoreEvents;
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(kPaintWaitMs);
    while (limit.isActive() && !(windowHandle() && windowHandle()->isExposed()))
        QCoreApplication::processEvents(flags);
    Init();
}

// A port held by another program leaves the client unreachable for other
// users; the Login page must not show it as if it were open.
void MainWindow::ReportClosedPorts() {
    if (!peerMessenger)
        return;
    QStringList closed;
    if (peerMessenger->ListeningPort() == 0)
        closed << GetSetting("listening_port");
    const qint64 obfuscated = GetSettingInt64("obfuscated_listening_port");
    if (obfuscated != 0 && peerMessenger->ObfuscatedListeningPort() == 0)
        closed << QString::number(obfuscated);
    if (closed.isEmpty())
        return;
    const bool both = closed.size() > 1;
    const QString cause =
        QString("Could not open listening %1 %2: another program may hold %3.")
            .arg(both ? "ports" : "port", closed.join(" and "), both ? "them" : "it");
    // Short enough for the status line of a window at its default size.
    const QString text = cause + " See Options, Login.";
    Log("Application", 1, text);
    qWarning("tavenook: %s", qUtf8Printable(text));
    statusBar()->showMessage(text);
    mp_ui->obfuscatedPortLabel->setText(cause +
                                        "\nChoose another port with Change Listening Port.");
}

void MainWindow::OnShowDiagnosticsSetting(ItemPtr) {
    if (!diagnosticsForm)
        return;
    const bool show = IsSettingYes("show_diagnostics");
    const int index = mp_ui->tabControl->indexOf(diagnosticsForm);
    if (show && index < 0)
        mp_ui->tabControl->addTab(diagnosticsForm, "Diagnostics");
    else if (!show && index >= 0)
        mp_ui->tabControl->removeTab(index);
}

void MainWindow::DeclareTypes() {
    if (!d.FindType("wish_list_item")) {
        Type* wish = d.NewType("wish_list_item", PrimacyRoot, false, true);
        wish->RelateToType(d.NewType("wish_list_item_enabled", PrimacyLeaf, true, false), Many, One,
                           false);
        dataSaver->AddSavedType("wish_list_item");
        dataSaver->AddSavedType("wish_list_item_enabled");
    }
    Type* note = d.NewType("user_note", PrimacyIntermediate, false, true);
    d.GetType("user")->RelateToType(note, Many, One, false);
    dataSaver->AddSavedType("user_note");
    dataSaver->AddSavedByConnectionType("user", "user_note");
}

void MainWindow::RegisterActionSets() {
    ActionSetToolBar* bar = mp_ui->mainToolBar;
    bar->AddSetAction("shared_folders", "set_download_folder", "Set Download Folder",
                      ":/icons/browse_icon", false);
    bar->AddSetAction("shared_folders", "share_folder", "Share Folder", ":/icons/browse_icon",
                      false);
    bar->AddSetAction("shared_folders", "rescan_shares", "Rescan Shares", ":/icons/browse_icon",
                      false);
    bar->RegisterWidget(mp_ui->fileSharingOptionsTab, "shared_folders");
    bar->AddSetAction("login_options", "connect_disconnect", "Connect", ":/icons/online_icon",
                      false);
    bar->AddSetAction("login_options", "set_user_pass", "Change Username/Password",
                      ":/icons/online_icon", false);
    bar->AddSetAction("login_options", "set_listening_port", "Change Listening Port",
                      ":/icons/online_icon", false);
    bar->RegisterWidget(mp_ui->loginOptionsTab, "login_options");
    // These act on the selected user, so they stay off without a selection.
    bar->AddSetAction("user", "message_user", "Message User", ":/icons/chat_icon", true);
    bar->AddSetAction("user", "browse_user", "Browse User's Files", ":/icons/browse_icon", true);
    bar->AddSetAction("user", "add_user", "Add User", ":/icons/add_user_icon", true);
}

void MainWindow::LoadStore() {
    const QString path = StorePath();
    Log(kConfigArea, 1, QString("Loading configuration data from %1").arg(path));
    try {
        dataSaver->Load(path);
        Log(kConfigArea, 1, "Data loaded successfully.");
    } catch (const DataLoadFailure& failure) {
        // The saver kept the defaults and set the unreadable files aside.
        Log(kConfigArea, 1, "Failure to load configuration data.");
        Log(kConfigArea, 1, failure.Reason());
        prompts::Inform(this, "Error loading configuration data",
                        "Your client configuration data could not be loaded. Starting from "
                        "scratch...");
    }
}

void MainWindow::FirstRun() {
    // The run script and tests seed the account without questions.
    const QString seededUser = qEnvironmentVariable("TAVENOOK_USERNAME").trimmed();
    if (!seededUser.isEmpty()) {
        SetSetting("username", seededUser);
        const QString password = qEnvironmentVariable("TAVENOOK_PASSWORD").trimmed();
        if (!password.isEmpty())
            SetSetting("password", password);
        return;
    }
    {
        ChangeUsernamePasswordDialog account(true, nullptr);
        prompts::RunModal(&account);
    }
    if (prompts::AskYesNo(nullptr, "Share a folder?",
                          "Many Tavenook users require that you share something before "
                          "downloading from them. Would you like to share a folder now?",
                          QMessageBox::Yes)) {
        QPointer<AddSharedFolderDialog> share = new AddSharedFolderDialog(ItemPtr(), this);
        prompts::RunModal(share);
        // A real modal loop deletes it on close; an answered prompt does not.
        if (share)
            share->deleteLater();
    }
    prompts::Inform(nullptr, "In the future",
                    "You can always share additional folders by clicking the Share Folder button "
                    "when viewing the Options->File Sharing tab.");
}

void MainWindow::ShowLaterSettings() {
    sizeManager->RegisterResizableWindow("main_window", &m_sizeProxy);
    connect(&timerManager->everyHalfMinute, &QTimer::timeout, this, &MainWindow::EveryHalfMinute);
    connect(&timerManager->everyFiveMinutes, &QTimer::timeout, this, &MainWindow::EveryFiveMinutes);
    connect(&timerManager->everyHour, &QTimer::timeout, this, &MainWindow::EveryHour);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);
    UserNoteDialog::Init();
    activateWindow();
    sharedFoldersManager->Init();
    connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned, this,
            &MainWindow::OnSharedFilesRescanned);
    RegisterWidgetForTabFocus(mp_ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(mp_ui->sharedFoldersList, 1);
    if (chatsForm)
        chatsForm->Init();
    Type* chatLog = d.NewType("chat_log_form", PrimacyRoot, false, true);
    d.GetType("room")->RelateToType(chatLog, One, One, false);
    d.GetType("user")->RelateToType(chatLog, One, One, false);
    ActionSetToolBar* bar = mp_ui->mainToolBar;
    bar->AddSetAction("chat_log", "clear_chat_log", "Clear Log", ":/icons/empty_note_icon", false);
    bar->AddSetAction("chat_log", "open_log_folder", "Open Log Folder", ":/icons/browse_icon",
                      false);
    bar->AddSetAction("user_chat", "user_chat_log", "Chat Log", ":/icons/note_icon", false);
    mp_ui->logRoomChatCheckBox->setChecked(IsSettingYes("log_room_chat"));
    mp_ui->logPrivateChatCheckBox->setChecked(IsSettingYes("log_private_chat"));
    mp_ui->emptyShareWarningCheckBox->setChecked(IsSettingYes("check_for_empty_shares"));
    mp_ui->emptyShareWarningEdit->setText(GetSetting("empty_share_message"));
    mp_ui->emptyShareWarningEdit->setCursorPosition(0);
    mp_ui->acceptUserListUploadsCheckBox->setChecked(IsSettingYes("accept_userlist_uploads"));
    connect(mp_ui->emptyShareWarningEdit, &QLineEdit::textEdited, this,
            &MainWindow::OnEmptyShareWarningEditEdited);
    connect(mp_ui->saveEmptyShareWarningMessageButton, &QPushButton::clicked, this,
            &MainWindow::OnSaveEmptyShareWarningMessageButtonClicked);
    m_updateChecker.Init();
    connect(&m_updateChecker, &UpdateChecker::NewVersion, this, &MainWindow::OnNewVersion);
    mp_ui->maxUploadsPerUserSpinBox->setValue(GetSettingInt("max_queued_uploads_per_user"));
    mp_ui->sharedFoldersList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(mp_ui->sharedFoldersList, &QWidget::customContextMenuRequested, this,
            &MainWindow::OnSharedFoldersListContextMenuRequested);
    mp_ui->userPictureFilenameEdit->setText(GetSetting("user_picture_file"));
    mp_ui->userDescriptionEdit->setPlainText(GetSetting("user_description"));
    for (QCheckBox* box : {mp_ui->showAwayStatusCheckBox, mp_ui->userLevelLoggingCheckBox,
                           mp_ui->openGroupsOnUserAddCheckBox, mp_ui->showEventButtonsCheckBox}) {
        static const QHash<QString, const char*> keys = {
            {"showAwayStatusCheckBox", "show_away_status_in_application_icon"},
            {"userLevelLoggingCheckBox", "user_level_logging"},
            {"openGroupsOnUserAddCheckBox", "open_groups_on_user_add"},
            {"showEventButtonsCheckBox", "show_event_buttons"}};
        if (IsSettingYes(keys.value(box->objectName())))
            box->setChecked(true);
    }
    connect(mp_ui->showEventButtonsCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnShowEventButtonsClicked);
    connect(mp_ui->openGroupsOnUserAddCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnOpenGroupsOnUserAddClicked);
    connect(mp_server, &Server::AdminMessage, this, &MainWindow::OnAdminMessage);
    Type* excluded = d.GetType("excluded_download_extension");
    excluded->NewItemEvent().Insert(
        ItemHandler(this, &MainWindow::OnExcludedDownloadExtensionAddedOrRemoved));
    excluded->ItemRemovedEvent().Insert(
        ItemHandler(this, &MainWindow::OnExcludedDownloadExtensionAddedOrRemoved));
    OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr());
    const std::pair<const char*, QLineEdit*> sounds[] = {
        {"default", mp_ui->defaultSoundEdit},
        {"private_chat", mp_ui->privateChatSoundEdit},
        {"room_chat", mp_ui->roomChatSoundEdit},
        {"wishlist", mp_ui->wishlistResultsSoundEdit},
        {"browse", mp_ui->shareBrowseSoundEdit},
        {"download", mp_ui->downloadAlertSoundEdit},
        {"user_online", mp_ui->userOnlineAlertSoundEdit},
        {"user_info", mp_ui->userInfoSoundEdit}};
    Type* sound = d.GetType("event_sound");
    for (const auto& [key, edit] : sounds)
        edit->setText(sound->GetItem(key)["event_sound_file"].AsString());
    ConnectOptionButtons();
}
