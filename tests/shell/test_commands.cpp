// The main window's own work against the loopback server: the tool-bar
// commands, the list of shared folders, every option control, the connection
// shown in actions, icon and title, the release dialog fed by a loopback HTTP
// stub, the settings dialogs, and what a user must be able to read and type.

#include <QComboBox>
#include <QDesktopServices>
#include <QMenu>
#include <QStatusBar>
#include <QStyleOptionFrame>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWidgetAction>
#include <QtTest>
#include <iterator>
#include <memory>

#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/DataSaver.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/Fuzz.h"
#include "support/HttpStub.h"
#include "support/TestServer.h"
#include "support/WindowStart.h"
#include "ui_AddSharedFolderDialog.h"
#include "ui_ColorSelectionDialog.h"
#include "ui_ExcludedExtensionsDialog.h"
#include "ui_NewVersionDialog.h"
#include "ui_mainwindow.h"
#include "views/chat/AdminMessageDialog.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatsForm.h"
#include "views/search/SearchForm.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/shares/ChangeListeningPortDialog.h"
#include "views/shares/ChangeUsernamePasswordDialog.h"
#include "views/shares/ColorSelectionDialog.h"
#include "views/shares/DataDialog.h"
#include "views/shares/DiagnosticsForm.h"
#include "views/shares/ExcludedExtensionsDialog.h"
#include "views/shares/NewVersionDialog.h"
#include "views/shares/SharesForm.h"
#include "views/users/UserNoteDialog.h"

namespace {
// Every question, chooser and menu the program asks, answered from queues.
struct Answers {
    QStringList asked;  // "box:title", "choose:caption", "menu:a|b"
    QStringList texts;  // the boxes' texts
    QStringList files;  // answers to the file and folder choosers, in turn
    QString menuChoice;
    QFont font;
    Answers() {
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            asked << "box:" + box.title;
            texts << box.text;
            return QMessageBox::Ok;
        });
        const auto choose = [this](QWidget*, const QString& caption) {
            asked << "choose:" + caption;
            return files.isEmpty() ? QString() : files.takeFirst();
        };
        prompts::SetChooseFolderHandler(choose);
        prompts::SetChooseOpenFileHandler(choose);
        prompts::SetMenuHandler([this](QMenu* menu, const QPoint&) -> QAction* {
            QStringList entries;
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                entries << action->text();
                if (action->text() == menuChoice)
                    chosen = action;
            }
            asked << "menu:" + entries.join('|');
            return chosen;
        });
        prompts::SetChooseFontHandler([this](const QFont&) {
            asked << "choose:font";
            return font;
        });
    }
    ~Answers() {
        prompts::SetBoxHandler(nullptr);
        prompts::SetChooseFolderHandler(nullptr);
        prompts::SetChooseOpenFileHandler(nullptr);
        prompts::SetMenuHandler(nullptr);
        prompts::SetChooseFontHandler(nullptr);
    }
    QStringList Take() {
        QStringList out = asked;
        asked.clear();
        return out;
    }
};

bool SameIcon(const QIcon& icon, const char* path) {
    return icon.pixmap(16).toImage() == QIcon(path).pixmap(16).toImage();
}

// The text is drawn whole inside the field.
bool ShowsWholeText(QLineEdit* edit) {
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QRect area = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    return edit->fontMetrics().horizontalAdvance(edit->text()) + 4 <= area.width();
}

template <class T>
QList<T*> Open(QWidget* window) {
    QList<T*> out;
    for (T* dialog : window->findChildren<T*>())
        if (dialog->isVisible())
            out << dialog;
    return out;
}
}  // namespace

class TestCommands : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    TestServer m_server;
    std::unique_ptr<MainWindow> m_window;
    QList<QUrl> m_opened;
    int m_quits = 0;

    Ui_MainWindow* ui() { return m_window->Form(); }
    ActionSetToolBar* bar() { return ui()->mainToolBar; }
    void Run(const char* action) { m_window->OnToolBarActionTriggered(nullptr, action); }

    void Start(const char* user = "alice") {
        qputenv("TAVENOOK_USERNAME", user);
        qputenv("TAVENOOK_PASSWORD", "pw");
        m_window = StartMainWindow(Clocks::Stopped, QSize(1000, 600));
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }
    bool LoggedIn(const char* user = "alice") {
        return QTest::qWaitFor(
            [&] { return m_server.IsLoggedIn(user) && gp_server->IsConnected(); }, 20000);
    }
    // Shows an options page and puts the focus on one of its controls, so
    // that the context tool bar shows the page's set.
    void ShowOptions(QWidget* page, QWidget* focus) {
        ui()->tabControl->setCurrentWidget(ui()->optionsTab);
        ui()->optionsTabControl->setCurrentWidget(page);
        focus->setFocus();
        QTRY_VERIFY(bar()->ShownWidget() == page);
    }
    QStringList BarTexts() {
        QStringList out;
        for (QAction* a : bar()->actions())
            if (!qobject_cast<QWidgetAction*>(a) && !a->text().isEmpty() && a->isVisible())
                out << a->text();
        return out;
    }
    void PointUserKey(const QString& user) {
        d.GetType("active_action_key")
            ->GetItem(Value("user"))
            .Connect(d.GetType("active_action_value")->GetItem(Value(user)));
        QCOMPARE(bar()->GetKey("user"), user);
    }

public slots:
    void open(const QUrl& url) { m_opened << url; }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        QDesktopServices::setUrlHandler("http", this, "open");
        QDesktopServices::setUrlHandler("https", this, "open");
        // Ending the test program's own loop would end every later wait.
        SetQuitHandler([this] { ++m_quits; });
    }
    void cleanup() {
        m_window.reset();
        m_opened.clear();
        m_quits = 0;
        for (const QString& file :
             QDir(m_home.path()).entryList({".Tavenook*"}, QDir::Hidden | QDir::Files))
            QFile::remove(m_home.filePath(file));
    }

    void toolBarCommands();
    void connectionCycle();
    void sharedFoldersList();
    void optionControls();
    void typedNumbers();
    void releaseDialog();
    void releaseDownloadEndsProgram();
    void releaseCheckAsksOnce();
    void settingsDialogs();
    void closedListeningPort();
    void windowsAndAlerts();
    void saveDuringImport_data();
    void saveDuringImport();
};

