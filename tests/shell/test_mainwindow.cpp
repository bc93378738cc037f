#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDirIterator>
#include <QMenu>
#include <QRegularExpression>
#include <QSplitter>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/server.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/DriverProcess.h"
#include "support/TestServer.h"
#include "support/WindowStart.h"
#include "transfers/TransferQueueManager.h"
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
// A login on loopback takes well under a second; this is the bound for a
// loaded machine.
constexpr int kLoginWait = 30000;

void Unexpected(const char* what, const QString& title) {
    QTest::qFail(qPrintable(QStringLiteral("unexpected %1 \"%2\"").arg(what, title)), __FILE__,
                 __LINE__);
}

// Outside a test's own answers every question fails the test and is
// dismissed: a modal loop that nobody ends would hold the run until its
// time-out.
void AnswerNothing() {
    prompts::SetBoxHandler([](QWidget*, const prompts::Box& box) {
        Unexpected("message box", box.title);
        return QMessageBox::No;
    });
    prompts::SetDialogHandler([](QDialog* dialog) {
        Unexpected("dialog", dialog->windowTitle());
        dialog->reject();
        return dialog->result();
    });
    const auto choose = [](QWidget*, const QString& caption) {
        Unexpected("chooser", caption);
        return QString();
    };
    prompts::SetChooseFolderHandler(choose);
    prompts::SetChooseSaveFileHandler(choose);
    prompts::SetChooseOpenFileHandler(choose);
    prompts::SetMenuHandler([](QMenu* menu, const QPoint&) {
        Unexpected("menu", menu->title());
        return static_cast<QAction*>(nullptr);
    });
}

// Whether the main window has painted since the start began.
bool g_mainPainted = false;
class PaintSpy : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && mainWindow) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget && widget->window() == mainWindow)
                g_mainPainted = true;
        }
        return QObject::eventFilter(watched, event);
    }
};

// A question's parent, and whether the main window was on screen, painted,
// when it came.
QString Over(QWidget* parent) {
    const bool onScreen = mainWindow && mainWindow->isVisible() && mainWindow->windowHandle() &&
                          mainWindow->windowHandle()->isExposed() && g_mainPainted;
    const QString from = parent == nullptr                             ? "no parent"
                         : parent == static_cast<QWidget*>(mainWindow) ? "main window"
                                                                       : "other parent";
    return from + (onScreen ? ", window painted" : ", no window");
}

// The questions the program asked, answered as the test says.
struct Prompts {
    QStringList asked;
    QStringList over;  // each question's Over()
    bool yes = false;
    std::function<void(QDialog*)> onDialog = [](QDialog* dialog) { dialog->reject(); };
    Prompts() {
        prompts::SetBoxHandler([this](QWidget* parent, const prompts::Box& box) {
            asked << box.title;
            over << Over(parent);
            return box.question && yes ? QMessageBox::Yes : QMessageBox::No;
        });
        prompts::SetDialogHandler([this](QDialog* dialog) {
            asked << dialog->windowTitle();
            over << Over(dialog->parentWidget());
            onDialog(dialog);
            return dialog->result();
        });
    }
    ~Prompts() { AnswerNothing(); }
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
    PaintSpy m_paintSpy;

    Ui_MainWindow* ui() { return m_window->Form(); }

