#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <cstdio>
#include <memory>

#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/TestServer.h"
#include "ui_AddSharedFolderDialog.h"
#include "ui_ChangeListeningPortDialog.h"
#include "ui_ChangeUsernamePasswordDialog.h"
#include "ui_mainwindow.h"
#include "views/chat/RoomsForm.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/shares/ChangeListeningPortDialog.h"
#include "views/shares/ChangeUsernamePasswordDialog.h"
#include "views/shares/DiagnosticsForm.h"

namespace {
// The questions the program asked, answered as the test says.
struct Prompts {
    QStringList asked;
    bool shareFolder = false;
    std::function<void(QDialog*)> onDialog = [](QDialog* dialog) { dialog->reject(); };
    Prompts() {
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            asked << box.title;
            return box.question && shareFolder ? QMessageBox::Yes : QMessageBox::No;
        });
        prompts::SetDialogHandler([this](QDialog* dialog) {
            asked << dialog->windowTitle();
            onDialog(dialog);
            return dialog->result();
        });
    }
    ~Prompts() {
        prompts::SetBoxHandler(nullptr);
        prompts::SetDialogHandler(nullptr);
    }
};

// Qt's own messages, kept while it lives.
struct CapturedMessages {
    static QStringList& Lines() {
        static QStringList lines;
        return lines;
    }
    QtMessageHandler previous;
    CapturedMessages() {
        Lines().clear();
        previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { Lines() << text; });
    }
    ~CapturedMessages() { qInstallMessageHandler(previous); }
    QString Text() const { return Lines().join('\n'); }
};