// Each command: what it changes or sends, and what it asks or opens.
void TestCommands::toolBarCommands() {
    Answers answers;
    Start();
    QVERIFY(LoggedIn());
    const int dialogs = m_window->findChildren<QDialog*>().size();

    Run("expand_level");  // another view's action
    QCOMPARE(m_window->findChildren<QDialog*>().size(), dialogs);

    SetSetting("download_folder", "/old");
    answers.files = QStringList{"/home/alice/Downloads", ""};
    Run("set_download_folder");
    QCOMPARE(GetSetting("download_folder"), QString("/home/alice/Downloads"));
    QCOMPARE(ui()->downloadFolderEdit->text(), QString("/home/alice/Downloads"));
    Run("set_download_folder");  // cancelled
    QCOMPARE(GetSetting("download_folder"), QString("/home/alice/Downloads"));
    QCOMPARE(ui()->downloadFolderEdit->text(), QString("/home/alice/Downloads"));
    QCOMPARE(answers.Take(),
             (QStringList{"choose:Set Download Folder", "choose:Set Download Folder"}));

    Run("share_folder");
    const auto shares = Open<AddSharedFolderDialog>(m_window.get());
    QCOMPARE(shares.size(), 1);
    QVERIFY(shares[0]->Form()->selectedFolderEdit->text().isEmpty());
    Run("set_listening_port");
    QCOMPARE(Open<ChangeListeningPortDialog>(m_window.get()).size(), 1);

    Run("rescan_shares");
    // The walk runs on the scanner thread: the report comes when it is merged.
    QVERIFY(Open<SharedFilesRescannedDialog>(m_window.get()).isEmpty());
    QTRY_COMPARE(Open<SharedFilesRescannedDialog>(m_window.get()).size(), 1);
    const auto report = Open<SharedFilesRescannedDialog>(m_window.get())[0];
    QCOMPARE(report->windowTitle(), QString("Shared Files Rescanned"));
    QCOMPARE(report->Text().split('\n'), (QStringList{"0 files added.", "0 files removed."}));

    // The user commands do nothing without a user.
    PointUserKey("");
    const int users = d.GetType("user")->ItemCount();
    const int browsed = sharesForm->Tabs()->count();
    for (const char* action : {"add_user", "browse_user", "message_user"})
        Run(action);
    QVERIFY(d.GetType("user")->HasItem(Value("")).IsNull());
    QCOMPARE(d.GetType("user")->ItemCount(), users);
    QCOMPARE(sharesForm->Tabs()->count(), browsed);

    PointUserKey("bob");
    Run("add_user");
    QVERIFY(d.GetType("user")->HasItem(Value("bob")).IsConnected("in_user_list"));
    Run("message_user");
    bool chatting = false;
    for (ChatForm* chat : chatsForm->findChildren<ChatForm*>())
        chatting = chatting || chat->User() == "bob";
    QVERIFY(chatting);
    m_server.ClearReceived("alice");
    Run("browse_user");
    QCOMPARE(sharesForm->Tabs()->tabText(sharesForm->Tabs()->count() - 1), QString("bob"));
    QByteArray asked;
    QVERIFY(m_server.WaitForMessage("alice", 3, 10000, &asked));  // the peer's address
    QVERIFY(asked.contains("bob"));

    // The account is changed only while disconnected.
    Run("set_user_pass");
    QCOMPARE(answers.Take(), QStringList{"box:Cannot change username while online"});
    QCOMPARE(answers.texts.last(),
             QString("You must be disconnected from the Tavenook server to change your username."));
    QVERIFY(Open<ChangeUsernamePasswordDialog>(m_window.get()).isEmpty());
    Run("connect_disconnect");
    QTRY_VERIFY(!m_server.IsLoggedIn("alice"));
    QVERIFY(!gp_server->IsConnected());
    Run("set_user_pass");
    QCOMPARE(Open<ChangeUsernamePasswordDialog>(m_window.get()).size(), 1);
    QVERIFY(answers.Take().isEmpty());
    Run("connect_disconnect");
    QVERIFY(LoggedIn());
}

// Action text, icon and title through login, refusals, drops and reconnection.
void TestCommands::connectionCycle() {
    Answers answers;
    Start();
    ShowOptions(ui()->loginOptionsTab, ui()->usernameEdit);
    QVERIFY(LoggedIn());
    QTRY_COMPARE(BarTexts().value(0), QString("Disconnect"));
    QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/online_icon"));
    QCOMPARE(m_window->windowTitle(), QString("TavenookQt build 2013.2.26 [alice]"));

    // Away shows only when the user wants it shown.
    gp_server->SetAvailabilityStatus(false);
    ui()->showAwayStatusCheckBox->setChecked(false);
    ui()->showAwayStatusCheckBox->click();
    QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/away_icon"));
    ui()->showAwayStatusCheckBox->click();
    QCOMPARE(GetSetting("show_away_status_in_application_icon"), QString("no"));
    QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/online_icon"));
    gp_server->SetAvailabilityStatus(true);

    Run("connect_disconnect");
    QTRY_COMPARE(BarTexts().value(0), QString("Connect"));
    QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/offline_icon"));

    const char* const retry =
        " Please change your login settings in the Options tab and try reconnecting.";
    struct Refusal {
        const char *reason, *title, *text;
    };
    const Refusal refusals[] = {
        {"INVALIDPASS", "Login Failure: Wrong Password",
         "Login failed. The password you supplied does not match your username."},
        {"INVALIDUSERNAME", "Login Failure: Username is Invalid",
         "Login failed. The username you supplied is invalid."},
        {" invalidpass <b>x</b> ", "Login Failure",
         "Login failed. Reported failure reason:  invalidpass <b>x</b> ."}};
    for (const Refusal& refusal : refusals) {
        m_server.RefuseNextLogin(refusal.reason);
        Run("connect_disconnect");
        QCOMPARE(BarTexts().value(0), QString("Connecting..."));
        QTRY_VERIFY(!answers.asked.isEmpty());
        QCOMPARE(answers.Take(), QStringList{QString("box:") + refusal.title});
        QCOMPARE(answers.texts.last(), QString(refusal.text) + retry);
        QCOMPARE(BarTexts().value(0), QString("Connect"));
        QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/offline_icon"));
    }

    // An unexpected drop, and a reconnection that fails on the way: no box.
    Run("connect_disconnect");
    QVERIFY(LoggedIn());
    const quint16 port = m_server.Port();
    m_server.Close();
    QTRY_COMPARE(BarTexts().value(0), QString("Connect"));
    QVERIFY(gp_server->IsAbruptlyDisconnected());
    gp_server->OnHalfMinuteTick();
    QTRY_VERIFY(!gp_server->IsConnecting());
    QCOMPARE(BarTexts().value(0), QString("Connect"));
    QVERIFY(m_server.Listen(port));
    gp_server->OnHalfMinuteTick();
    QVERIFY(LoggedIn());
    QTRY_COMPARE(BarTexts().value(0), QString("Disconnect"));
    QVERIFY(SameIcon(m_window->windowIcon(), ":/icons/online_icon"));
    QVERIFY(answers.Take().isEmpty());

    // The title and the Login page follow the stored name and ports.
    SetSetting("username", "carol");
    QCOMPARE(m_window->windowTitle(), QString("TavenookQt build 2013.2.26 [carol]"));
    QCOMPARE(ui()->usernameEdit->text(), QString("carol"));
    SetSetting("new_listening_port", "2240");
    QCOMPARE(ui()->listeningPortEdit->text(), QString("2240"));
    QVERIFY(ui()->obfuscatedPortLabel->text().startsWith("Obfuscated port is 2241, "));
    SetSetting("obfuscated_listening_port", "4000");
    QVERIFY(ui()->obfuscatedPortLabel->text().startsWith("Obfuscated port is 4000, "));
    qputenv("TAVENOOK_PORT_TEST_URL", "http://127.0.0.1:9/");
    SetSetting("listening_port", "2234");
    ui()->checkPortsButton->click();
    QCOMPARE(m_opened, (QList<QUrl>{QUrl("http://127.0.0.1:9/porttest.php?port=2234"),
                                    QUrl("http://127.0.0.1:9/porttest.php?port=4000")}));
    qunsetenv("TAVENOOK_PORT_TEST_URL");
}

