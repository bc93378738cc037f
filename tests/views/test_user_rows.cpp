// The rows of the user list whenever their users' states come: before a
// loaded list's row is made, while it waits to go in, and as rows move.

#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "net/server.h"
#include "shell/Prompts.h"
#include "shell/mainwindow.h"
#include "store/ConfigurationImporter.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"
#include "support/UserListRows.h"
#include "support/WindowStart.h"
#include "ui_mainwindow.h"
#include "views/users/UserListForm.h"
#include "views/users/UserListModel.h"

namespace {

const int kWait = 10000;

// Calls `made` with each listed row's name as the row is made, before its
// user is tied to it.
class RowsMade : public DataHandler {
public:
    explicit RowsMade(std::function<void(const QString&)> made) : m_made(std::move(made)) {
        d.GetType("user_list_node")->NewItemEvent().Insert(ItemHandler(this, &RowsMade::OnNode));
    }

private:
    void OnNode(ItemPtr node) {
        m_made(reinterpret_cast<UserListItemWidget*>(node.AsUInt64())->Text(0));
    }
    std::function<void(const QString&)> m_made;
};

}  // namespace

class TestUserRows : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    TestServer m_server;
    std::unique_ptr<MainWindow> m_window;

    // The client, logged out, so that no answer of the server's about the
    // listed users comes between.
    void Start() {
        qputenv("TAVENOOK_USERNAME", "me");
        m_window = StartMainWindow();
        qunsetenv("TAVENOOK_USERNAME");
        gp_server->Disconnect();
    }
    // Saved at close, loaded at the next start.
    void Restart() {
        m_window.reset();
        Start();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        prompts::SetBoxHandler([](QWidget*, const prompts::Box& box) {
            QTest::qFail(qPrintable("unexpected message box " + box.title), __FILE__, __LINE__);
            return QMessageBox::No;
        });
    }
    void init() { Start(); }
    void cleanup() {
        m_window.reset();
        // Each case starts from an empty store.
        for (const QString& file :
             QDir(m_home.path()).entryList({".Tavenook*"}, QDir::Hidden | QDir::Files))
            QFile::remove(m_home.filePath(file));
    }
    void cleanupTestCase() { prompts::SetBoxHandler(nullptr); }

    void listedStateWheneverItComes_data();
    void listedStateWheneverItComes();
    void rowsGoingOnlineKeepTheView_data();
    void rowsGoingOnlineKeepTheView();
    void modelUnderRandomChanges();
};

void TestUserRows::listedStateWheneverItComes_data() {
    QTest::addColumn<bool>("early");  // before the fill; else while the row waits for its run
    QTest::newRow("before its row") << true;
    QTest::newRow("while its row waits") << false;
}

// Whatever comes about a listed user before its row is made, or while the
// made row waits to go in with its run, shows once the list is filled.
void TestUserRows::listedStateWheneverItComes() {
    QFETCH(bool, early);
    const int users = 2000;
    const QStringList names = ListFromFile(m_home.filePath("list.txt"), users);
    QCOMPARE(names.size(), users);
    const struct {
        const char* user;
        std::function<void(ItemPtr)> change;
        const char* row;  // "" for none
    } changes[] = {
        {"u000010", [](ItemPtr u) { Flag(u.AsString(), "is_online", true); }, "u000010|||||on"},
        {"u000020",
         [](ItemPtr u) {
             Flag(u.AsString(), "is_online", true);
             Flag(u.AsString(), "is_online", false);
         },
         "u000020|||||off"},
        {"u000030",
         [](ItemPtr u) {
             u.Connect(d.GetType("shared_file_count")->NewItem(Value(qint64(1234))));
             u.Connect(d.GetType("average_download_speed")->NewItem(Value(qint64(1536))));
         },
         "u000030|1,234|1.5|||off"},
        {"u000040", [](ItemPtr u) { u.Connect(d.GetType("user_note")->GetItem("x")); },
         "u000040||||x*|off"},
        {"u000050",
         [](ItemPtr u) {
             u["in_user_list"].Connect(d.GetType("user_list_group")->GetItem("friends"));
         },
         "u000050|||friends||off"},
        {"u000060", [](ItemPtr u) { u.Disconnect("in_user_list"); }, ""}};
    Restart();
    QCOMPARE(userListForm->UnmadeRows(), users);
    std::unique_ptr<RowsMade> watch;
    if (early) {
        for (const auto& c : changes)
            c.change(User(c.user));
    } else {
        // As the next row is made, the user's waits for its run.
        watch = std::make_unique<RowsMade>([&](const QString& made) {
            for (const auto& c : changes) {
                if (made != names.value(int(names.indexOf(c.user)) + 1))
                    continue;
                UserListItemWidget* waiting = ListedRow(User(c.user));
                QVERIFY(waiting && !waiting->Listed());
                c.change(User(c.user));
            }
        });
    }
    QStringList expected = names;
    expected.removeAll("u000010");
    expected.prepend("u000010");
    expected.removeAll("u000060");
    QTableView* list = userListForm->List();
    QTRY_VERIFY_WITH_TIMEOUT(userListForm->UnmadeRows() == 0 && Shown(list) == expected, kWait);
    watch.reset();
    for (const auto& c : changes) {
        if (*c.row)
            QCOMPARE(RowText(list, int(expected.indexOf(c.user)), 4), QString(c.row));
        else
            QVERIFY(!ListedRow(User(c.user)));
    }
    // The others as loaded.
    QCOMPARE(RowText(list, 1, 4), QString("u000000|||||off"));
}

