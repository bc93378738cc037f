// The distributed network manager against raw loopback sockets standing in
// for parents, candidates and children, and the loopback test server for what
// the client reports.

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "net/DNetManager.h"
#include "net/PeerLimits.h"
#include "net/server.h"
#include "store/Settings.h"
#include "support/CoreServices.h"
#include "support/Fuzz.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"
#include "support/Waits.h"

namespace {

const char* const kMe = "alice";
const int kWait = kTestWaitMs;

}  // namespace

class DNetTest : public QObject, private CoreServices {
    Q_OBJECT

    std::unique_ptr<TestServer> ts;
    std::unique_ptr<DNetManager> mgr;
    std::unique_ptr<QTcpServer> listener;
    QDateTime now;

    void NewManager() {
        mgr.reset();
        mgr.reset(new DNetManager);
        mgr->SetClock([this] { return now; });
    }

    static bool WaitUntil(const std::function<bool()>& f) { return RawPeer::WaitUntil(f); }
    static QByteArray D(quint8 code, const QByteArray& p = {}) { return RawPeer::DFrame(code, p); }
    static QByteArray Level(qint32 level) { return D(4, Payload().I32(level)); }
    static QByteArray Leader(const QString& leader) { return D(5, Payload().Str(leader)); }
    static QByteArray Length(quint32 length) { return RawPeer::U32(length); }
    static QByteArray Search(const QString& user, quint32 token, const QString& text) {
        return D(3, Payload().U32(49).Str(user).U32(token).Str(text));
    }

    // A loopback pair: our end goes to the manager as a parent candidate or
    // a child, the test drives the other end.
    QTcpSocket* Pair(const QString& user, bool child) {
        auto* ours = new QTcpSocket;
        ours->connectToHost(QHostAddress::LocalHost, listener->serverPort());
        if (!ours->waitForConnected(kWait) || !listener->waitForNewConnection(kWait)) {
            delete ours;
            return nullptr;
        }
        if (child)
            mgr->OnDNetConnectionRequested(user, ours);
        else
            mgr->OnDNetConnectionAccepted(user, ours);
        return listener->nextPendingConnection();
    }
    QTcpSocket* Candidate(const QString& user) { return Pair(user, false); }
    QTcpSocket* Child(const QString& user) { return Pair(user, true); }
    static void Send(QTcpSocket* s, const QByteArray& bytes) { s->write(bytes), s->flush(); }
    static QByteArray Read(QTcpSocket* s, int n) {
        WaitUntil([&] { return s->bytesAvailable() >= n; });
        return s->read(n);
    }
    static bool Closed(QTcpSocket* s) {
        return WaitUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; });
    }

    // The distributed-network reports the server got since the last call, in
    // order; a stats request behind them proves nothing else is on its way.
    QStringList ServerGot() {
        server->GetUserStats("~sentinel");
        if (!ts->WaitForMessage(kMe, SM_GET_USER_STATS, kWait))
            return {"no sentinel"};
        QStringList out;
        for (const auto& frame : ts->Received(kMe)) {
            MemStream m(frame.second);
            const quint32 code = frame.first;
            qint32 level = 0;
            QString text;
            quint8 flag = 0;
            if (code == SM_DNET_LEVEL && m.Read(level))
                out << QString("126:%1").arg(level);
            else if (code == SM_DNET_GROUP_LEADER && m.Read(text))
                out << "127:" + text;
            else if ((code == 71 || code == 100 || code == 129) && m.Read(flag))
                out << QString("%1:%2").arg(code).arg(flag);
        }
        ts->ClearReceived(kMe);
        return out;
    }