// Rows follow the folders and their visibility; the menu re-permits and
// unshares; the excluded extensions and the rescan report show.
void TestCommands::sharedFoldersList() {
    Answers answers;
    Start();
    QTreeWidget* list = ui()->sharedFoldersList;
    QTemporaryDir shared;
    QFile file(shared.filePath("song one.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
    file.close();
    const ItemPtr folder = sharedFoldersManager->AddSharedFolder(shared.path());
    QVERIFY(!folder.IsNull());
    folder.NewItem("shared_public");
    QTRY_VERIFY(d.GetType("shared_file")->ItemCount() >= 1);
    const auto rows = [list] {
        QStringList out;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(0) + "=" + list->topLevelItem(i)->text(1);
        return out;
    };
    const QString path = folder.AsString();
    QCOMPARE(rows(), QStringList{path + "=Everyone"});

    Type* groups = d.GetType("user_list_group");
    for (const char* name : {"Work", "Friends", "alpha", "Zed"})
        folder.Connect(groups->GetItem(Value(name)));
    QCOMPARE(rows(), QStringList{path + "=Everyone"});
    folder.Disconnect("shared_public");
    QCOMPARE(rows(), QStringList{path + "=Friends, Work, Zed, alpha"});
    folder.NewItem("shared_userlist");
    QCOMPARE(rows(), QStringList{path + "=User List"});
    folder.Disconnect("shared_userlist");
    folder.Disconnect("user_list_group");
    QCOMPARE(rows(), QStringList{path + "="});

    // Folders differing only in case keep their rows.
    Type* folders = d.GetType("shared_folder");
    folders->GetItem(Value("/x/Music"));
    folders->GetItem(Value("/x/music"));
    QCOMPARE(rows().mid(1), (QStringList{"/x/Music=", "/x/music="}));
    folders->HasItem(Value("/x/music")).Remove();
    QCOMPARE(rows().mid(1), QStringList{"/x/Music="});

    // The menu: not below the rows; on a row, its two entries.
    list->setFocus();
    list->clearSelection();
    m_window->OnUnshareFolder();
    QCOMPARE(rows().size(), 2);
    m_window->OnSharedFoldersListContextMenuRequested(QPoint(5, list->viewport()->height() - 2));
    QVERIFY(answers.Take().isEmpty());
    list->setCurrentItem(list->topLevelItem(0));
    const QPoint onRow = list->visualItemRect(list->topLevelItem(0)).center();
    answers.menuChoice = "Set Folder Permissions";
    m_window->OnSharedFoldersListContextMenuRequested(onRow);
    QCOMPARE(answers.Take(), QStringList{"menu:Set Folder Permissions|Unshare Folder"});
    const auto permits = Open<AddSharedFolderDialog>(m_window.get());
    QCOMPARE(permits.size(), 1);
    QCOMPARE(permits[0]->Form()->selectedFolderEdit->text(), path);
    permits[0]->Form()->everyoneCheckBox->setChecked(true);
    permits[0]->accept();
    QCOMPARE(rows().first(), path + "=Everyone");

    // A new file shows in the report of the rescan.
    QFile second(shared.filePath("song two.txt"));
    QVERIFY(second.open(QIODevice::WriteOnly) && second.write("y") == 1);
    second.close();
    const int reports = Open<SharedFilesRescannedDialog>(m_window.get()).size();
    Run("rescan_shares");
    QCOMPARE(Open<SharedFilesRescannedDialog>(m_window.get()).size(), reports);
    QVERIFY(sharedFoldersManager->GetSharedFileItem(shared.filePath("song two.txt")).IsNull());
    QTRY_COMPARE(Open<SharedFilesRescannedDialog>(m_window.get()).size(), reports + 1);
    QVERIFY(Open<SharedFilesRescannedDialog>(m_window.get())
                .last()
                ->Text()
                .startsWith("1 files added."));
    const int files = d.GetType("shared_file")->ItemCount();
    QVERIFY(files >= 2);

    answers.menuChoice = "Unshare Folder";
    list->setCurrentItem(list->topLevelItem(0));
    m_window->OnSharedFoldersListContextMenuRequested(onRow);
    QCOMPARE(rows(), QStringList{"/x/Music="});
    QVERIFY(folders->HasItem(Value(path)).IsNull());
    QVERIFY(sharedFoldersManager->GetSharedFileItem(shared.filePath("song one.txt")).IsNull());
    QCOMPARE(d.GetType("shared_file")->ItemCount(), 0);

    Type* excluded = d.GetType("excluded_download_extension");
    excluded->GetItems().Remove();
    QCOMPARE(ui()->excludedExtensionsEdit->text(), QString());
    excluded->GetItem(Value("mp3"));
    excluded->GetItem(Value(".WAV"));
    QCOMPARE(ui()->excludedExtensionsEdit->text(), QString("mp3 .WAV"));
    excluded->HasItem(Value("mp3")).Remove();
    QCOMPARE(ui()->excludedExtensionsEdit->text(), QString(".WAV"));
}

// Every control writes its setting at once, with its side effects.
void TestCommands::optionControls() {
    Answers answers;
    Start();
    struct Box {
        QCheckBox* box;
        const char* key;
    };
    const Box boxes[] = {{ui()->dontSplitDownloadsCheckBox, "dont_split_downloads"},
                         {ui()->dontDownloadSingleFilesIntoSubfolders,
                          "dont_create_subfolders_for_single_downloads"},
                         {ui()->acceptUserListUploadsCheckBox, "accept_userlist_uploads"},
                         {ui()->emptyShareWarningCheckBox, "check_for_empty_shares"},
                         {ui()->showEventButtonsCheckBox, "show_event_buttons"},
                         {ui()->useOldStyleSearchResultsCheckBox, "use_old_style_search_results"},
                         {ui()->autoExpandSharesCheckBox, "expand_new_shares"},
                         {ui()->openGroupsOnUserAddCheckBox, "open_groups_on_user_add"},
                         {ui()->logRoomChatCheckBox, "log_room_chat"},
                         {ui()->logPrivateChatCheckBox, "log_private_chat"},
                         {ui()->userLevelLoggingCheckBox, "user_level_logging"},
                         {ui()->showDiagnosticsCheckBox, "show_diagnostics"},
                         {ui()->minimizeToTrayCheckBox, "minimize_to_tray"},
                         {ui()->showAwayStatusCheckBox, "show_away_status_in_application_icon"},
                         {ui()->uPnPCheckBox, "use_upnp"}};
    QTabWidget* tabs = ui()->tabControl;
    for (const Box& b : boxes) {
        for (int i = 0; i < 2; ++i) {
            b.box->click();
            QCOMPARE(GetSetting(b.key), QString(b.box->isChecked() ? "yes" : "no"));
            if (b.box == ui()->showDiagnosticsCheckBox)
                QCOMPARE(tabs->indexOf(diagnosticsForm),
                         b.box->isChecked() ? tabs->count() - 1 : -1);
        }
    }
    // The diagnostics tab goes from wherever it stands, and comes back last.
    ui()->showDiagnosticsCheckBox->setChecked(false);
    ui()->showDiagnosticsCheckBox->click();
    tabs->tabBar()->moveTab(tabs->indexOf(diagnosticsForm), 0);
    ui()->showDiagnosticsCheckBox->click();
    QCOMPARE(tabs->indexOf(diagnosticsForm), -1);
    ui()->showDiagnosticsCheckBox->click();
    QCOMPARE(tabs->indexOf(diagnosticsForm), tabs->count() - 1);
    QCOMPARE(tabs->tabText(tabs->count() - 1), QString("Diagnostics"));

    const char* const firstTabs[] = {"transfers", "rooms", "search", "users"};
    const char* const stamps[] = {"activity_based", "per_message_short", "per_message_long",
                                  "no_timestamps"};
    for (int i = 3; i >= -1; --i) {
        ui()->firstOpenTabBox->setCurrentIndex(i);
        ui()->chatTimestampsBox->setCurrentIndex(i);
        QCOMPARE(GetSetting("first_open_tab"), QString(firstTabs[i < 0 ? 3 : i]));
        QCOMPARE(GetSetting("chat_timestamps"), QString(stamps[i < 0 ? 3 : i]));
    }
    // The code page decodes peers' bytes that are not UTF-8 from the moment
    // it is chosen; UTF-8 stays UTF-8, and "[None]" reads bytes as Latin-1.
    QComboBox* codePages = ui()->codePageBox;
    QVERIFY(extendedAsciiTranslator);
    const auto decoded = [] {
        return extendedAsciiTranslator->Decode("\xe1") + ToQString(std::string("\xe1\xe2")) +
               ToQString(std::string("\xc3\xa1"));
    };
    QCOMPARE(decoded(), QString("\u00e1\u00e1\u00e2\u00e1"));
    codePages->setCurrentIndex(codePages->findText("ISO-8859-7"));
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString("ISO-8859-7"));
    QCOMPARE(decoded(), QString("\u03b1\u03b1\u03b2\u00e1"));
    codePages->setCurrentIndex(codePages->findText("ISO-8859-5"));
    QCOMPARE(decoded(), QString("\u0441\u0441\u0442\u00e1"));
    codePages->setCurrentIndex(0);
    QVERIFY(HasSetting("extended_ascii_codepage"));
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString());
    QCOMPARE(decoded(), QString("\u00e1\u00e1\u00e2\u00e1"));

    // Every keystroke of the description is stored.
    ui()->tabControl->setCurrentWidget(ui()->optionsTab);
    ui()->optionsTabControl->setCurrentWidget(ui()->tab_4);
    ui()->userDescriptionEdit->setFocus();
    QTest::keyClick(ui()->userDescriptionEdit, Qt::Key_H);
    QCOMPARE(GetSetting("user_description"), QString("h"));
    QTest::keyClick(ui()->userDescriptionEdit, Qt::Key_I);
    QCOMPARE(GetSetting("user_description"), QString("hi"));

    answers.files = QStringList{"/pics/me.png", ""};
    ui()->selectPictureButton->click();
    ui()->selectPictureButton->click();  // cancelled
    QCOMPARE(GetSetting("user_picture_file"), QString("/pics/me.png"));
    QCOMPARE(ui()->userPictureFilenameEdit->text(), QString("/pics/me.png"));
    ui()->clearPictureButton->click();
    QVERIFY(!HasSetting("user_picture_file") && ui()->userPictureFilenameEdit->text().isEmpty());
    QCOMPARE(answers.Take(), QStringList({"choose:Select Picture", "choose:Select Picture"}));

    // Sounds, each row in turn: clearing one never set changes nothing; a
    // file chosen, replaced and cleared is in the store and the field at once,
    // and leaves the other rows alone.
    struct Sound {
        const char* key;
        QPushButton* select;
        QPushButton* clear;
        QLineEdit* edit;
    };
    const Sound sounds[] = {
        {"default", ui()->defaultSoundSelectFileButton, ui()->defaultSoundClearButton,
         ui()->defaultSoundEdit},
        {"private_chat", ui()->privateChatSoundSelectFileButton, ui()->privateChatSoundClearButton,
         ui()->privateChatSoundEdit},
        {"room_chat", ui()->roomChatSoundSelectFileButton, ui()->roomChatSoundClearButton,
         ui()->roomChatSoundEdit},
        {"wishlist", ui()->wishlistResultsSoundSelectFileButton,
         ui()->wishlistResultsSoundClearButton, ui()->wishlistResultsSoundEdit},
        {"browse", ui()->shareBrowseSoundSelectFileButton, ui()->shareBrowseSoundClearButton,
         ui()->shareBrowseSoundEdit},
        {"download", ui()->downloadAlertSoundSelectFileButton, ui()->downloadAlertSoundClearButton,
         ui()->downloadAlertSoundEdit},
        {"user_online", ui()->userOnlineAlertSoundSelectFileButton,
         ui()->userOnlineAlertSoundClearButton, ui()->userOnlineAlertSoundEdit},
        {"user_info", ui()->userInfoSoundSelectFileButton, ui()->userInfoSoundClearButton,
         ui()->userInfoSoundEdit},
    };
    Type* events = d.GetType("event_sound");
    // Every row as "key=file|field", so one comparison covers all of them.
    const auto rows = [&] {
        QStringList out;
        for (const Sound& s : sounds) {
            const ItemPtr files = events->GetItem(Value(s.key));
            QStringList paths;
            for (const ItemPtr& file : files.GetItems("event_sound_file"))
                paths << file.AsString();
            out << QString("%1=%2|%3").arg(s.key, paths.join('+'), s.edit->text());
        }
        return out;
    };
    QStringList expected = rows();
    for (int k = 0; k < int(std::size(sounds)); ++k) {
        const Sound& s = sounds[k];
        QVERIFY(s.edit->isReadOnly());
        s.clear->click();
        QCOMPARE(rows(), expected);
        const QString first = QString("/snd/%1 a.wav").arg(s.key);
        const QString second = QString("/snd/%1.wav").arg(s.key);
        answers.files = QStringList{first, second, ""};
        s.select->click();
        expected[k] = QString("%1=%2|%2").arg(s.key, first);
        QCOMPARE(rows(), expected);
        s.select->click();
        expected[k] = QString("%1=%2|%2").arg(s.key, second);
        QCOMPARE(rows(), expected);
        s.select->click();  // cancelled
        QCOMPARE(rows(), expected);
        QCOMPARE(answers.Take(), QStringList({"choose:Select Wave File", "choose:Select Wave File",
                                              "choose:Select Wave File"}));
        if (k % 2 == 0) {  // every other row stays set while the next are changed
            s.clear->click();
            expected[k] = QString("%1=|").arg(s.key);
            QCOMPARE(rows(), expected);
        }
    }

    // Fonts: the chosen one, then the one the program started with; the
    // hand-placed button grows with the font.
    QPushButton* import = ui()->importUserListButton;
    QVERIFY(import->width() >= import->sizeHint().width());
    const QFont started = QApplication::font();
    answers.font = QFont(started.family(), 30);
    ui()->selectApplicationFontButton->click();
    QCOMPARE(answers.Take(), QStringList{"choose:font"});
    QCOMPARE(GetSetting("application_font"), answers.font.toString());
    QCOMPARE(QApplication::font().pointSize(), 30);
    QVERIFY(import->width() >= import->sizeHint().width());
    ui()->defaultFontButton->click();
    QCOMPARE(GetSetting("application_font"), started.toString());
    QCOMPARE(QApplication::font(), started);

    // The warning text: blanks cannot be saved; a saved text keeps its blanks.
    QLineEdit* warning = ui()->emptyShareWarningEdit;
    QPushButton* save = ui()->saveEmptyShareWarningMessageButton;
    ui()->optionsTabControl->setCurrentWidget(ui()->fileSharingOptionsTab);
    QCOMPARE(QApplication::focusWidget(), ui()->sharedFoldersList);
    warning->clear();
    warning->setFocus();
    QTest::keyClicks(warning, "  ");
    QVERIFY(!save->isEnabled());
    QTest::keyClicks(warning, "hi ");
    QVERIFY(save->isEnabled());
    save->click();
    QCOMPARE(GetSetting("empty_share_message"), QString("  hi "));
    QVERIFY(!save->isEnabled() && warning->cursorPosition() == 0);

    // The search history goes from the store and from the search entry.
    auto* entry = searchForm->findChild<QComboBox*>("searchEdit");
    QVERIFY(entry);
    ui()->clearSearchHistoryButton->click();  // nothing recorded: nothing happens
    searchForm->RecordSearch("one");
    searchForm->RecordSearch("two");
    QCOMPARE(entry->count(), 2);
    ui()->clearSearchHistoryButton->click();
    QCOMPARE(d.GetType("search_record")->ItemCount(), 0);
    QCOMPARE(entry->count(), 0);
    QVERIFY(answers.Take().isEmpty());
}