    // One client per process: the store and the shutdown flag start afresh.
    // A user name in `user` answers the first-run questions.
    void Start(const char* user = nullptr) {
        qputenv("TAVENOOK_USERNAME", user ? user : "");
        g_mainPainted = false;
        m_window = StartMainWindow();
        qunsetenv("TAVENOOK_USERNAME");
    }
    void Stop() { m_window.reset(); }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        AnswerNothing();
        qApp->installEventFilter(&m_paintSpy);
    }

    void cleanupTestCase() {
        prompts::SetBoxHandler(nullptr);
        prompts::SetDialogHandler(nullptr);
        prompts::SetChooseFolderHandler(nullptr);
        prompts::SetChooseSaveFileHandler(nullptr);
        prompts::SetChooseOpenFileHandler(nullptr);
        prompts::SetMenuHandler(nullptr);
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
        QVERIFY(window.isDockNestingEnabled() && !window.windowIcon().isNull());

        // Class and parent of the widgets the main window reaches.
        const QStringList classes =
            QString(
                "tabControl TabWidget centralWidget,optionsTabControl TabWidget optionsTab,"
                "mainToolBar ActionSetToolBar MainWindow,transfersForm TransfersForm transfersTab,"
                "roomsForm RoomsForm roomsTab,chatsForm ChatsForm chatTab,searchForm SearchForm "
                "searchTab,userListForm UserListForm tab_2,sharesForm SharesForm sharesTab,"
                "sharedFoldersList QTreeWidget fileSharingOptionsTab,userDescriptionEdit "
                "QPlainTextEdit tab_4,importUserListButton QPushButton extrasTab")
                .split(',');
        for (const QString& row : classes) {
            const QStringList want = row.split(' ');
            QWidget* widget = window.findChild<QWidget*>(want[0]);
            QVERIFY2(widget && widget->inherits(qPrintable(want[1])), qPrintable(row));
            QCOMPARE(widget->parentWidget()->objectName(), want[2]);
        }
        QCOMPARE(form->importUserListButton->geometry(), QRect(10, 30, 290, 52));

        // Every label and button text of the option pages, in the pages' order.
        const auto texts = [](QWidget* page) {
            QStringList out;
            for (QWidget* widget : page->findChildren<QWidget*>()) {
                if (qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget))
                    out << widget->property("text").toString();
            }
            return out;
        };
        const QList<QStringList> pages = {
            {"Username", "Listening port", "Check Ports", "Obfuscated port is...", "use UPnP"},
            {"Download Folder", "", "Shared Folders", "Maximum number of queued uploads per user",
             "Accept uploads from all user list users",
             "Send warning message to downloading users with empty shares", "Save",
             "Filename extensions excluded from folder downloads:", "Edit",
             "Don't create subfolders for single downloads",
             "Don't put downloads in Downloading and Complete folders"},
            {"Minimize to tray [Windows only]", "Use old-style search results",
             "Auto-expand newly browsed shares", "First open tab when starting:",
             "Chat timestamps:", "Show Away status in application icon",
             "Open groups dialog when a user is added to the list", "Show diagnostics",
             "Show event buttons", "Select Application Colors", "Select Application Font",
             "Default Font"},
            {"Log room chat", "Log private chat",
             "Code Page to use to translate non-Unicode characters ",
             "Enable user-level logging (only for special debugging purposes)",
             "Clear Search History"},
            {"Select Picture", "Clear"},
            {"Default Sound:",     "Select File", "Clear",
             "Private Chat:",      "Select File", "Clear",
             "Room Chat:",         "Select File", "Clear",
             "Wishlist Results:",  "Select File", "Clear",
             "Browsed Share:",     "Select File", "Clear",
             "Download Alert:",    "Select File", "Clear",
             "User Online Alert:", "Select File", "Clear",
             "User Info:",         "Select File", "Clear"},
            {"Import User List from original Tavenook client"}};
        for (int i = 0; i < pages.size(); ++i)
            QCOMPARE(texts(form->optionsTabControl->widget(i)), pages[i]);
        // Values reach the option edits through dialogs; only the warning text is typed.
        for (QLineEdit* edit : form->optionsTabControl->findChildren<QLineEdit*>()) {
            if (!edit->objectName().startsWith("qt_"))  // not the spin box's own
                QVERIFY2(edit->isReadOnly() == (edit != form->emptyShareWarningEdit),
                         qPrintable(edit->objectName()));
        }
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

        // Every icon that the shell and the views name is in the resources.
        const QString sources = QString::fromUtf8(TAVENOOK_SOURCE_DIR);
        QVERIFY2(QFileInfo(sources + "/shell/mainwindow.cpp").isFile(), qPrintable(sources));
        QSet<QString> icons;
        for (const char* folder : {"shell", "views"}) {
            QDirIterator files(sources + "/" + folder, {"*.cpp", "*.h", "*.ui"}, QDir::Files,
                               QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QFile file(files.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                auto found = QRegularExpression(":/icons/\\w+").globalMatch(file.readAll());
                while (found.hasNext())
                    icons << found.next().captured();
            }
        }
        QVERIFY(icons.contains(":/icons/gold_star_icon") && icons.size() >= 10);
        for (const QString& icon : icons)
            QVERIFY2(!QIcon(icon).pixmap(16).isNull(), qPrintable(icon));

        // The form's ten connections: each is found, so it can be undone.
        const char* connections[][3] = {
            {"optionsTabControl", "currentChanged(int)", "OnOptionsTabSelectionChanged(int)"},
            {"uPnPCheckBox", "toggled(bool)", "OnUPnPCheckboxToggled(bool)"},
            {"acceptUserListUploadsCheckBox", "toggled(bool)",
             "OnAcceptUserlistUploadsCheckboxToggled(bool)"},
            {"selectPictureButton", "clicked()", "OnSelectPictureClicked()"},
            {"userDescriptionEdit", "textChanged()", "OnUserInfoTextChanged()"},
            {"clearPictureButton", "clicked()", "OnClearPictureClicked()"},
            {"checkPortsButton", "clicked()", "OnCheckPortsClicked()"},
            {"userLevelLoggingCheckBox", "clicked(bool)", "OnUserLevelLoggingClicked(bool)"},
            {"editExcludedExtensionsButton", "clicked()",
             "OnEditExcludedDownloadExtensionsClicked()"},
            {"importUserListButton", "clicked()", "OnImportUserListClicked()"}};
        for (const auto& [sender, signal, slot] : connections)
            QVERIFY2(QObject::disconnect(window.findChild<QObject*>(sender),
                                         QByteArray("2") + signal, &window, QByteArray("1") + slot),
                     sender);
    }

    // A first start without a store: the defaults, the first-run questions
    // (Yes to all, or No to all), a login only once a name was entered, one
    // store file at close, then the logout.
    void firstStart_data() {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }
    void firstStart() {
        QFETCH(bool, yes);
        Prompts answers;
        answers.yes = yes;
        answers.onDialog = [this, yes](QDialog* dialog) {
            if (auto* account = qobject_cast<ChangeUsernamePasswordDialog*>(dialog)) {
                account->Form()->usernameEdit->setText(" alice ");
                account->Form()->passwordEdit->setText("secret");
            } else if (auto* share = qobject_cast<AddSharedFolderDialog*>(dialog)) {
                share->accept();  // no folder chosen yet: OK does nothing
                QVERIFY(share->result() == QDialog::Rejected);
                share->Form()->selectedFolderEdit->setText(m_home.path());
            }
            yes ? dialog->accept() : dialog->reject();
        };
        Start();
        QStringList asked = {"Set Username/Password", "Share a folder?", "Add Shared Folder",
                             "In the future"};
        if (!yes)
            asked.removeAll("Add Shared Folder");
        QCOMPARE(answers.asked, asked);
        // Over the main window, on screen and painted; the share dialog is
        // its child, the others stand alone.
        QStringList over = {"no parent, window painted", "no parent, window painted",
                            "main window, window painted", "no parent, window painted"};
        if (!yes)
            over.removeAt(2);
        QCOMPARE(answers.over, over);
        const std::pair<const char*, const char*> defaults[] = {
            {"minimize_to_tray", "yes"},           {"expand_new_shares", "yes"},
            {"chat_timestamps", "activity_based"}, {"first_open_tab", "rooms"},
            {"color_transfer_queued", "#3366ff"},  {"color_transfer_failed", "#ff0a47"},
            {"color_chat_status", "#339933"},      {"log_room_chat", "yes"},
            {"log_private_chat", "yes"},           {"data_version", "1"}};
        for (const auto& [key, value] : defaults)
            QCOMPARE(GetSetting(key), QString(value));
        QCOMPARE(GetSetting("color_window_background"),
                 QApplication::palette().color(QPalette::Window).name());
        QCOMPARE(GetRuntimeSetting("default_application_font"), QApplication::font().toString());
        QCOMPARE(ui()->tabControl->currentIndex(), 1);
        QCOMPARE(ui()->tabControl->count(), 7);
        QCOMPARE(ui()->codePageBox->itemText(0), QString("[None]"));
        QVERIFY(diagnosticsForm->Lines().join('\n').contains("Data loaded successfully."));
        if (!yes) {  // no name, so no connection was even tried
            QVERIFY(!HasSetting("username") && !gp_server->IsConnecting());
            return;
        }
        QCOMPARE(GetSetting("password"), QString("secret"));
        const ItemPtr shared = d.GetType("shared_folder")->HasItem(m_home.path());
        QVERIFY(shared.IsConnected("shared_public") && !shared.IsConnected("shared_userlist"));
        QCOMPARE(d.GetType("shared_folder")->ItemCount(), 1);
        QTRY_VERIFY2_WITH_TIMEOUT(m_server.IsLoggedIn("alice"), "no login", kLoginWait);
        QCOMPARE(m_window->windowTitle(), QString("TavenookQt build 2013.2.26 [alice]"));
        QCOMPARE(ui()->usernameEdit->text(), QString("alice"));
        QVERIFY(StoreFiles().isEmpty());
        Stop();
        QCOMPARE(StoreFiles().size(), 1);
        QTRY_VERIFY2_WITH_TIMEOUT(!m_server.IsLoggedIn("alice"), "no logout", kLoginWait);
    }

    // What a session changed comes back at the next start; a stored colour
    // that is no colour and a code page that is gone are not applied.
    void restart() {
        Start("bob");
        const std::pair<const char*, const char*> stored[] = {
            {"first_open_tab", "search"},         {"chat_timestamps", "per_message_long"},
            {"minimize_to_tray", "no"},           {"log_room_chat", "no"},
            {"show_diagnostics", "yes"},          {"data_version", "7"},
            {"color_button_text", "#123456"},     {"extended_ascii_codepage", "No-Such-Codec"},
            {"color_window_text", "not a colour"}};
        for (const auto& [key, value] : stored)
            SetSetting(key, value);
        const QSize size = m_window->size() + QSize(40, 30);  // above any minimum the pages set
        m_window->Proxy().SetSize(size.width(), size.height());
        emit m_window->Proxy().WindowResized(size.width(), size.height());
        RoomsForm* rooms = ui()->roomsForm;
        rooms->RoomList()->setColumnWidth(0, 222);
        rooms->Splitter()->setSizes({300, 200});
        emit rooms->Splitter()->splitterMoved(300, 1);  // as a drag of the handle ends
        const QList<int> panes = rooms->Splitter()->sizes();
        QVERIFY(panes.value(1) != RoomsForm::kListWidth);
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
        QCOMPARE(GetSetting("data_version"), QString("1"));
        QCOMPARE(ui()->tabControl->currentIndex(), 3);
        QCOMPARE(ui()->firstOpenTabBox->currentIndex(), 2);
        QCOMPARE(ui()->chatTimestampsBox->currentIndex(), 2);
        QVERIFY(!ui()->minimizeToTrayCheckBox->isChecked() && !m_window->TrayIcon().isVisible());
        QVERIFY(!ui()->logRoomChatCheckBox->isChecked() &&
                ui()->logPrivateChatCheckBox->isChecked());
        QCOMPARE(ui()->codePageBox->currentIndex(), 0);
        QCOMPARE(ui()->tabControl->tabText(ui()->tabControl->count() - 1), QString("Diagnostics"));
        QCOMPARE(QApplication::palette().color(QPalette::ButtonText), QColor("#123456"));
        QCOMPARE(QApplication::palette().color(QPalette::WindowText).name(),
                 GetSetting("color_window_text"));
        QCOMPARE(m_window->geometry().size(), size);
        QCOMPARE(ui()->roomsForm->RoomList()->columnWidth(0), 222);
        // The panes as the page shows them.
        ui()->tabControl->setCurrentWidget(ui()->roomsForm->parentWidget());
        QTRY_COMPARE_WITH_TIMEOUT(ui()->roomsForm->Splitter()->sizes().value(1), panes.value(1),
                                  5000);
        QApplication::setPalette(defaultPalette);
    }

    // A folder download quit while most of its files wait for their turn
    // comes back whole; the hourly save waits for them rather than freeze
    // the window adding them at once.
    void folderWaitingAtQuit() {
        Start("erin");
        std::vector<TransferQueueManager::DownloadRequest> folder(5000, {"carl", "", "F", 1});
        for (std::size_t i = 0; i < folder.size(); ++i)
            folder[i].file = std::to_string(i);
        transferQueueManager->AddDownloads(std::move(folder));
        m_window->EveryHour();
        QVERIFY(StoreFiles().isEmpty() && transferQueueManager->DownloadsToAdd() > 0);
        Stop();
        Start();
        QCOMPARE(d.GetType("download_entry")->ItemCount(), 5000);
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
        QCOMPARE(answers.over.first(), QString("main window, window painted"));
        QCOMPARE(GetSetting("minimize_to_tray"), QString("yes"));
        QCOMPARE(GetSetting("color_transfer_complete"), QString("#006400"));
        QVERIFY(QColor(GetSetting("color_window_background")).isValid());
        QFile kept(file.fileName() + ".unreadable");  // set aside, never pruned
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == junk);
    }

    // What the store's load logs reaches the diagnostics view, which the
    // loaded settings show, as the lines after it do; the defaults in force
    // while it loads do not decide.
    void loadLinesShown() {
        Start("erin");
        SetSetting("show_diagnostics", "yes");
        Type* scratch = d.NewType("scratch_widget", PrimacyRoot, false, true);
        scratch->GetItem("a");
        scratch->GetItem("b");
        const QString dump = m_home.filePath("dump");
        QVERIFY(dataSaver->SaveAll(dump));
        Stop();
        cleanup();
        QVERIFY(QFile::rename(dump, MainWindow::StorePath() + ".1"));
        Start();
        QVERIFY(ui()->tabControl->indexOf(diagnosticsForm) >= 0);
        diagnosticsForm->ShowPendingLines();
        QPlainTextEdit* view = diagnosticsForm->AreaView("Configuration Data");
        QVERIFY(view);
        QStringList shown = view->toPlainText().split('\n');
        for (QString& line : shown)
            line = line.section("] ", 1);
        const int loading =
            shown.indexOf("Loading configuration data from " + MainWindow::StorePath());
        const int dropped =
            shown.indexOf("Dropped 2 stored items of type scratch_widget, which no save holds");
        const int loaded = shown.indexOf("Data loaded successfully.");
        QVERIFY2(loading >= 0 && loading < dropped && dropped < loaded,
                 qPrintable(shown.join('\n')));
        QCOMPARE(shown.count("Data loaded successfully."), 1);
    }

    // A save that cannot be written is logged; the one at exit also reaches
    // standard error, since nobody reads the log any more.
    void failedSave() {
        Start("dave");
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
        QVERIFY(errors.seek(0) && errors.readAll().contains("Failure to save configuration data"));
    }

    // A save at exit that the disk refuses (here past a file size limit, as
    // on a full disk) is no success: the window's program and the headless
    // one end with status 1 and say why in the system's words from the first
    // failure on. With room, both end with 0 and leave a store.
    void failedSaveAtExit_data() {
        QTest::addColumn<bool>("headless");
        QTest::addColumn<bool>("limited");
        QTest::newRow("window, no room") << false << true;
        QTest::newRow("window, room") << false << false;
        QTest::newRow("headless, no room") << true << true;
        QTest::newRow("headless, room") << true << false;
    }
    void failedSaveAtExit() {
#ifndef TAVENOOK_CLIENT
        QSKIP("the program is not built");
#else
        QFETCH(bool, headless);
        QFETCH(bool, limited);
        QTemporaryDir home;
        const auto setup = [limited] {
            if (!limited)
                return;
            // Past the limit a write fails with EFBIG instead of ending the program.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 512;  // below any store file's size
            setrlimit(RLIMIT_FSIZE, &limit);
        };
        const QString user = QString("exiting%1%2").arg(int(headless)).arg(int(limited));
        QString said;
        int code = -1;
        QStringList stores;
        if (headless) {
            DriverProcess client(TAVENOOK_DRIVER, home.filePath("driver.log"));
            client.SetChildSetup(setup);
            QVERIFY2(client.Start({"--home", home.path(), "--user", user, "--server",
                                   m_server.Address(), "--port", "0"}),
                     client.LogTail().constData());
            client.Send("quit");
            said = client
                       .WaitFor("error", 60000,
                                [](const QStringList& f) {
                                    return f.value(1).startsWith("Failure to save");
                                })
                       .join('\t');
            code = client.ExitCode();
            stores = DataSaver::StoreFiles(home.filePath(".tavenook/store"));
        } else {
            SetUpProcess client;
            client.setup = setup;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", home.path());
            env.insert("TAVENOOK_USERNAME", user);
            env.insert("TAVENOOK_PASSWORD", "pw");
            env.insert("ASAN_OPTIONS", "detect_leaks=0");
            client.setProcessEnvironment(env);
            client.start(TAVENOOK_CLIENT, QStringList());
            QTRY_VERIFY_WITH_TIMEOUT(m_server.IsLoggedIn(user), kLoginWait);
            client.terminate();
            QVERIFY(client.waitForFinished(60000));
            if (client.exitStatus() == QProcess::NormalExit)
                code = client.exitCode();
            said = QString::fromLocal8Bit(client.readAllStandardError());
            stores = DataSaver::StoreFiles(home.filePath(".Tavenook"));
        }
        if (limited) {
            QCOMPARE(code, 1);
            QVERIFY2(said.contains("Failure to save configuration data") &&
                         said.contains(QString(": ") + std::strerror(EFBIG)),
                     qPrintable(said));
            QVERIFY(stores.isEmpty());
        } else {
            QCOMPARE(code, 0);
            QVERIFY2(!said.contains("Failure to save"), qPrintable(said));
            QCOMPARE(stores.size(), 1);
        }
#endif
    }

    // The port dialog takes 1 to 65534 (the obfuscated port is one above),
    // and the port in use again drops a pending change; the account dialog
    // stores trimmed texts and refuses blanks.
    void settingsDialogs() {
        const struct {
            const char *typed, *box, *pending;
        } ports[] = {{"65534", "Change to Listening Port Pending", "65534"},
                     {"65535", "Invalid Port Number", "4000"},  // obfuscated would overflow
                     {"99999", "Invalid Port Number", "4000"},
                     {"abc", "Invalid Port Number", "4000"},  // the mask keeps letters out
                     {"0", "Invalid Port Number", "4000"},
                     {"2234", "Port Number Not Changed", ""}};
        for (const auto& [typed, box, pending] : ports) {
            d.Reset();
            DeclareSettingsTypes(nullptr);
            SetSetting("listening_port", 2234);
            SetSetting("new_listening_port", 4000);
            Prompts answers;
            QPointer<ChangeListeningPortDialog> dialog = new ChangeListeningPortDialog(nullptr);
            QCOMPARE(dialog->Form()->portEdit->text(), QString("2234"));
            dialog->Form()->portEdit->setText(typed);
            dialog->accept();
            QCOMPARE(answers.asked, QStringList(box));
            QCOMPARE(GetSetting("new_listening_port"), QString(pending));
            QCOMPARE(GetSetting("listening_port"), QString("2234"));
            delete dialog.data();
        }

        SetSetting("username", "old");
        ChangeUsernamePasswordDialog account(false, nullptr);
        QCOMPARE(account.windowTitle(), QString("Change Username/Password"));
        const char* accounts[][4] = {{"   ", "pw", "old", ""},
                                     {"  new name ", " pw ", "new name", "pw"}};
        for (const auto& [user, password, storedUser, storedPassword] : accounts) {
            account.Form()->usernameEdit->setText(user);
            account.Form()->passwordEdit->setText(password);
            account.accept();
            QCOMPARE(GetSetting("username"), QString(storedUser));
            QCOMPARE(GetSetting("password"), QString(storedPassword));
            QCOMPARE(account.result() == QDialog::Accepted, *storedPassword != 0);
        }
    }

    // Who may see a shared folder, as the share dialog sets it; and the
    // rescan report.
    void sharedFolderDialog() {
        Start("carol");
        const ItemPtr folder = d.GetType("shared_folder")->NewItem(m_home.path());
        Type* groups = d.GetType("user_list_group");
        const ItemPtr friends = groups->GetItem("friends"), family = groups->GetItem("family");
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
        QVERIFY(!folder.IsConnected(friends) && folder.IsConnected(family));

        m_window->OnSharedFilesRescanned(0, 0);
        auto* report = m_window->findChild<SharedFilesRescannedDialog*>();
        QVERIFY(report && report->windowTitle() == "Shared Files Rescanned");
        QCOMPARE(report->Text(), QString("0 files added.\n0 files removed."));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