private slots:
    void init() {
        StartCore();
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        SetSetting("username", kMe);
        SetSetting("password", "pw");
        SetSetting("use_upnp", "no");
        now = QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC);
        NewManager();
        listener.reset(new QTcpServer);
        QVERIFY(listener->listen(QHostAddress::LocalHost, 0));
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        QVERIFY(connected.count() > 0 || connected.wait(kWait));
        // Each login reports the parent state.
        QVERIFY(ts->WaitForMessage(kMe, SM_SEND_DISTRIBUTIONS, kWait));
        ts->ClearReceived(kMe);
    }

    void cleanup() {
        mgr.reset();
        listener.reset();
        StopCore();
        ts.reset();
    }

    void adoptionLevelsAndRelays() {
        QSignalSpy searches(mgr.get(), &DNetManager::DNetSearchRequest);
        QTcpSocket* x = Child("dave");
        QVERIFY(x);
        // From the server: a search and other relays go down as they are; a
        // level, a leader and a cut search do nothing.
        const QByteArray fromServer = Search("erin", 9, "from server");
        const QByteArray other = D(3, Payload().U32(51));
        for (const QByteArray& f :
             {fromServer, Level(3), Leader("boss"), fromServer.left(16), other})
            ts->SendTo(kMe, SM_DNET_MESSAGE, f.mid(4));
        QCOMPARE(Read(x, fromServer.size() + other.size()), fromServer + other);
        QVERIFY(searches.count() == 1 && mgr->Level() == -1);
        QCOMPARE(ServerGot(), QStringList());
        searches.clear();

        QTcpSocket* a = Candidate("bob");
        QTcpSocket* b = Candidate("carol");
        QVERIFY(a && b);
        Send(b, Level(9));
        // Level and leader in one read; the search split over two.
        Send(a, Level(5) + Leader("lead"));
        const QByteArray search = Search("erin", 77, "some text");
        Send(a, search.left(7));
        Send(a, search.mid(7));

        QVERIFY(Closed(b));
        QCOMPARE(searches.value(0), QVariantList({"erin", 77u, "some text"}));
        QVERIFY(mgr->HasParent() && mgr->Level() == 6 && mgr->GroupLeader() == "lead");
        QCOMPARE(ServerGot(), QStringList({"126:6", "127:lead", "71:0"}));
        const QByteArray adopted = Level(6) + Leader("lead") + search;
        QCOMPARE(Read(x, adopted.size()), adopted);

        // Unchanged level and leader are swallowed; changes go down as new
        // frames; a negative level is "none"; other relays pass unanswered.
        const QByteArray opaque = D(3, Payload().U32(50).Str("opaque"));
        const QByteArray search2 = Search("frank", 78, "more");
        Send(a, Level(5) + Leader("lead") + Level(7) + Level(-5) + opaque + search2);
        const QByteArray expected = Level(8) + Level(-1) + opaque + search2;
        QCOMPARE(Read(x, expected.size()), expected);
        QVERIFY(searches.count() == 2 && mgr->Level() == -1);
        QCOMPARE(ServerGot(), QStringList({"126:8", "126:-1"}));

        // A new child hears only what is known.
        QTcpSocket* y = Child("gina");
        Send(a, Level(2));
        QCOMPARE(Read(y, Leader("lead").size() + 9), Leader("lead") + Level(3));
        QCOMPARE(Read(x, 9), Level(3));
        QTcpSocket* z = Child("hank");
        QCOMPARE(Read(z, 9 + Leader("lead").size()), Level(3) + Leader("lead"));
        // The same user again replaces the old child.
        QTcpSocket* z2 = Child("hank");
        QVERIFY(Closed(z));
        QCOMPARE(Read(z2, 9), Level(3));

        // With a parent, another parent-side connection is turned away.
        QTcpSocket* other2 = Candidate("ivan");
        QVERIFY(Closed(other2) && mgr->HasParent());

        // Silence: kept at exactly a minute (a search still gets through),
        // closed after it.
        now = now.addSecs(60);
        mgr->EveryHalfMinute();
        const QByteArray late = Search("gus", 79, "still there");
        Send(a, late);
        QCOMPARE(Read(x, late.size()), late);
        now = now.addSecs(61);
        mgr->EveryHalfMinute();
        QVERIFY(Closed(a));
        QVERIFY(!mgr->HasParent());
        QCOMPARE(mgr->Level(), -1);
        QCOMPARE(ServerGot(), QStringList({"126:3", "71:1", "127:", "126:-1"}));
        QCOMPARE(x->state(), QAbstractSocket::ConnectedState);
    }

    void capacityAndDepth() {
        // Upload speed against the minimum (KiB/s), and children against the
        // capacity, speed / ratio / 1024 (at least 64-bit arithmetic).
        struct Row {
            int min, ratio;
            const char* speed;
            int children;
            bool can;
        };
        // clang-format off
        const Row rows[] = {{10, 10, "10239", 0, false}, {10, 10, "10240", 0, true}, {0, 10, "102400", 99, true},
                            {0, 10, "102400", 100, false}, {0, 1, "1000", 8, true}, {0, 1, "1000", 9, false},
                            {0, 0, "102400", 0, false}, {2100000, 1, "3000000000", 0, true}, {0, 1, "fast", 0, false}};
        // clang-format on
        for (const Row& row : rows) {
            NewManager();
            ClearSetting("upload_speed");
            for (int k = 0; k < row.children; ++k)
                d.GetType("dnet_child")->NewItem(Value(QString("fake%1").arg(k)));
            mgr->OnDNetParentMinSpeed(row.min);
            mgr->OnDNetParentSpeedConnectionRatio(row.ratio);
            SetSetting("upload_speed", row.speed);
            QCOMPARE(mgr->CanParent(), row.can);
            QCOMPARE(ServerGot(), row.can ? QStringList{"100:1"} : QStringList());
        }

        // A ratio of 0 later takes the capacity away.
        NewManager();
        SetSetting("upload_speed", 102400);
        mgr->OnDNetParentMinSpeed(10);
        mgr->OnDNetParentSpeedConnectionRatio(10);
        mgr->OnDNetParentSpeedConnectionRatio(0);
        QCOMPARE(ServerGot(), QStringList({"100:1", "100:0"}));

        // Children joining and leaving decide again: capacity 1 here.
        SetSetting("upload_speed", 1024);
        mgr->OnDNetParentMinSpeed(0);
        mgr->OnDNetParentSpeedConnectionRatio(10);
        QTcpSocket* first = Child("dave");
        QVERIFY(Closed(Child("erin")));  // past the capacity
        first->close();
        QVERIFY(WaitUntil([] { return d.GetType("dnet_child")->ItemCount() == 0; }));
        QCOMPARE(ServerGot(), QStringList({"100:1", "100:0", "100:1"}));

        // Depths: -1 alone is nothing; 0 and 2 give 3; leaving children count down.
        NewManager();
        QTcpSocket* x = Child("dave");
        QTcpSocket* y = Child("erin");
        Send(x, D(7, Payload().I32(-1)) + D(7, Payload().I32(0)));
        QVERIFY(WaitUntil([this] { return mgr->ChildDepth() == 1; }));
        Send(y, D(7, Payload().I32(2)));
        QVERIFY(WaitUntil([this] { return mgr->ChildDepth() == 3; }));
        y->close();
        QVERIFY(WaitUntil([this] { return mgr->ChildDepth() == 1; }));
        x->close();
        QVERIFY(WaitUntil([this] { return mgr->ChildDepth() == 0; }));
        QCOMPARE(ServerGot(), QStringList({"129:1", "129:1", "129:1", "129:0"}));
    }

    void badFramesClose() {
        // Lengths out of range, a frame of an unknown code, levels beyond
        // reason, cut searches and depths: the connection goes.
        const QByteArray tooLong = Length(PeerLimits::kMaxDNetFrameLength + 1);
        // clang-format off
        const QByteArray bad[] = {Length(0xFFFFFFFFu), Length(0x80000000u), Length(0x7FFFFFFFu), tooLong, Length(0),
                                  Length(1) + "\x09" + Length(0), Level(1001), D(3, Payload().U32(49).Str("erin").U32(1))};
        const QByteArray badChild[] = {Length(0xFFFFFFFFu), Length(0), Length(PeerLimits::kMaxDNetChildFrameLength + 1),
                                       D(7, Payload().I32(1001)), D(7, "\1")};
        // clang-format on
        for (const QByteArray& bytes : bad) {
            QTcpSocket* candidate = Candidate("cand");
            Send(candidate, bytes);
            QVERIFY2(Closed(candidate), bytes.toHex().constData());
        }
        for (const QByteArray& bytes : badChild) {
            QTcpSocket* child = Child("child");
            Send(child, bytes);
            QVERIFY2(Closed(child), bytes.toHex().constData());
        }
        QVERIFY(WaitUntil([] {
            return d.GetType("dnet_child")->ItemCount() +
                       d.GetType("dnet_parent_candidate")->ItemCount() ==
                   0;
        }));
        QVERIFY(!mgr->HasParent());
    }

    void capsAndStalledFrames() {
        // A child stuck in the middle of a frame for a minute is closed.
        QTcpSocket* slow = Child("slow");
        Send(slow, D(7, Payload().I32(2)) + Length(100) + "\7");
        QVERIFY(WaitUntil([this] { return mgr->ChildDepth() == 3; }));
        mgr->EveryHalfMinute();
        now = now.addMSecs(PeerLimits::kStalledFrameMs - 1);
        mgr->EveryHalfMinute();
        QCOMPARE(d.GetType("dnet_child")->ItemCount(), 1);
        now = now.addMSecs(1);
        mgr->EveryHalfMinute();
        QCOMPARE(d.GetType("dnet_child")->ItemCount(), 0);
        QVERIFY(Closed(slow));
        // Without the server's figures, the hard caps hold; a child that
        // comes back replaces itself.
        for (int k = 0; k < PeerLimits::kMaxDNetChildren; ++k)
            d.GetType(k ? "dnet_child" : "dnet_parent_candidate")
                ->NewItem(Value(QString::number(k)));
        QTcpSocket* last = Child("last");
        QVERIFY(Closed(Child("over")));
        QVERIFY(Child("last"));
        QCOMPARE(d.GetType("dnet_child")->ItemCount(), PeerLimits::kMaxDNetChildren);
        QVERIFY(Closed(last));
        for (int k = 1; k < PeerLimits::kMaxDNetCandidates; ++k)
            d.GetType("dnet_parent_candidate")->NewItem(Value(QString::number(-k)));
        QVERIFY(Closed(Candidate("cand")));
    }

    // Random and mutated frames through the server path, a candidate and a
    // child: nothing may crash, hang or grow without bound.
    void fuzz() {
        fuzz::Rng rng(20240601);
        // clang-format off
        const QByteArray seeds[] = {Level(4), Leader("lead"), Search("u", 1, "text"),
                                    D(3, Payload().U32(50).U32(7)), D(7, Payload().I32(2)), D(9, "zz")};
        // clang-format on
        const auto mutated = [&] { return fuzz::Mutate(rng, seeds[fuzz::Below(rng, 6)]); };
        QTcpSocket* candidate = nullptr;
        QTcpSocket* kid = nullptr;
        for (int i = 0; i < 400; ++i) {
            const QByteArray f = mutated();
            MemStream body(f.mid(4));
            mgr->OnDNetMessage(body);
            if (!candidate || candidate->state() != QAbstractSocket::ConnectedState)
                candidate = Candidate("fuzzparent");
            if (!kid || kid->state() != QAbstractSocket::ConnectedState)
                kid = Child("fuzzchild");
            QVERIFY(candidate && kid);
            Send(candidate, f);
            Send(kid, mutated());
            QCoreApplication::processEvents();
        }
        // Still working afterwards: a search from the server reaches a new child.
        QTcpSocket* probe = Child("probe");
        const QByteArray search = Search("v", 2, "after");
        MemStream body(search.mid(4));
        mgr->OnDNetMessage(body);
        QByteArray got;
        QVERIFY(WaitUntil([&] { return (got += probe->readAll()).endsWith(search); }));
        QVERIFY(mgr->Level() >= -1 && mgr->Level() < 1000);
    }
};

QTEST_GUILESS_MAIN(DNetTest)
#include "test_dnet.moc"