// Typed numbers are taken when editing ends: every digit counts.
void TestCommands::typedNumbers() {
    Start();
    QSpinBox* box = ui()->maxUploadsPerUserSpinBox;
    ui()->tabControl->setCurrentWidget(ui()->optionsTab);
    ui()->optionsTabControl->setCurrentWidget(ui()->fileSharingOptionsTab);
    struct Row {
        const char* typed;
        int shown;
        const char* stored;
    };
    const Row rows[] = {{"37", 37, "37"},    {"5", 10, "10"}, {"10", 10, "10"},
                        {"123", 123, "123"}, {"0", 10, "10"}, {"99999", 99999, "99999"}};
    for (const Row& row : rows) {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, row.typed);
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(box->value(), row.shown);
        QCOMPARE(GetSetting("max_queued_uploads_per_user"), QString(row.stored));
    }
    // The arrows still store each step.
    box->setValue(20);
    QTest::keyClick(box, Qt::Key_Up);
    QCOMPARE(GetSetting("max_queued_uploads_per_user"), QString("21"));
}

// A newer release from the loopback stub: fetched once, shown, skipped.
void TestCommands::releaseDialog() {
    HttpStub stub;
    stub.body = "20140305\nhttp://127.0.0.1:9/dl\ntavenook-x\n<b>Faster</b>\nFixes\n";
    Start();
    QSignalSpy done(&m_window->ReleaseChecker(), &UpdateChecker::CheckDone);
    QVERIFY(LoggedIn());
    QVERIFY(done.count() || done.wait(20000));
    QTRY_COMPARE(Open<NewVersionDialog>(m_window.get()).size(), 1);
    NewVersionDialog* dialog = Open<NewVersionDialog>(m_window.get())[0];
    QCOMPARE(dialog->windowTitle(), QString("TavenookQt Update"));
    QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(dialog->Form()->currentVersionEdit->text(), QString("Build 2/26/2013"));
    QCOMPARE(dialog->Form()->newVersionEdit->text(), QString("Build 3/5/2014"));
    QCOMPARE(dialog->Form()->descriptionEdit->toPlainText(), QString("<b>Faster</b>\nFixes"));
    QTRY_VERIFY(ShowsWholeText(dialog->Form()->currentVersionEdit));
    QVERIFY(ShowsWholeText(dialog->Form()->newVersionEdit));
    // Even the widest dates fit.
    auto wide = std::make_unique<NewVersionDialog>(20281228, "", QStringList(), nullptr);
    wide->show();
    QTRY_VERIFY(ShowsWholeText(wide->Form()->newVersionEdit));
    wide.reset();
    // One fetch per start, also after a reconnection.
    Run("connect_disconnect");
    QTRY_VERIFY(!gp_server->IsConnected());
    Run("connect_disconnect");
    QVERIFY(LoggedIn());
    QCOMPARE(stub.requests.size(), 1);
    QCOMPARE(done.count(), 1);

    QPointer<NewVersionDialog> guard = dialog;
    dialog->Form()->skipButton->click();
    QCOMPARE(GetSetting("skip_version"), QString("20140305"));
    QTRY_VERIFY(guard.isNull());
    QVERIFY(m_window->isVisible());

    // Download: the link opens, the program ends through its window.
    m_window->OnNewVersion(20150101, "http://127.0.0.1:9/get", {});
    Open<NewVersionDialog>(m_window.get()).last()->Form()->downloadButton->click();
    QCOMPARE(m_opened, QList<QUrl>{QUrl("http://127.0.0.1:9/get")});
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(m_quits, 1);
}