void TestUserRows::rowsGoingOnlineKeepTheView_data() {
    QTest::addColumn<int>("others");  // users going online besides the current one
    QTest::newRow("one") << 0;
    QTest::newRow("many") << 40;
}

// Rows going online move to the top: the current, selected row stays so, and
// so does the row at the top of the scrolled list; the model keeps to what
// views rely on throughout.
void TestUserRows::rowsGoingOnlineKeepTheView() {
    QFETCH(int, others);
    const int users = 300;
    QStringList names;
    for (int i = 0; i < users; ++i)
        names << QString("u%1").arg(i, 6, 10, QChar('0'));
    for (const QString& name : names)
        User(name).NewItem("in_user_list");
    QTableView* list = userListForm->List();
    QAbstractItemModelTester tester(list->model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(), users, kWait);
    const auto at = [list](int row) { return list->model()->index(row, 0); };
    m_window->Form()->tabControl->setCurrentWidget(userListForm->parentWidget());
    QTRY_VERIFY(list->verticalScrollBar()->maximum() > 200);
    list->scrollTo(at(200), QAbstractItemView::PositionAtTop);
    QTRY_COMPARE(list->indexAt(QPoint(0, 0)), at(200));
    list->setCurrentIndex(at(205));
    QCOMPARE(list->selectionModel()->selectedRows(), QModelIndexList{at(205)});

    QStringList online = names.mid(0, others) << "u000205";
    for (const QString& name : online)
        Flag(name, "is_online", true);
    QStringList expected = online;
    for (const QString& name : names)
        if (!online.contains(name))
            expected << name;
    QTRY_COMPARE_WITH_TIMEOUT(Shown(list), expected, kWait);
    QCOMPARE(RowText(list, int(expected.indexOf("u000205")), 4), QString("u000205|||||on"));
    const QModelIndex current = at(int(expected.indexOf("u000205")));
    QCOMPARE(list->currentIndex(), current);
    QCOMPARE(list->selectionModel()->selectedRows(), QModelIndexList{current});
    QTRY_COMPARE(list->indexAt(QPoint(0, 0)).data().toString(), QString("u000200"));

    // A row gone online and unlisted before it is put back: only it goes.
    Flag("u000100", "is_online", true);
    User("u000100").Disconnect("in_user_list");
    Flag("u000101", "is_online", true);
    expected.removeAll("u000100");
    expected.removeAll("u000101");
    expected.insert(int(online.size()) - 1, "u000101");
    QTRY_COMPARE_WITH_TIMEOUT(Shown(list), expected, kWait);

    // Within one interval: a row far down goes online, another leaves and
    // users are added; the change before them is merged at once, so that
    // these wait for the next merge together.
    Flag("u000111", "is_online", true);
    Flag("u000280", "is_online", true);
    User("u000120").Disconnect("in_user_list");
    QStringList on = expected.mid(0, int(online.size()) + 1) << "u000111"
                                                             << "u000280";
    QStringList off = expected.mid(int(online.size()) + 1);
    for (int i = 0; i < 100; ++i) {
        off << QString("a%1").arg(i, 3, 10, QChar('0'));
        User(off.back()).NewItem("in_user_list");
    }
    for (const char* name : {"u000111", "u000280", "u000120"})
        off.removeAll(name);
    on.sort();
    off.sort();
    expected = on + off;
    QTRY_COMPARE_WITH_TIMEOUT(Shown(list), expected, kWait);

    // A row's place known from before others left is looked up anew.
    User("u000299").Connect(d.GetType("user_note")->GetItem("a"));
    for (const QString& name : QStringList{"u000150", "u000299"}) {
        User(name).Disconnect("in_user_list");
        expected.removeAll(name);
    }
    QTRY_COMPARE_WITH_TIMEOUT(Shown(list), expected, kWait);
}

