// The whole program in its real window, driven through its widgets as a
// user would, against the loopback server and a second client (a driver
// process called bob): log in, search and download, browse and download a
// folder, a room, a private chat, the user list, the upload limit, and a
// restart that must bring back the queue, the user list and the settings.
// Each main page is saved as a screenshot into the folder named by
// TAVENOOK_SHOTS (printed at the end). Steps run in order and build on
// each other; run it through window.sh, which gives it an X display.
#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest>
#include <memory>

#include "shell/ActionSetToolBar.h"
#include "shell/Application.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/DataSaver.h"
#include "support/DriverProcess.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"
#include "support/WindowStart.h"
#include "ui_mainwindow.h"
#include "views/shares/AddSharedFolderDialog.h"
#include "views/users/AddUserDialog.h"

namespace {

// Distinct bytes of the given size at the path.
QByteArray WriteFile(const QString& path, int size) {
    const QByteArray bytes = Pattern(size);
    if (!Write(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return bytes;
}

// Every column of the row, as the user reads it.
QString RowText(const QTreeWidgetItem* row) {
    QStringList texts;
    for (int i = 0; i < row->columnCount(); ++i)
        texts << row->text(i);
    return texts.join(" | ");
}

// The first row at any depth with a column that reads `text`.
QTreeWidgetItem* FindRow(QTreeWidget* list, const QString& text) {
    if (!list)
        return nullptr;
    for (QTreeWidgetItemIterator it(list); *it; ++it) {
        for (int i = 0; i < (*it)->columnCount(); ++i) {
            if ((*it)->text(i) == text)
                return *it;
        }
    }
    return nullptr;
}

// Every row of the list, for failure messages.
QString Dump(QTreeWidget* list) {
    QStringList out;
    if (list) {
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            out << RowText(*it);
    }
    return out.join('\n');
}

// The row of the user list whose name reads `text`, as its first cell.
QModelIndex FindRow(QTableView* list, const QString& text) {
    if (!list)
        return QModelIndex();
    const QAbstractItemModel* model = list->model();
    return model->match(model->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly).value(0);
}

bool HasIcon(const QModelIndex& row, const char* resource) {
    const QImage want = QIcon(resource).pixmap(16).toImage();
    return row.isValid() &&
           row.siblingAtColumn(0).data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage() ==
               want;
}

// The file with this name anywhere below the folder.
QString FindFile(const QString& folder, const QString& name) {
    QDirIterator it(folder, {name}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

}  // namespace

class TestWindowEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_shots;
    TestServer m_server;
    std::unique_ptr<DriverProcess> m_bob;
    std::unique_ptr<MainWindow> m_window;
    QByteArray m_song, m_y, m_x, m_own, m_later;
    QStringList m_boxes;

    QString At(const QString& relative) const { return m_dir.filePath(relative); }
    Ui_MainWindow* ui() const { return m_window->Form(); }
    template <typename T>
    T* Child(const QString& name) const {
        return m_window->findChild<T*>(name);
    }

    // The program's own start-up, as main() runs it.
    void Start() {
        m_window = StartMainWindow(Clocks::Running);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    // Clicks the page's tab as a user does; the titles carry counts and marks,
    // so the page is found by its object name.
    void ShowPage(const QString& title) {
        static const QHash<QString, QString> pages = {
            {"Transfers", "transfersTab"}, {"Rooms", "roomsTab"}, {"Chat", "chatTab"},
            {"Search", "searchTab"},       {"Users", "tab_2"},    {"Browse", "sharesTab"},
            {"Options", "optionsTab"}};
        const int index = ui()->tabControl->indexOf(Child<QWidget>(pages.value(title)));
        QVERIFY2(index >= 0, qPrintable(title));
        ClickTab(ui()->tabControl, index);
    }
    void Shoot(const QString& page) {
        ShowPage(page);
        QApplication::processEvents();
        QVERIFY(m_window->grab().save(QDir(m_shots).filePath(page + ".png")));
    }

    bool ToolBarOffers(const QString& text) const {
        for (QAction* action : ui()->mainToolBar->actions()) {
            if (action->text() == text && action->isVisible())
                return true;
        }
        return false;
    }
    // The context tool bar shows the set of the focused widget.
    bool ClickToolBar(const QString& text) {
        for (QAction* action : ui()->mainToolBar->actions()) {
            QWidget* button = ui()->mainToolBar->widgetForAction(action);
            if (action->text() == text && button && action->isEnabled()) {
                QTest::mouseClick(button, Qt::LeftButton);
                return true;
            }
        }
        return false;
    }
    // A click on an empty spot of the list gives it the focus.
    void Focus(QAbstractItemView* list) {
        QApplication::setActiveWindow(m_window.get());
        QWidget* area = list->viewport();
        QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(2, area->height() - 2));
        QTRY_COMPARE(QApplication::focusWidget(), list);
    }
    void ClickTab(QTabWidget* tabs, int index) {
        QTabBar* bar = tabs->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        QTRY_COMPARE(tabs->currentIndex(), index);
    }
    void ClickRow(QTreeWidget* list, QTreeWidgetItem* row, bool twice) {
        for (QTreeWidgetItem* up = row->parent(); up; up = up->parent())
            up->setExpanded(true);
        list->scrollToItem(row);
        ClickAt(list, list->visualItemRect(row).center(), twice);
    }
    void ClickRow(QTableView* list, const QModelIndex& row, bool twice) {
        list->scrollTo(row);
        ClickAt(list, list->visualRect(row).center(), twice);
    }
    void ClickAt(QAbstractItemView* list, const QPoint& at, bool twice) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        if (twice)
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    }
    // Right-clicks the row and picks the entry of its menu; false when the
    // menu has no such entry.
    bool ChooseFromMenu(QTreeWidget* list, QTreeWidgetItem* row, const QString& entry) {
        ClickRow(list, row, false);
        return ChooseAt(list, list->visualItemRect(row).center(), entry);
    }
    bool ChooseFromMenu(QTableView* list, const QModelIndex& row, const QString& entry) {
        ClickRow(list, row, false);
        return ChooseAt(list, list->visualRect(row).center(), entry);
    }
    bool ChooseAt(QAbstractItemView* list, const QPoint& at, const QString& entry) {
        bool found = false;
        prompts::SetMenuHandler([&](QMenu* menu, const QPoint&) -> QAction* {
            for (QAction* action : menu->actions()) {
                if (action->text() == entry) {
                    found = true;
                    return action;
                }
            }
            return nullptr;
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &event);
        prompts::SetMenuHandler(nullptr);
        return found;
    }
    void Type(QWidget* edit, const QString& text) {
        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    // Our line typed into the page reaches bob as `heard` (its last field);
    // bob's answer, `said` by the driver command, shows in the page's view
    // below ours.
    void Converse(QWidget* page, const QStringList& heard, const QString& said) {
        Type(page->findChild<QLineEdit*>("chatEdit"), heard.last());
        QCOMPARE(
            m_bob->WaitFor(heard[0], 30000,
                           [&](const QStringList& f) { return f.value(f.size() - 2) == "alice"; }),
            heard);
        m_bob->Send(said);
        const QString answer = said.section('\t', -1);
        auto* view = page->findChild<QTextBrowser*>("chatView");
        QTRY_VERIFY2_WITH_TIMEOUT(view->toPlainText().contains(answer),
                                  qPrintable(view->toPlainText()), 30000);
        QVERIFY(view->toPlainText().indexOf(heard.last()) < view->toPlainText().indexOf(answer));
    }
    // User, folder and file of every row of the downloads.
    QStringList QueueRows() const {
        QStringList rows;
        for (QTreeWidgetItemIterator it(Downloads()); *it; ++it)
            rows << QStringList{(*it)->text(0), (*it)->text(1), (*it)->text(2)}.join(" | ");
        return rows;
    }
    QString DownloadFolder() const { return ui()->downloadFolderEdit->text(); }
    QTreeWidget* Downloads() const { return Child<QTreeWidget>("downloadsList"); }
    QTableView* UserList() const { return Child<QTableView>("userList"); }
    // The user's row of the downloads, complete, with its file on disk.
    void ExpectDownloaded(const QString& name, const QByteArray& bytes) {
        QTRY_VERIFY2_WITH_TIMEOUT(
            FindRow(Downloads(), name) && RowText(FindRow(Downloads(), name)).contains("omplete"),
            qPrintable(Dump(Downloads())), 60000);
        const QString path = FindFile(DownloadFolder() + "/complete", name);
        QVERIFY2(!path.isEmpty(), qPrintable(DownloadFolder()));
        QCOMPARE(ReadFile(path), bytes);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_shots = qEnvironmentVariable("TAVENOOK_SHOTS", At("shots"));
        QVERIFY(QDir().mkpath(m_shots));
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            m_boxes << box.title + ": " + box.text;
            return QMessageBox::No;
        });
        prompts::SetChooseFolderHandler([this](QWidget*, const QString&) { return At("own"); });
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        m_song = WriteFile(At("share/song one.mp3"), 100000);
        m_later = WriteFile(At("share/later.bin"), 30000);
        m_y = WriteFile(At("share/sub/y.txt"), 3);
        m_x = WriteFile(At("share/sub/deep/x.bin"), 70000);
        m_own = WriteFile(At("own/own song.mp3"), 160000);
        m_bob.reset(new DriverProcess(TAVENOOK_DRIVER, At("bob.log")));
        QVERIFY2(m_bob->Start({"--home", At("bob"), "--user", "bob", "--password", "pw", "--share",
                               At("share"), "--downloads", At("bob/dl"), "--server",
                               m_server.Address()}),
                 m_bob->LogTail().constData());
        Start();
    }

    void logIn() {
        QTRY_VERIFY_WITH_TIMEOUT(m_window->windowTitle().endsWith("[alice]"), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(m_server.IsLoggedIn("alice"), 30000);
        // The title names the user before the login; the Login page's tool
        // bar offers to disconnect only once the client is in.
        ShowPage("Options");
        ClickTab(ui()->optionsTabControl, ui()->optionsTabControl->indexOf(ui()->loginOptionsTab));
        QTest::mouseClick(ui()->usernameEdit, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(ToolBarOffers("Disconnect"), 30000);
        QCOMPARE(ui()->usernameEdit->text(), QString("alice"));
        QVERIFY(!DownloadFolder().isEmpty());
    }

    // Searches from the Search page; the new result page's tree once bob's
    // answer with the file shows there.
    QTreeWidget* Search(const QString& text, const QString& file) {
        ShowPage("Search");
        auto* edit = Child<QComboBox>("searchEdit");
        Type(edit, text);
        auto* pages = Child<QTabWidget>("searchTabControl");
        QTreeWidget* results = nullptr;
        const bool shown = QTest::qWaitFor(
            [&] {
                return pages->tabText(pages->currentIndex()) == text &&
                       (results = pages->currentWidget()->findChild<QTreeWidget*>(
                            "searchResultsTreeWidget")) &&
                       FindRow(results, file);
            },
            30000);
        if (!shown) {
            QStringList tabs;
            for (int i = 0; i < pages->count(); ++i)
                tabs << pages->tabText(i);
            // Whether bob asked for alice's address and a connect-back (codes 3
            // and 18) tells a search bob never answered from an answer lost
            // on its way.
            const auto codes = [this](const QString& user) {
                QStringList out;
                for (const auto& frame : m_server.Received(user))
                    out << QString::number(frame.first);
                return out.join(' ');
            };
            qWarning(
                "no answer with %s on the page \"%s\" of [%s]:\n%s\ncodes the server got from "
                "alice: %s\nfrom bob: %s\nbob's log ends:\n%s",
                qPrintable(file), qPrintable(pages->tabText(pages->currentIndex())),
                qPrintable(tabs.join(", ")), qPrintable(Dump(results)), qPrintable(codes("alice")),
                qPrintable(codes("bob")), m_bob->LogTail().constData());
        }
        return shown ? results : nullptr;
    }
    // Double-clicks the file's result row; its download row shows.
    void Download(QTreeWidget* results, const QString& file) {
        QVERIFY2(Dump(results).contains("bob"), qPrintable(Dump(results)));
        ClickRow(results, FindRow(results, file), true);
        ShowPage("Transfers");
        QTRY_VERIFY2_WITH_TIMEOUT(FindRow(Downloads(), file), qPrintable(Dump(Downloads())), 30000);
    }

    void searchAndDownload() {
        QTreeWidget* results = Search("song one", "song one.mp3");
        QVERIFY(results);
        Shoot("Search");
        Download(results, "song one.mp3");
        ExpectDownloaded("song one.mp3", m_song);
    }

    void userListOfflineOnline() {
        ShowPage("Users");
        QTableView* list = UserList();
        QVERIFY(list);
        Focus(list);
        QVERIFY(ClickToolBar("Add User"));
        AddUserDialog* dialog = nullptr;
        QTRY_VERIFY(dialog = m_window->findChild<AddUserDialog*>());
        Type(dialog->findChild<QLineEdit*>("userNameEdit"), "bob");
        QTest::mouseClick(dialog->findChild<QPushButton*>("addFriendButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(list, "bob"), ":/icons/online_icon"), 30000);
        dialog->close();

        m_bob->Send("logout");
        QVERIFY(!m_bob->WaitFor("logged-out").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(list, "bob"), ":/icons/offline_icon"), 30000);
        m_bob->Send("login");
        QVERIFY(!m_bob->WaitFor("ready").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(list, "bob"), ":/icons/online_icon"), 30000);
        Shoot("Users");
    }

    void privateChatBothWays() {
        ShowPage("Users");
        QTableView* list = UserList();
        ClickRow(list, FindRow(list, "bob"), true);
        QTRY_COMPARE(ui()->tabControl->currentWidget()->objectName(), QString("chatTab"));
        auto* tabs = Child<QTabWidget>("chatTabControl");
        QVERIFY(tabs);
        QTRY_COMPARE(tabs->tabText(tabs->currentIndex()), QString("bob"));
        Converse(tabs->currentWidget(), {"private", "alice", "hello bob"},
                 "msg\talice\thello alice");
        Shoot("Chat");
    }

    void browseAndDownloadFolder() {
        ShowPage("Users");
        QTableView* list = UserList();
        QVERIFY(ChooseFromMenu(list, FindRow(list, "bob"), "Browse user's files"));
        QTRY_COMPARE(ui()->tabControl->currentWidget()->objectName(), QString("sharesTab"));
        QTreeWidget* folders = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (folders = Child<QTreeWidget>("folderTree")) && FindRow(folders, "sub"), 30000);
        ClickRow(folders, FindRow(folders, "share"), false);
        QTRY_VERIFY(FindRow(Child<QTreeWidget>("fileList"), "song one.mp3"));
        Shoot("Browse");
        ClickRow(folders, FindRow(folders, "sub"), true);
        ShowPage("Transfers");
        ExpectDownloaded("y.txt", m_y);
        ExpectDownloaded("x.bin", m_x);
        // The chosen folder and the one below it are made again.
        QVERIFY(QFile::exists(DownloadFolder() + "/complete/sub/deep/x.bin"));
    }

    void roomLines() {
        m_bob->Send("join lobby");
        QCOMPARE(m_bob->WaitFor("joined"), (QStringList{"joined", "lobby"}));
        ShowPage("Rooms");
        auto* rooms = Child<QTreeWidget>("roomList");
        QVERIFY(rooms);
        Focus(rooms);
        QVERIFY(ClickToolBar("Refresh Room List"));
        QTRY_VERIFY_WITH_TIMEOUT(FindRow(rooms, "lobby"), 30000);
        ClickRow(rooms, FindRow(rooms, "lobby"), true);
        auto* tabs = Child<QTabWidget>("roomsTabControl");
        QTRY_VERIFY_WITH_TIMEOUT(tabs->count() > 0 && tabs->tabText(tabs->count() - 1) == "lobby",
                                 30000);
        QWidget* room = tabs->widget(tabs->count() - 1);
        ClickTab(tabs, tabs->indexOf(room));
        auto* members = room->findChild<QTreeWidget*>("userList");
        QTRY_VERIFY2(FindRow(members, "bob") && FindRow(members, "alice"),
                     qPrintable(Dump(members)));
        Converse(room, {"room-chat", "lobby", "alice", "hello room"}, "say\tlobby\thi from bob");
        Shoot("Rooms");
    }

    void uploadLimitObeyed() {
        // Share a folder as a new user does: Options, File Sharing, "Share Folder".
        ShowPage("Options");
        ClickTab(ui()->optionsTabControl,
                 ui()->optionsTabControl->indexOf(ui()->fileSharingOptionsTab));
        Focus(ui()->sharedFoldersList);
        QVERIFY(ClickToolBar("Share Folder"));
        AddSharedFolderDialog* dialog = nullptr;
        QTRY_VERIFY(dialog = m_window->findChild<AddSharedFolderDialog*>());
        QTest::mouseClick(dialog->findChild<QPushButton*>("selectFolderButton"), Qt::LeftButton);
        QTest::mouseClick(dialog->findChild<QAbstractButton*>("everyoneCheckBox"), Qt::LeftButton,
                          {}, QPoint(5, 5));
        QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
        QTRY_VERIFY2(Dump(ui()->sharedFoldersList).contains(At("own")),
                     qPrintable(Dump(ui()->sharedFoldersList)));
        Shoot("Options");

        // 40 KB/s typed into the Uploads page.
        ShowPage("Transfers");
        auto* limit = Child<QSpinBox>("uploadLimitSpinBox");
        QVERIFY(limit);
        ClickTab(Child<QTabWidget>("transfersTabControl"), 1);
        QTest::mouseClick(limit, Qt::LeftButton);
        QTest::keyClick(limit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(limit, "40");
        QTest::keyClick(limit, Qt::Key_Return);
        QCOMPARE(limit->value(), 40);
        QTRY_VERIFY(Child<QAbstractButton>("uploadLimitCheckBox")->isChecked());

        // Once indexed, bob fetches the file; 160,000 bytes at 40 KB/s take
        // more than two seconds even with the first second's allowance.
        const QString path = Wire(At("own/own song.mp3"));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                m_bob->Send("browse alice");
                return m_bob->WaitFor("share-end", 10000).value(2) == "1";
            }(),
            30000);
        QElapsedTimer clock;
        clock.start();
        m_bob->Send(QString("download\talice\t%1\t%2").arg(path).arg(m_own.size()));
        QCOMPARE(m_bob->WaitFor("queued").value(2), path);
        const QStringList done = m_bob->WaitFor("complete", 60000);
        QVERIFY2(!done.isEmpty(), m_bob->LogTail().constData());
        QVERIFY2(clock.elapsed() > 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(ReadFile(done.value(2)), m_own);
        auto* uploads = Child<QTreeWidget>("uploadsList");
        QTRY_VERIFY2(FindRow(uploads, "own song.mp3") &&
                         RowText(FindRow(uploads, "own song.mp3")).contains("complete"),
                     qPrintable(Dump(uploads)));
    }

    // A download waiting for bob, who is offline, must wait again after a
    // restart and then complete.
    void restartRestores() {
        QTreeWidget* results = Search("later", "later.bin");
        QVERIFY(results);
        m_bob->Send("logout");
        QVERIFY(!m_bob->WaitFor("logged-out").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(UserList(), "bob"), ":/icons/offline_icon"),
                                 30000);
        Download(results, "later.bin");
        QVERIFY(!RowText(FindRow(Downloads(), "later.bin")).contains("complete"));
        const QStringList queue = QueueRows();
        const QString folder = DownloadFolder();
        m_window.reset();
        QVERIFY(!DataSaver::StoreFiles(MainWindow::StorePath()).isEmpty());

        Start();
        QTRY_VERIFY_WITH_TIMEOUT(m_window->windowTitle().endsWith("[alice]"), 30000);
        QCOMPARE(QueueRows(), queue);
        QVERIFY(!RowText(FindRow(Downloads(), "later.bin")).contains("complete"));
        QCOMPARE(Child<QSpinBox>("uploadLimitSpinBox")->value(), 40);
        QVERIFY(Child<QAbstractButton>("uploadLimitCheckBox")->isChecked());
        QCOMPARE(DownloadFolder(), folder);
        QVERIFY2(Dump(ui()->sharedFoldersList).contains(At("own")),
                 qPrintable(Dump(ui()->sharedFoldersList)));
        // The stored list's rows come after the window shows, in slices.
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(UserList(), "bob"), ":/icons/offline_icon"),
                                 30000);
        m_bob->Send("login");
        QVERIFY(!m_bob->WaitFor("ready").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(HasIcon(FindRow(UserList(), "bob"), ":/icons/online_icon"), 30000);
        ExpectDownloaded("later.bin", m_later);
        ClickTab(Child<QTabWidget>("transfersTabControl"), 0);
        Shoot("Transfers");
    }

    void cleanupTestCase() {
        if (m_window)
            m_window.reset();
        if (m_bob)
            QVERIFY(m_bob->Quit());
        prompts::SetBoxHandler(nullptr);
        prompts::SetChooseFolderHandler(nullptr);
        if (!m_boxes.isEmpty())
            qInfo("message boxes shown: %s", qPrintable(m_boxes.join("; ")));
        qInfo("screenshots of the pages: %s", qPrintable(m_shots));
    }
};

int main(int argc, char** argv) {
    // Before the guard and the store read it: the client lives in a fresh home.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("TAVENOOK_USERNAME", "alice");
    qputenv("TAVENOOK_PASSWORD", "pw");
    auto* app = new Application("TavenookQt", argc, argv);
    if (app->isRunning()) {
        delete app;
        return 1;
    }
    Application::ApplyProgramStyle();
    int code = 0;
    {
        TestWindowEndToEnd test;
        code = QTest::qExec(&test, argc, argv);
    }
    delete app;
    return code;
}

#include "test_window_e2e.moc"