// "Download" ends the program, store saved, while a note editor without a
// parent is still open (the binary plays the program, see main).
void TestCommands::releaseDownloadEndsProgram() {
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QCoreApplication::applicationFilePath(), {"--download-with-note-open"});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(program.state() == QProcess::NotRunning, 60000);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    const QStringList stores = DataSaver::StoreFiles(m_home.filePath(".Tavenook"));
    QVERIFY(!stores.isEmpty());
    QFile store(stores.first());
    QVERIFY(store.open(QIODevice::ReadOnly));
    QVERIFY(store.readAll().contains("noted just before the download"));
}

// A host that closes without answering is asked once; answers of any shape
// end the check without an announcement unless whole and well formed.
void TestCommands::releaseCheckAsksOnce() {
    QTcpServer rude;
    QVERIFY(rude.listen(QHostAddress::LocalHost, 0));
    int requests = 0;
    connect(&rude, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* s = rude.nextPendingConnection())
            connect(s, &QTcpSocket::readyRead, s, [&requests, s] {
                if (!s->readAll().contains("\r\n\r\n"))
                    return;
                ++requests;
                s->abort();
            });
    });
    qputenv("TAVENOOK_UPDATE_URL",
            QByteArray("http://127.0.0.1:") + QByteArray::number(rude.serverPort()) + "/v");
    {
        UpdateChecker checker;
        QSignalSpy done(&checker, &UpdateChecker::CheckDone);
        checker.OnConnectedToServer();
        QVERIFY(done.wait(10000));
        QCOMPARE(requests, 1);
    }
    qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");

    const QByteArray body = "20140101\nb\ns\nOne\n";
    struct Row {
        QByteArray answer;
        bool whole;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n" + body, true},
        {"HTTP/1.0 200 OK\r\n\r\n" + body, true},
        {"HTTP/1.1 200 OK\r\ncontent-length:  5 \r\n\r\n" + body, true},  // cut to 5
        {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n" + body, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n" + body, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body, false},
        {"HTTP/1.1 301 Moved\r\n\r\n" + body, false},
        {"HTTP/1.1 200 OK\r\n" + body, false},
        {"ICY 200 OK\r\n\r\n" + body, false},
        {"", false}};
    for (const Row& row : rows) {
        QByteArray out;
        QCOMPARE(UpdateChecker::ParseHttpAnswer(row.answer, out), row.whole);
        if (row.whole)
            QVERIFY(body.startsWith(out) && !out.isEmpty());
    }
    fuzz::Rng rng(0x5eed);
    for (int i = 0; i < 20000; ++i) {
        QByteArray out;
        const QByteArray answer = fuzz::Mutate(rng, rows[i % 3].answer);
        if (UpdateChecker::ParseHttpAnswer(answer, out))
            QVERIFY(out.size() <= answer.size());
    }
}