// Rows added (in runs after the last row, or merged), going on and offline,
// twice too, and removed at random, merged a few at a time, names equal but
// for case among them. The checks read the rows as a view does and never ask
// the model for a row's place, so that what it remembers goes stale as it
// would: at every step the rows that kept their state are in order (online
// first, then by name without case), the cells and rows the model names are
// where it says, and a held index follows its row.
void TestUserRows::modelUnderRandomChanges() {
    using Row = UserListItemWidget;
    UserListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    std::mt19937 random(11);
    const auto pick = [&random](auto& rows) { return rows[random() % rows.size()]; };
    const auto key = [](const Row* row) { return row->Text(0).toCaseFolded(); };
    std::vector<Row*> listed, pending;
    const Row* removing = nullptr;
    connect(&model, &QAbstractItemModel::dataChanged, [&model](const QModelIndex& cell) {
        QCOMPARE(model.At(cell.row()), static_cast<Row*>(cell.internalPointer()));
    });
    connect(&model, &QAbstractItemModel::rowsAboutToBeRemoved,
            [&](const QModelIndex&, int first) { QCOMPARE(model.At(first), removing); });
    QPersistentModelIndex held;
    QString heldName;
    int made = 0;
    const auto newRow = [&](bool online) {
        const int n = made++ % 40;
        auto* row = new Row((n % 3 ? "u" : "U") + QString::number(n));
        model.SetOnline(row, online);
        return row;
    };
    for (int step = 0; step < 4000 && !QTest::currentTestFailed(); ++step) {
        const int action = int(random() % 6);
        if (action == 0 && listed.size() + pending.size() < 80) {
            pending.push_back(newRow(random() % 2));
        } else if (action == 1 && !listed.empty()) {
            Row* row = pick(listed);
            for (int times = 1 + int(random() % 2); times > 0; --times)
                model.SetOnline(row, !row->Online());
        } else if (action == 2 && !listed.empty()) {
            removing = pick(listed);
            model.Remove(const_cast<Row*>(removing));
            listed.erase(std::find(listed.begin(), listed.end(), removing));
            delete removing;
        } else if (action == 3 && !pending.empty()) {
            Row* row = pick(pending);
            model.SetOnline(row, !row->Online());
        } else if (action == 4) {
            const std::size_t n = std::min<std::size_t>(pending.size(), random() % 4);
            model.Merge(std::vector<Row*>(pending.begin(), pending.begin() + n), random() % 3);
            listed.insert(listed.end(), pending.begin(), pending.begin() + n);
            pending.erase(pending.begin(), pending.begin() + n);
        } else if (action == 5 && listed.size() + pending.size() < 80) {
            std::vector<Row*> run;
            for (int n = 1 + int(random() % 3); n > 0; --n)
                run.push_back(newRow(false));
            std::sort(run.begin(), run.end(), [&](Row* a, Row* b) { return key(a) < key(b); });
            auto& to = model.Follows(*run.front()) ? listed : pending;
            if (&to == &listed)
                model.Append(run);
            to.insert(to.end(), run.begin(), run.end());
        }
        if (!held.isValid() && model.rowCount() > 0) {
            held = model.index(int(random() % model.rowCount()), 0);
            heldName = held.data().toString();
        }
        QCOMPARE(held.isValid() ? held.data().toString() : heldName, heldName);
        QCOMPARE(model.rowCount(), int(listed.size()));
        const QSet<const Row*> rows(listed.begin(), listed.end());
        const Row* last = nullptr;
        for (int i = 0; i < model.rowCount(); ++i) {
            const Row* row = model.At(i);
            QVERIFY(rows.contains(row));
            if (row->Moved())
                continue;
            if (last)
                QVERIFY2(last->Online() > row->Online() ||
                             (last->Online() == row->Online() && key(last) <= key(row)),
                         qPrintable(last->Text(0) + " before " + row->Text(0)));
            last = row;
        }
    }
    while (!pending.empty() || model.HasMoved()) {
        model.Merge(pending, 2);
        listed.insert(listed.end(), pending.begin(), pending.end());
        pending.clear();
    }
    for (int i = 1; i < model.rowCount(); ++i) {
        const Row* a = model.At(i - 1);
        const Row* b = model.At(i);
        QVERIFY2(a->Online() > b->Online() || (a->Online() == b->Online() && key(a) <= key(b)),
                 qPrintable(a->Text(0) + " before " + b->Text(0)));
    }
}

QTEST_MAIN(TestUserRows)
#include "test_user_rows.moc"