QStringList StoreFiles() {
    return DataSaver::StoreFiles(MainWindow::StorePath());
}
}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    TestServer m_server;
    std::unique_ptr<MainWindow> m_window;

    Ui_MainWindow* ui() { return m_window->Form(); }

    // One client per process: the store and the shutdown flag start afresh.
    void Start() {
        d.Reset();
        g_showIsOver = false;
        m_window.reset(new MainWindow);
        m_window->show();
        m_window->Init();
        for (QTimer* t : {&timerManager->everyHalfMinute, &timerManager->everyFiveMinutes,
                          &timerManager->everyHour})
            t->stop();
    }
    void Stop() { m_window.reset(); }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
    }

    void cleanup() {
        Stop();
        for (const QString& file :
             QDir(m_home.path()).entryList({".Tavenook*"}, QDir::Hidden | QDir::Files))
            QFile::remove(m_home.filePath(file));
    }

    // The widget tree as the form builds it, before any service exists.
    void layout() {
        d.Reset();
        CapturedMessages wiring;
        MainWindow window;
        auto form = window.Form();
        const auto tabs = [](QTabWidget* tabs) {
            QStringList out;
            for (int i = 0; i < tabs->count(); ++i)
                out << tabs->widget(i)->objectName() + "=" + tabs->tabText(i);
            return out;
        };
        QCOMPARE(tabs(form->tabControl),
                 QStringList({"transfersTab=Transfers", "roomsTab=Rooms", "chatTab=Chat",
                              "searchTab=Search", "tab_2=Users", "sharesTab=Browse",
                              "optionsTab=Options"}));
        QCOMPARE(tabs(form->optionsTabControl),
                 QStringList({"loginOptionsTab=Login", "fileSharingOptionsTab=File Sharing",
                              "tab=UI", "tab_3=General", "tab_4=User Info",
                              "tab_5=Notification Sounds", "extrasTab=Extras"}));
        QCOMPARE(form->tabControl->currentIndex(), 1);
        QCOMPARE(form->optionsTabControl->currentIndex(), 0);
        QCOMPARE(form->optionsTabControl->tabShape(), QTabWidget::Triangular);

        const std::pair<const char*, const char*> classes[] = {
            {"tabControl", "TabWidget"},
            {"optionsTabControl", "TabWidget"},
            {"mainToolBar", "ActionSetToolBar"},
            {"transfersForm", "TransfersForm"},
            {"roomsForm", "RoomsForm"},
            {"chatsForm", "ChatsForm"},
            {"searchForm", "SearchForm"},
            {"userListForm", "UserListForm"},
            {"sharesForm", "SharesForm"},
            {"sharedFoldersList", "QTreeWidget"},
            {"userDescriptionEdit", "QPlainTextEdit"},
            {"maxUploadsPerUserSpinBox", "QSpinBox"}};
        for (const auto& [name, cls] : classes) {
            QObject* object = window.findChild<QObject*>(name);
            QVERIFY2(object && object->inherits(cls), name);
        }
        const std::pair<const char*, const char*> parents[] = {
            {"transfersForm", "transfersTab"},
            {"roomsForm", "roomsTab"},
            {"chatsForm", "chatTab"},
            {"searchForm", "searchTab"},
            {"userListForm", "tab_2"},
            {"sharesForm", "sharesTab"},
            {"importUserListButton", "extrasTab"}};
        for (const auto& [child, parent] : parents)
            QCOMPARE(window.findChild<QWidget*>(child)->parentWidget()->objectName(),
                     QString(parent));
        QCOMPARE(window.findChild<QWidget*>("importUserListButton")->geometry(),
                 QRect(10, 30, 290, 52));

        const std::pair<const char*, const char*> texts[] = {
            {"label_2", "Username"},
            {"label_4", "Listening port"},
            {"checkPortsButton", "Check Ports"},
            {"obfuscatedPortLabel", "Obfuscated port is..."},
            {"uPnPCheckBox", "use UPnP"},
            {"label_3", "Download Folder"},
            {"label", "Shared Folders"},
            {"label_6", "Maximum number of queued uploads per user"},
            {"acceptUserListUploadsCheckBox", "Accept uploads from all user list users"},
            {"emptyShareWarningCheckBox",
             "Send warning message to downloading users with empty shares"},
            {"saveEmptyShareWarningMessageButton", "Save"},
            {"label_8", "Filename extensions excluded from folder downloads:"},
            {"editExcludedExtensionsButton", "Edit"},
            {"dontDownloadSingleFilesIntoSubfolders",
             "Don't create subfolders for single downloads"},
            {"dontSplitDownloadsCheckBox",
             "Don't put downloads in Downloading and Complete folders"},
            {"minimizeToTrayCheckBox", "Minimize to tray [Windows only]"},
            {"useOldStyleSearchResultsCheckBox", "Use old-style search results"},
            {"autoExpandSharesCheckBox", "Auto-expand newly browsed shares"},
            {"label_13", "First open tab when starting:"},
            {"label_5", "Chat timestamps:"},
            {"showAwayStatusCheckBox", "Show Away status in application icon"},
            {"openGroupsOnUserAddCheckBox", "Open groups dialog when a user is added to the list"},
            {"showDiagnosticsCheckBox", "Show diagnostics"},
            {"showEventButtonsCheckBox", "Show event buttons"},
            {"selectColorsButton", "Select Application Colors"},
            {"selectApplicationFontButton", "Select Application Font"},
            {"defaultFontButton", "Default Font"},
            {"logRoomChatCheckBox", "Log room chat"},
            {"logPrivateChatCheckBox", "Log private chat"},
            {"label_7", "Code Page to use to translate non-Unicode characters "},
            {"userLevelLoggingCheckBox",
             "Enable user-level logging (only for special debugging purposes)"},
            {"clearSearchHistoryButton", "Clear Search History"},
            {"selectPictureButton", "Select Picture"},
            {"clearPictureButton", "Clear"},
            {"label_9", "Default Sound:"},
            {"label_17", "Room Chat:"},
            {"label_16", "User Info:"},
            {"userInfoSoundSelectFileButton", "Select File"},
            {"importUserListButton", "Import User List from original Tavenook client"}};
        for (const auto& [name, text] : texts) {
            QObject* object = window.findChild<QObject*>(name);
            QVERIFY2(object, name);
            QCOMPARE(object->property("text").toString(), QString(text));
        }
        const char* readOnly[] = {
            "usernameEdit",           "listeningPortEdit",       "downloadFolderEdit",
            "excludedExtensionsEdit", "userPictureFilenameEdit", "defaultSoundEdit",
            "privateChatSoundEdit",   "roomChatSoundEdit",       "wishlistResultsSoundEdit",
            "shareBrowseSoundEdit",   "downloadAlertSoundEdit",  "userOnlineAlertSoundEdit",
            "userInfoSoundEdit"};
        for (const char* name : readOnly)
            QVERIFY2(window.findChild<QLineEdit*>(name)->isReadOnly(), name);
        QVERIFY(!form->emptyShareWarningEdit->isReadOnly());
        const std::pair<const char*, int> widths[] = {{"usernameEdit", 200},
                                                      {"listeningPortEdit", 100},
                                                      {"checkPortsButton", 100},
                                                      {"firstOpenTabBox", 100},
                                                      {"codePageBox", 150}};
        for (const auto& [name, width] : widths) {
            QWidget* widget = window.findChild<QWidget*>(name);
            QCOMPARE(widget->minimumWidth(), width);
            QCOMPARE(widget->maximumWidth(), width);
            QCOMPARE(widget->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        }
        QCOMPARE(form->downloadFolderEdit->maximumWidth(), 500);
        QCOMPARE(form->maxUploadsPerUserSpinBox->maximum(), 99999);
        QVERIFY(!form->saveEmptyShareWarningMessageButton->isEnabled());
        QCOMPARE(form->sharedFoldersList->headerItem()->text(1), QString("Accessible to"));
        QCOMPARE(form->sharedFoldersList->columnWidth(0), 400);
        form->retranslateUi(&window);
        const auto items = [](QComboBox* box) {
            QStringList out;
            for (int i = 0; i < box->count(); ++i)
                out << box->itemText(i);
            return out;
        };
        QCOMPARE(items(form->firstOpenTabBox),
                 QStringList({"Transfers", "Rooms", "Search", "Users"}));
        QCOMPARE(items(form->chatTimestampsBox),
                 QStringList({"Activity based", "Per message (short)", "Per message (long)",
                              "No timestamps"}));
        QVERIFY(!form->mainToolBar->isMovable());
        QCOMPARE(form->mainToolBar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);

        // The form's ten connections, as the senders themselves report them.
        const std::pair<const char*, const char*> connections[] = {
            {"optionsTabControl", "OnOptionsTabSelectionChanged(int)"},
            {"uPnPCheckBox", "OnUPnPCheckboxToggled(bool)"},
            {"acceptUserListUploadsCheckBox", "OnAcceptUserlistUploadsCheckboxToggled(bool)"},
            {"selectPictureButton", "OnSelectPictureClicked()"},
            {"userDescriptionEdit", "OnUserInfoTextChanged()"},
            {"clearPictureButton", "OnClearPictureClicked()"},
            {"checkPortsButton", "OnCheckPortsClicked()"},
            {"userLevelLoggingCheckBox", "OnUserLevelLoggingClicked(bool)"},
            {"editExcludedExtensionsButton", "OnEditExcludedDownloadExtensionsClicked()"},
            {"importUserListButton", "OnImportUserListClicked()"}};
        QVERIFY2(!wiring.Text().contains("No such"), qPrintable(wiring.Text()));
        for (const auto& [sender, slot] : connections) {
            CapturedMessages::Lines().clear();
            window.findChild<QObject*>(sender)->dumpObjectInfo();
            QVERIFY2(wiring.Text().contains(QString("MainWindow %1").arg(slot)),
                     qPrintable(wiring.Text()));
        }
    }

    // A first start without a store: defaults, the first-run questions, a
    // login with the name entered, one store file at close, then logout.
    void firstStart() {
        Prompts answers;
        answers.shareFolder = true;
        answers.onDialog = [](QDialog* dialog) {
            if (auto* account = qobject_cast<ChangeUsernamePasswordDialog*>(dialog)) {
                account->Form()->usernameEdit->setText(" alice ");
                account->Form()->passwordEdit->setText("secret");
            }
            dialog->accept();
        };
        Start();
        QCOMPARE(answers.asked, QStringList({"Set Username/Password", "Share a folder?",
                                             "Add Shared Folder", "In the future"}));
        const std::pair<const char*, const char*> defaults[] = {
            {"minimize_to_tray", "yes"},
            {"expand_new_shares", "yes"},
            {"chat_timestamps", "activity_based"},
            {"first_open_tab", "rooms"},
            {"color_transfer_queued", "#3366ff"},
            {"color_transfer_failed", "#ff0a47"},
            {"color_chat_status", "#339933"},
            {"log_room_chat", "yes"},
            {"log_private_chat", "yes"},
            {"data_version", "1"},
            {"username", "alice"},
            {"password", "secret"}};
        for (const auto& [key, value] : defaults)
            QCOMPARE(GetSetting(key), QString(value));
        QCOMPARE(GetSetting("color_window_background"),
                 QApplication::palette().color(QPalette::Window).name());
        QCOMPARE(GetRuntimeSetting("default_application_font"), QApplication::font().toString());
        QCOMPARE(ui()->tabControl->currentIndex(), 1);
        QCOMPARE(ui()->tabControl->count(), 7);
        QCOMPARE(ui()->codePageBox->itemText(0), QString("[None]"));
        QVERIFY(diagnosticsForm->Lines().join('\n').contains("Data loaded successfully."));
        QTRY_VERIFY_WITH_TIMEOUT(m_server.IsLoggedIn("alice"), 60000);
        QCOMPARE(m_window->windowTitle(), QString("TavenookQt build 2013.2.26 [alice]"));
        QCOMPARE(ui()->usernameEdit->text(), QString("alice"));

        QVERIFY(StoreFiles().isEmpty());
        Stop();
        QCOMPARE(StoreFiles().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.IsLoggedIn("alice"), 60000);
        // The desktop's save request after shutdown began writes nothing.
        ShellSaveData();
        QCOMPARE(StoreFiles().size(), 1);
    }

    // What a session changed comes back at the next start; a stored colour
    // that is no colour and a code page that is gone are not applied.
    void restart() {
        qputenv("TAVENOOK_USERNAME", "bob");
        Start();
        const std::pair<const char*, const char*> stored[] = {
            {"first_open_tab", "search"},
            {"chat_timestamps", "per_message_long"},
            {"minimize_to_tray", "no"},
            {"log_room_chat", "no"},
            {"show_diagnostics", "yes"},
            {"extended_ascii_codepage", "No-Such-Codec"},
            {"color_window_text", "not a colour"},
            {"color_button_text", "#123456"}};
        for (const auto& [key, value] : stored)
            SetSetting(key, value);
        m_window->Proxy().SetSize(900, 700);
        emit m_window->Proxy().WindowResized(900, 700);
        RoomsForm* rooms = ui()->roomsForm;
        rooms->RoomList()->setColumnWidth(0, 222);
        rooms->Splitter()->setSizes({300, 200});
        emit rooms->Splitter()->splitterMoved(300, 1);  // as a drag of the handle ends
        const QList<int> panes = rooms->Splitter()->sizes();
        QVERIFY(panes.value(1) != RoomsForm::kListWidth);
        QVERIFY(m_window->isVisible());
        m_window->EveryHour();
        QCOMPARE(StoreFiles().size(), 1);
        g_showIsOver = true;  // shutdown begun: neither the hour nor the desktop saves
        m_window->EveryHour();
        ShellSaveData();
        QCOMPARE(StoreFiles().size(), 1);
        g_showIsOver = false;
        Stop();
        QCOMPARE(StoreFiles().size(), 2);

        Start();
        QCOMPARE(GetSetting("username"), QString("bob"));
        QCOMPARE(ui()->tabControl->currentIndex(), 3);
        QCOMPARE(ui()->firstOpenTabBox->currentIndex(), 2);
        QCOMPARE(ui()->chatTimestampsBox->currentIndex(), 2);
        QVERIFY(!ui()->minimizeToTrayCheckBox->isChecked());
        QVERIFY(!m_window->TrayIcon().isVisible());
        QVERIFY(!ui()->logRoomChatCheckBox->isChecked());
        QVERIFY(ui()->logPrivateChatCheckBox->isChecked());
        QCOMPARE(ui()->codePageBox->currentIndex(), 0);
        QCOMPARE(ui()->tabControl->tabText(ui()->tabControl->count() - 1), QString("Diagnostics"));
        QCOMPARE(QApplication::palette().color(QPalette::ButtonText), QColor("#123456"));
        QVERIFY(QColor(GetSetting("color_window_text")).isValid());
        QCOMPARE(QApplication::palette().color(QPalette::WindowText).name(),
                 GetSetting("color_window_text"));
        QCOMPARE(m_window->geometry().size(), QSize(900, 700));
        QCOMPARE(ui()->roomsForm->RoomList()->columnWidth(0), 222);
        QTRY_COMPARE(ui()->roomsForm->Splitter()->sizes().value(1), panes.value(1));
        QApplication::setPalette(defaultPalette);
        qunsetenv("TAVENOOK_USERNAME");
    }

    // An unreadable store is reported, the client starts from the defaults
    // and the unreadable bytes stay on disk.
    void unreadableStore() {
        const QByteArray junk = "not a store file at all";
        QFile file(MainWindow::StorePath() + ".1000");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(junk);
        file.close();
        Prompts answers;
        Start();
        QCOMPARE(answers.asked.first(), QString("Error loading configuration data"));
        QCOMPARE(GetSetting("minimize_to_tray"), QString("yes"));
        QCOMPARE(GetSetting("color_transfer_complete"), QString("#006400"));
        QVERIFY(QColor(GetSetting("color_window_background")).isValid());
        bool kept = false;
        for (const QString& name : QDir(m_home.path()).entryList(QDir::Hidden | QDir::Files)) {
            QFile candidate(m_home.filePath(name));
            kept = kept || (candidate.open(QIODevice::ReadOnly) && candidate.readAll() == junk);
        }
        QVERIFY(kept);
    }

    // A save that cannot be written is logged; the one at exit also reaches
    // standard error, since nobody reads the log any more.
    void failedSave() {
        qputenv("TAVENOOK_USERNAME", "dave");
        Start();
        qunsetenv("TAVENOOK_USERNAME");
        dataSaver->LimitFolderSpace(1);
        m_window->EveryHour();
        QVERIFY(diagnosticsForm->Lines().join('\n').contains("Failure to save configuration data"));
        QTemporaryFile errors;
        QVERIFY(errors.open());
        std::fflush(stderr);
        const int console = dup(2);
        dup2(errors.handle(), 2);
        Stop();
        std::fflush(stderr);
        dup2(console, 2);
        close(console);
        QVERIFY(StoreFiles().isEmpty());
        QVERIFY(errors.seek(0));
        QVERIFY(errors.readAll().contains("Failure to save configuration data"));
    }

    // The port dialog: 1 to 65534 (the obfuscated port is one above), and
    // the port in use again drops a pending change.
    void portDialog_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("pending");
        QTest::newRow("top") << "65534"
                             << "Change to Listening Port Pending"
                             << "65534";
        QTest::newRow("obfuscated would overflow") << "65535"
                                                   << "Invalid Port Number"
                                                   << "4000";
        QTest::newRow("above 16 bits") << "99999"
                                       << "Invalid Port Number"
                                       << "4000";
        QTest::newRow("mask keeps out letters") << "abc"
                                                << "Invalid Port Number"
                                                << "4000";
        QTest::newRow("leading zero") << "0"
                                      << "Invalid Port Number"
                                      << "4000";
        QTest::newRow("port in use") << "2234"
                                     << "Port Number Not Changed"
                                     << "";
    }
    void portDialog() {
        QFETCH(QString, typed);
        d.Reset();
        DeclareSettingsTypes(nullptr);
        SetSetting("listening_port", 2234);
        SetSetting("new_listening_port", 4000);
        Prompts answers;
        QPointer<ChangeListeningPortDialog> dialog = new ChangeListeningPortDialog(nullptr);
        QCOMPARE(dialog->Form()->portEdit->text(), QString("2234"));
        dialog->Form()->portEdit->setText(typed);
        dialog->accept();
        QTEST(answers.asked.value(0), "box");
        QTEST(GetSetting("new_listening_port"), "pending");
        QCOMPARE(GetSetting("listening_port"), QString("2234"));
        delete dialog.data();
    }

    // The account dialog stores trimmed texts and refuses blanks.
    void accountDialog() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        SetSetting("username", "old");
        ChangeUsernamePasswordDialog dialog(false, nullptr);
        QCOMPARE(dialog.windowTitle(), QString("Change Username/Password"));
        dialog.Form()->usernameEdit->setText("   ");
        dialog.Form()->passwordEdit->setText("pw");
        dialog.accept();
        QCOMPARE(GetSetting("username"), QString("old"));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        dialog.Form()->usernameEdit->setText("  new name ");
        dialog.Form()->passwordEdit->setText(" pw ");
        dialog.accept();
        QCOMPARE(GetSetting("username"), QString("new name"));
        QCOMPARE(GetSetting("password"), QString("pw"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    // Who may see a shared folder, as the share dialog sets it; and the
    // rescan report.
    void sharedFolderDialog() {
        qputenv("TAVENOOK_USERNAME", "carol");
        Start();
        qunsetenv("TAVENOOK_USERNAME");
        const ItemPtr folder = d.GetType("shared_folder")->NewItem(m_home.path());
        const ItemPtr friends = d.GetType("user_list_group")->GetItem("friends");
        d.GetType("user_list_group")->GetItem("family");
        folder.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        folder.Connect(friends);
        auto* dialog = new AddSharedFolderDialog(folder, m_window.get());
        auto* form = dialog->Form();
        QVERIFY(form->everyoneCheckBox->isChecked() && form->userListCheckBox->isChecked());
        QVERIFY(!form->userListCheckBox->isEnabled() && !form->groupsListWidget->isEnabled());
        QVERIFY(!form->selectFolderButton->isEnabled());
        QCOMPARE(form->groupsListWidget->item(0)->text(), QString("family"));
        QCOMPARE(form->groupsListWidget->item(1)->checkState(), Qt::Checked);
        form->everyoneCheckBox->setChecked(false);
        QVERIFY(form->userListCheckBox->isEnabled() && !form->groupsListWidget->isEnabled());
        form->userListCheckBox->setChecked(false);
        QVERIFY(form->groupsListWidget->isEnabled());
        form->groupsListWidget->item(0)->setCheckState(Qt::Checked);
        form->groupsListWidget->item(1)->setCheckState(Qt::Unchecked);
        dialog->accept();
        QVERIFY(!folder.IsConnected("shared_public") && !folder.IsConnected("shared_userlist"));
        QVERIFY(!folder.IsConnected(friends));
        QVERIFY(folder.IsConnected(d.GetType("user_list_group")->GetItem("family")));

        m_window->OnSharedFilesRescanned(0, 0);
        auto* report = m_window->findChild<SharedFilesRescannedDialog*>();
        QVERIFY(report);
        QCOMPARE(report->windowTitle(), QString("Shared Files Rescanned"));
        QCOMPARE(report->Text(), QString("0 files added.\n0 files removed."));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