// The excluded-extensions editor and the colour dialog.
void TestCommands::settingsDialogs() {
    Answers answers;
    Start();
    ui()->editExcludedExtensionsButton->click();
    ExcludedExtensionsDialog* editor = excludedExtensionsDialog;
    QVERIFY(editor && editor->isVisible());
    ui()->editExcludedExtensionsButton->click();  // the same one again
    QCOMPARE(excludedExtensionsDialog, editor);
    QCOMPARE(m_window->findChildren<ExcludedExtensionsDialog*>().size(), 1);
    auto* form = editor->Form();
    const auto listed = [form] {
        QStringList out;
        for (int i = 0; i < form->extensionListWidget->count(); ++i)
            out << form->extensionListWidget->item(i)->text();
        return out;
    };
    for (const char* typed : {" mp3 ", "mp3", "   ", ".MP3"}) {
        form->newExtensionEdit->setText(typed);
        form->newExtensionButton->click();
        QVERIFY(form->newExtensionEdit->text().isEmpty());
    }
    d.GetType("excluded_download_extension")->GetItem(Value("zip"));  // from elsewhere
    // ".ini" is excluded from the start.
    QCOMPARE(listed(), (QStringList{".MP3", ".ini", "mp3", "zip"}));
    QCOMPARE(ui()->excludedExtensionsEdit->text(), QString(".ini mp3 .MP3 zip"));
    // No menu on empty space; "Remove" takes every selected row.
    QListWidget* list = form->extensionListWidget;
    editor->OnExtensionListContextMenuRequested(QPoint(2, list->viewport()->height() - 2));
    QVERIFY(answers.Take().isEmpty());
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    list->item(0)->setSelected(true);
    list->item(3)->setSelected(true);
    answers.menuChoice = "Remove";
    editor->OnExtensionListContextMenuRequested(list->visualItemRect(list->item(0)).center());
    QCOMPARE(answers.Take(), QStringList{"menu:Remove"});
    QCOMPARE(listed(), (QStringList{".ini", "mp3"}));
    QCOMPARE(d.GetType("excluded_download_extension")->ItemCount(), 2);
    editor->close();
    QTRY_VERIFY(!excludedExtensionsDialog);
    ui()->editExcludedExtensionsButton->click();
    QVERIFY(excludedExtensionsDialog && excludedExtensionsDialog != nullptr);

    // Colours: each click a new dialog; a chosen colour is stored on saving.
    ColorSelectionDialog::SetChooser([](QWidget*, const QColor&) { return QColor(255, 10, 71); });
    ui()->selectColorsButton->click();
    ui()->selectColorsButton->click();
    QCOMPARE(Open<ColorSelectionDialog>(m_window.get()).size(), 2);
    ColorSelectionDialog* colours = Open<ColorSelectionDialog>(m_window.get()).last();
    colours->Form()->chatUsernameButton->click();
    QCOMPARE(GetSetting("color_chat_username"), QString("#0033ff"));
    colours->Form()->saveColorsButton->click();
    QCOMPARE(GetSetting("color_chat_username"), QString("#ff0a47"));
    ColorSelectionDialog::SetChooser(nullptr);
}

