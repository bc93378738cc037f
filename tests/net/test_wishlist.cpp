// The wish-list searcher with a logged-in server connection and the loopback
// test server: the order of searches, wrap-around, no enabled entry, the
// server's interval with its bounds.

#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "net/WishListSearcher.h"
#include "net/server.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "support/TestServer.h"

namespace {

const char* const kMe = "alice";
const int kWait = 5000;

class CaptureSink : public LogSink {
public:
    void Log(const QString& area, int, const QString& text, const ItemPtr&) override {
        if (area == "Wish List")
            lines.append(text);
    }
    QStringList lines;
};

}  // namespace

class TestWishList : public QObject {
    Q_OBJECT

    std::unique_ptr<TestServer> ts;
    std::unique_ptr<Server> server;
    std::unique_ptr<WishListSearcher> searcher;
    CaptureSink sink;

    void Entry(const char* text, bool enabled) {
        const ItemPtr item = d.GetType("wish_list_item")->GetItem(text);
        if (enabled)
            item.Connect(d.GetType("wish_list_item_enabled")->GetGlobalNullItem());
        else
            item.Disconnect("wish_list_item_enabled");
    }

    // The texts of the wish-list searches the test server received since the last call.
    QStringList Searches() {
        QStringList texts;
        QByteArray payload;
        while (ts->WaitForMessage(kMe, SM_LOW_PRIORITY_FILE_SEARCH, 200, &payload)) {
            MemStream m(payload);
            quint32 token = 0;
            QString text;
            if (!m.Read(token) || !m.Read(text))
                return QStringList() << "<malformed>";
            texts << text;
        }
        return texts;
    }

    QStringList Turns(int n) {
        for (int k = 0; k < n; ++k)
            searcher->OnSearchTimerTimeout();
        return Searches();
    }

private slots:
    void initTestCase() { SetLogSink(&sink); }
    void cleanupTestCase() { SetLogSink(nullptr); }

    void init() {
        d.Reset();
        sink.lines.clear();
        DeclareSettingsTypes(nullptr);
        Server::CreateData();
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        server.reset(new Server);
        SetSetting("username", kMe);
        SetSetting("use_upnp", "no");
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        QVERIFY(connected.wait(kWait));
        QVERIFY(d.FindType("wish_list_item") == nullptr);
        searcher.reset(new WishListSearcher);
        QCOMPARE(wishListSearcher, searcher.get());
        QVERIFY(d.FindType("wish_list_item")->IsRelatedTo(d.GetType("wish_list_item_enabled")));
        QCOMPARE(GetRuntimeSetting("wish_list_search_index"), QString("0"));
    }

    void cleanup() {
        searcher.reset();
        QVERIFY(wishListSearcher == nullptr);
        server.reset();
        ts.reset();
        d.Reset();
    }

    void orderWrapAndChanges() {
        Entry("beta", true);
        Entry("alpha", true);
        Entry("Zulu", true);
        Entry("off", false);
        QCOMPARE(Turns(4), QStringList({"Zulu", "alpha", "beta", "Zulu"}));
        QCOMPARE(GetRuntimeSetting("wish_list_search_index"), QString("1"));
        QVERIFY(sink.lines.contains("Sent wish list search: Zulu"));

        // Past the end after a disable: taken modulo the new count, then back to 0.
        QCOMPARE(Turns(1), QStringList({"alpha"}));
        QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 2);
        Entry("beta", false);
        QCOMPARE(Turns(2), QStringList({"Zulu", "Zulu"}));
        QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 1);

        // An added entry takes its place; the index stays.
        Entry("Mike", true);
        QCOMPARE(Turns(3), QStringList({"Zulu", "alpha", "Mike"}));

        // None enabled: nothing sent, the index unchanged.
        Entry("Mike", false);
        QCOMPARE(Turns(1), QStringList({"alpha"}));
        Entry("Zulu", false);
        Entry("alpha", false);
        SetRuntimeSetting("wish_list_search_index", 2);
        QCOMPARE(Turns(3), QStringList());
        QCOMPARE(GetRuntimeSetting("wish_list_search_index"), QString("2"));

        // Sent while logged out: the server connection drops it, the turn still advances.
        Entry("alpha", true);
        server->Disconnect();
        SetRuntimeSetting("wish_list_search_index", 0);
        searcher->OnSearchTimerTimeout();
        QCOMPARE(sink.lines.last(), QString("Sent wish list search: alpha"));
        QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 0);
    }

    void intervalFromServer() {
        QVERIFY(!searcher->SearchTimer().isActive());
        Entry("alpha", true);
        // Through the server connection's message.
        ts->SendTo(kMe, SM_WISHLIST_WAIT, QByteArray("\x58\x02\x00\x00", 4));  // 600 s
        QTRY_VERIFY_WITH_TIMEOUT(searcher->SearchTimer().isActive(), kWait);
        QCOMPARE(searcher->SearchTimer().interval(), 600000);
        QVERIFY(!searcher->SearchTimer().isSingleShot());
        QCOMPARE(GetRuntimeSetting("wish_list_wait"), QString("600"));
        QCOMPARE(sink.lines.last(), QString("Wish list wait period set to 600000 milliseconds"));

        // A new interval restarts the wait.
        searcher->OnWishListWait(120);
        QCOMPARE(searcher->SearchTimer().interval(), 120000);
        QVERIFY(searcher->SearchTimer().remainingTime() > 110000);

        // Bounds, logged: 0 and values whose milliseconds overflow 32 bits.
        searcher->OnWishListWait(0);
        QCOMPARE(searcher->SearchTimer().interval(), 60000);
        QVERIFY(searcher->SearchTimer().isActive());
        QCOMPARE(GetRuntimeSetting("wish_list_wait"), QString("0"));
        QVERIFY(sink.lines.contains(
            "Wish list wait period of 0 seconds from the server is out of range, using 60 "
            "seconds"));
        searcher->OnWishListWait(4294967295u);
        QCOMPARE(searcher->SearchTimer().interval(), 86400000);
        QVERIFY(searcher->SearchTimer().isActive());
        searcher->OnWishListWait(2147484);
        QCOMPARE(searcher->SearchTimer().interval(), 86400000);
        searcher->OnWishListWait(86400);
        QCOMPARE(sink.lines.last(), QString("Wish list wait period set to 86400000 milliseconds"));

        // The timer's firing is a turn.
        QVERIFY(
            QMetaObject::invokeMethod(const_cast<QTimer*>(&searcher->SearchTimer()), "timeout"));
        QCOMPARE(Searches(), QStringList({"alpha"}));
    }

    void existingTypesKept() {
        // Declared already (as the main window does): the searcher adds nothing.
        searcher.reset();
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Type* item = d.NewType("wish_list_item", PrimacyRoot, false, true);
        Type* enabled = d.NewType("wish_list_item_enabled", PrimacyLeaf, true, false);
        item->RelateToType(enabled, Many, One, false);
        searcher.reset(new WishListSearcher);
        QCOMPARE(d.GetType("wish_list_item"), item);
        Entry("x", true);
        searcher->OnSearchTimerTimeout();
        QCOMPARE(sink.lines.last(), QString("Sent wish list search: x"));
    }
};

QTEST_GUILESS_MAIN(TestWishList)
#include "test_wishlist.moc"