// A port another program holds is named on the status line and in the log,
// and the Login page does not show it as open.
void TestCommands::closedListeningPort() {
    // Both ports held: the obfuscated one is the next, and a port left free
    // could be taken by any other test of the run.
    QTcpServer holder, next;
    for (int tries = 0; tries < 50 && !next.isListening(); ++tries) {
        holder.close();
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        next.listen(QHostAddress::Any, holder.serverPort() + 1);
    }
    QVERIFY(next.isListening());
    const QString port = QString::number(holder.serverPort());
    const QString ports = port + " and " + QString::number(next.serverPort());
    // Set before the store loads: the first start seeds it from a stored file.
    Start();
    SetSetting("new_listening_port", port);
    SetSetting("show_diagnostics", "yes");
    m_window.reset();
    Start();
    QVERIFY(LoggedIn());
    const QString status = m_window->statusBar()->currentMessage();
    const QString cause =
        "Could not open listening ports " + ports + ": another program may hold them.";
    QCOMPARE(status, cause + " See Options, Login.");
    QLabel* label = ui()->obfuscatedPortLabel;
    QCOMPARE(label->text(), cause + "\nChoose another port with Change Listening Port.");
    QVERIFY(diagnosticsForm->Lines().join('\n').contains(status));
    // Both read whole at the default size.
    ui()->tabControl->setCurrentWidget(ui()->optionsTab);
    ui()->optionsTabControl->setCurrentWidget(ui()->loginOptionsTab);
    QTRY_VERIFY(label->isVisible());
    QStatusBar* bar = m_window->statusBar();
    QVERIFY2(bar->fontMetrics().horizontalAdvance(status) + 24 <= bar->width(),
             qPrintable(QString("%1 of %2 px")
                            .arg(bar->fontMetrics().horizontalAdvance(status))
                            .arg(bar->width())));
    for (const QString& line : label->text().split('\n'))
        QVERIFY2(label->fontMetrics().horizontalAdvance(line) <= label->contentsRect().width(),
                 qPrintable(line));
    QVERIFY(label->visibleRegion().boundingRect().size() == label->size());
}

// Server notices, the unwired slots, the import, the tray and the colours'
// defaults.
void TestCommands::windowsAndAlerts() {
    Answers answers;
    Start();
    m_window->OnAdminMessage("<b>maintenance</b>");
    m_window->OnAdminMessage("back");
    const auto notices = Open<AdminMessageDialog>(m_window.get());
    QCOMPARE(notices.size(), 2);
    for (AdminMessageDialog* notice : notices)
        QVERIFY(notice->windowFlags() & Qt::WindowStaysOnTopHint);

    m_window->OnPrivateChat("dave", "hello", 0, true);
    bool chatting = false;
    for (ChatForm* chat : chatsForm->findChildren<ChatForm*>())
        chatting = chatting || chat->User() == "dave";
    QVERIFY(chatting);

    m_window->OnDataShortcutActivated();
    DataDialog* viewer = dataDialog;
    QVERIFY(viewer && viewer->isVisible());
    m_window->OnDataShortcutActivated();
    QCOMPARE(dataDialog, viewer);
    QVERIFY(LoggedIn());
    m_window->OnChangeUsernamePasswordClicked();  // whatever the state
    QCOMPARE(Open<ChangeUsernamePasswordDialog>(m_window.get()).size(), 1);
    m_window->OnDisconnectClicked();
    QTRY_VERIFY(!m_server.IsLoggedIn("alice"));

    // The import: explained, asked, reported; a cancelled chooser ends it.
    const QString title = "box:Importing user list from original Tavenook client";
    answers.files = QStringList{"", m_home.filePath("missing/quorlet.cfg")};
    ui()->importUserListButton->click();
    QCOMPARE(answers.Take(), (QStringList{title, "choose:Find User List Configuration File"}));
    ui()->importUserListButton->click();
    QCOMPARE(answers.Take(),
             (QStringList{title, "choose:Find User List Configuration File", title}));
    QVERIFY(answers.texts.last().startsWith(
        "Import could not be completed successfully.\nThe file cannot be opened ("));
    // Random bytes are no user list, and a list failing halfway adds nobody;
    // a failure says why, a success how many it added.
    QRandomGenerator random(9);
    QByteArray noise(4096, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const QString file = m_home.filePath("quorlet.cfg");
    const int users = d.GetType("user")->ItemCount();
    for (const QByteArray& bytes :
         {noise, QByteArray(noise).replace('\0', ""), "zoe\nyan\n" + QByteArray(2000, 'q'),
          QByteArray("alice\nmallory\r\nnina\n"), QByteArray("nina\npete\n"),
          QByteArray("nina\n")}) {
        QFile list(file);
        QVERIFY(list.open(QIODevice::WriteOnly) && list.write(bytes) == bytes.size());
        list.close();
        answers.files = QStringList{file};
        ui()->importUserListButton->click();
    }
    // A list is marked from the event loop: its report comes at the end.
    const auto imports = [&answers] {
        return answers.texts.filter(QRegularExpression("^Import ")).mid(1);
    };
    QTRY_COMPARE(imports().size(), 6);
    QStringList reports = imports();
    for (int k = 0; k < 2; ++k)
        QVERIFY2(QRegularExpression("^Import could not be completed successfully\\.\nLine \\d+ ")
                     .match(reports.takeFirst())
                     .hasMatch(),
                 qPrintable(answers.texts.join('|')));
    QCOMPARE(reports, (QStringList{"Import could not be completed successfully.\nLine 3 is longer "
                                   "than 1024 bytes.",
                                   "Import successful. 3 users added to your user list.",
                                   "Import successful. 1 user added to your user list.",
                                   "Import successful. 0 users added to your user list."}));
    QCOMPARE(d.GetType("user")->ItemCount(), users + 4);

    // No tray here: alerts and tray options do nothing and say so once.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        SetSetting("show_diagnostics", "yes");
        const auto said = [] { return diagnosticsForm->Lines().filter("No system tray").size(); };
        m_window->PopupAlert("one");
        const int once = said();
        QVERIFY(once > 0);
        m_window->PopupAlert("two");
        ui()->minimizeToTrayCheckBox->click();
        QCOMPARE(said(), once);
        // Said again for the view if it was first said while the views were
        // off (the record then holds it twice); the view has it once.
        diagnosticsForm->ShowPendingLines();
        QCOMPARE(diagnosticsForm->AreaView("Application")->toPlainText().count("No system tray"),
                 1);
    }
    m_window->showMinimized();
    m_window->OnTrayIconActivated(QSystemTrayIcon::DoubleClick);
    QVERIFY(m_window->isMinimized());
    m_window->OnTrayIconActivated(QSystemTrayIcon::Trigger);
    QTRY_VERIFY(!m_window->isMinimized() && m_window->isVisible());

    // Colours: reset and save store the defaults; closing stores nothing.
    ColorSelectionDialog::SetChooser([](QWidget*, const QColor&) { return QColor(0, 100, 0); });
    ui()->selectColorsButton->click();
    auto* colours = Open<ColorSelectionDialog>(m_window.get()).last();
    colours->Form()->windowBackgroundButton->click();
    colours->Form()->transferOtherButton->click();
    colours->close();
    QVERIFY(GetSetting("color_transfer_other") == "#000000");
    ui()->selectColorsButton->click();
    colours = Open<ColorSelectionDialog>(m_window.get()).last();
    colours->Form()->windowBackgroundButton->click();
    colours->Form()->transferOtherButton->click();
    colours->Form()->saveColorsButton->click();
    QCOMPARE(GetSetting("color_window_background"), QString("#006400"));
    QCOMPARE(GetSetting("color_transfer_other"), QString("#006400"));
    QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(0, 100, 0));
    ui()->selectColorsButton->click();
    colours = Open<ColorSelectionDialog>(m_window.get()).last();
    colours->Form()->resetToDefaultsButton->click();
    colours->Form()->saveColorsButton->click();
    QCOMPARE(GetSetting("color_window_background"), defaultPalette.color(QPalette::Window).name());
    QCOMPARE(GetSetting("color_transfer_other"), QString("#000000"));
    ColorSelectionDialog::SetChooser(nullptr);

    // Only a web link is handed to the desktop; the program ends either way.
    m_window->OnNewVersion(20150101, "file:///etc/passwd", {"x"});
    Open<NewVersionDialog>(m_window.get()).last()->Form()->downloadButton->click();
    QVERIFY(m_opened.isEmpty());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(m_quits, 1);
}

namespace {
// Logged in, with a note saved and another user's note editor still open,
// "Download" is answered to a newer release; the exit status is the
// program's.
int DownloadWithNoteOpen() {
    qputenv("TAVENOOK_USERNAME", "carl");
    qputenv("TAVENOOK_PASSWORD", "pw");
    int code = 1;
    {
        auto window = StartMainWindow(Clocks::Running);
        const auto download = [&window] {
            UserNoteDialog* first = UserNoteDialog::GetDialog("bob");
            first->NoteEdit()->setPlainText("noted just before the download");
            first->OnSaveNote();
            UserNoteDialog::GetDialog("dora")->show();
            // Not a web link, so no browser is started.
            window->OnNewVersion(20150101, "ftp://127.0.0.1:9/get", {});
            window->findChildren<NewVersionDialog*>().last()->Form()->downloadButton->click();
        };
        if (gp_server->IsConnected())
            download();
        else
            QObject::connect(gp_server, &Server::Connected, window.get(), download);
        code = QApplication::exec();
    }
    return code;
}
}  // namespace

// A quit while a long list is being marked saves the whole list, and
// reports to nobody.
// Every save holds all of an import or none of it: the quit's, and the
// hourly one, read back as a crash right after it would leave it.
void TestCommands::saveDuringImport_data() {
    QTest::addColumn<bool>("hourly");
    QTest::newRow("quit") << false;
    QTest::newRow("hourly save, then a crash") << true;
}

void TestCommands::saveDuringImport() {
    QFETCH(bool, hourly);
    Answers answers;
    Start();
    constexpr int kNames = 50000;
    const QString file = m_home.filePath("quorlet.cfg");
    QFile list(file);
    QVERIFY(list.open(QIODevice::WriteOnly));
    for (int i = 0; i < kNames; ++i)
        list.write("friend" + QByteArray::number(i) + "\n");
    list.close();
    answers.files = QStringList{file};
    ui()->importUserListButton->click();
    Type* listed = d.GetType("in_user_list");
    QTRY_VERIFY(listed->ItemCount() > 0);
    QVERIFY(listed->ItemCount() < kNames);
    const QString prefix = m_home.filePath(".Tavenook");
    QStringList saved;
    if (hourly) {
        const QStringList before = DataSaver::StoreFiles(prefix);
        QVERIFY(QMetaObject::invokeMethod(&timerManager->everyHour, "timeout"));
        QTRY_VERIFY(DataSaver::StoreFiles(prefix) != before);
        saved = DataSaver::StoreFiles(prefix);
        QTRY_COMPARE(answers.texts.filter(QRegularExpression("^Import successful")).size(), 1);
    }
    m_window.reset();
    if (hourly) {
        for (const QString& later : DataSaver::StoreFiles(prefix))
            QVERIFY(saved.contains(later) || QFile::remove(later));
    } else {
        QCOMPARE(answers.texts.filter(QRegularExpression("^Import ")), QStringList());
    }
    Start();
    QCOMPARE(d.GetType("in_user_list")->ItemCount(), kNames);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 2 && QByteArray(argv[1]) == "--download-with-note-open")
        return DownloadWithNoteOpen();
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestCommands test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_commands.moc"
