// The distributed network manager against raw loopback sockets standing in
// for parents, candidates and children, and the loopback test server for what
// the client reports.

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>

#include "net/DNetManager.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/CoreServices.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"

namespace {

const char* const kMe = "alice";
const int kWait = 5000;

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWait) {
    return RawPeer::WaitUntil(condition, timeoutMs);
}

QByteArray D(quint8 code, const QByteArray& payload = QByteArray()) {
    return RawPeer::DFrame(code, payload);
}

QByteArray Level(qint32 level) {
    return D(4, Payload().I32(level));
}

QByteArray Leader(const QString& leader) {
    return D(5, Payload().Str(leader));
}

QByteArray Search(const QString& user, quint32 token, const QString& text) {
    return D(3, Payload().U32(49).Str(user).U32(token).Str(text));
}

QByteArray Length(quint32 length) {
    return RawPeer::U32(length);
}

class LogLines : public LogSink {
public:
    void Log(const QString&, int, const QString& text, const ItemPtr&) override { lines << text; }
    QStringList lines;
};

}  // namespace

class DNetTest : public QObject, private CoreServices {
    Q_OBJECT

    std::unique_ptr<TestServer> ts;
    std::unique_ptr<DNetManager> mgr;
    std::unique_ptr<QTcpServer> listener;
    LogLines log;
    QDateTime now;

    void NewManager() {
        mgr.reset();
        mgr.reset(new DNetManager);
        mgr->SetClock([this] { return now; });
    }

    // Our end goes to the manager, the test drives the other end.
    QTcpSocket* Pair(QTcpSocket** ours) {
        auto* socket = new QTcpSocket;
        socket->connectToHost(QHostAddress::LocalHost, listener->serverPort());
        if (!socket->waitForConnected(kWait) || !listener->waitForNewConnection(kWait)) {
            delete socket;
            return nullptr;
        }
        *ours = socket;
        return listener->nextPendingConnection();
    }
    QTcpSocket* Candidate(const QString& user) {
        QTcpSocket* ours = nullptr;
        QTcpSocket* remote = Pair(&ours);
        if (remote)
            mgr->OnDNetConnectionAccepted(user, ours);
        return remote;
    }
    QTcpSocket* Child(const QString& user) {
        QTcpSocket* ours = nullptr;
        QTcpSocket* remote = Pair(&ours);
        if (remote)
            mgr->OnDNetConnectionRequested(user, ours);
        return remote;
    }

    static void Send(QTcpSocket* s, const QByteArray& bytes) {
        s->write(bytes);
        s->flush();
    }
    static QByteArray Read(QTcpSocket* s, int n) {
        if (!WaitUntil([&] { return s->bytesAvailable() >= n; }))
            return s->readAll();
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
            quint8 flag = 0;
            qint32 level = 0;
            QString text;
            if (frame.first == SM_DNET_LEVEL && m.Read(level))
                out << QString("126:%1").arg(level);
            else if (frame.first == SM_DNET_GROUP_LEADER && m.Read(text))
                out << "127:" + text;
            else if ((frame.first == SM_SEND_DISTRIBUTIONS || frame.first == SM_CAN_PARENT ||
                      frame.first == SM_DNET_CHILD_DEPTH) &&
                     m.Read(flag))
                out << QString("%1:%2").arg(frame.first).arg(flag);
        }
        ts->ClearReceived(kMe);
        return out;
    }

private slots:
    void init() {
        SetLogSink(&log);
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
        SetLogSink(nullptr);
    }

    // At start-up the shares manager is made after the tree manager; the
    // tree's searches must still reach its answer.
    void searchesReachSharesManagerMadeLater() {
        SharedFoldersManager shares;
        QSignalSpy processed(&shares, &SharedFoldersManager::SearchProcessed);
        emit mgr->DNetSearchRequest("bob", 3, "anything");
        QCOMPARE(processed.count(), 1);
    }

    void adoptionLevelsAndRelays() {
        QSignalSpy searches(mgr.get(), &DNetManager::DNetSearchRequest);
        QTcpSocket* x = Child("dave");
        QTcpSocket* a = Candidate("bob");
        QTcpSocket* b = Candidate("carol");
        QVERIFY(x && a && b);
        Send(b, Level(9));
        // Level and leader in one read; the search split over two.
        Send(a, Level(5) + Leader("lead"));
        const QByteArray search = Search("erin", 77, "some text");
        Send(a, search.left(7));
        QTest::qWait(50);
        Send(a, search.mid(7));

        QVERIFY(Closed(b));
        QCOMPARE(searches.count(), 1);
        QCOMPARE(searches[0], QVariantList({"erin", 77u, "some text"}));
        QVERIFY(mgr->HasParent());
        QCOMPARE(mgr->Level(), 6);
        QCOMPARE(mgr->GroupLeader(), QString("lead"));
        QCOMPARE(ServerGot(), QStringList({"126:6", "127:lead", "71:0"}));
        const QByteArray adopted = Level(6) + Leader("lead") + search;
        QCOMPARE(Read(x, adopted.size()), adopted);

        // Unchanged level and leader are swallowed; changes go down as new
        // frames; a negative level is "none"; other relays pass unanswered.
        const QByteArray other = D(3, Payload().U32(50).Str("opaque"));
        const QByteArray search2 = Search("frank", 78, "more");
        Send(a, Level(5) + Leader("lead") + Level(7) + Level(-5) + other + search2);
        const QByteArray expected = Level(8) + Level(-1) + other + search2;
        QCOMPARE(Read(x, expected.size()), expected);
        QCOMPARE(searches.count(), 2);
        QCOMPARE(mgr->Level(), -1);
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
        QTcpSocket* late = Candidate("ivan");
        QVERIFY(Closed(late));
        QVERIFY(mgr->HasParent());

        // Silence: kept at exactly a minute, closed after it.
        now = now.addSecs(60);
        mgr->EveryHalfMinute();
        QTest::qWait(50);
        QCOMPARE(a->state(), QAbstractSocket::ConnectedState);
        now = now.addSecs(1);
        mgr->EveryHalfMinute();
        QVERIFY(Closed(a));
        QVERIFY(!mgr->HasParent());
        QCOMPARE(mgr->Level(), -1);
        QCOMPARE(ServerGot(), QStringList({"126:3", "71:1", "127:", "126:-1"}));
        QCOMPARE(x->state(), QAbstractSocket::ConnectedState);
    }

    void possibleParentsOverPeers() {
        QSignalSpy searches(mgr.get(), &DNetManager::DNetSearchRequest);
        RawPeer peer;
        QVERIFY(peer.Listen());
        ts->SetPossibleParents(
            kMe, {{"bob", peer.Port()}, {"bob", peer.Port()}, {"carol", peer.Port()}});
        for (int k = 0; k < 2; ++k) {
            QVERIFY(peer.WaitForIncoming());
            QString user, kind;
            QVERIFY(peer.ReadSetUp(&user, &kind));
            QCOMPARE(kind, QString("D"));
        }
        QVERIFY(WaitUntil([] { return d.GetType("dnet_parent_candidate")->ItemCount() == 2; }));
        // Already tried: no second connection.
        ts->SetPossibleParents(kMe, {{"bob", peer.Port()}});
        QVERIFY(!peer.WaitForIncoming(300));
        QCOMPARE(peer.ConnectionCount(), 2);

        peer.SendRawOn(1, Search("erin", 5, "x"));
        QVERIFY(peer.WaitForDisconnectOn(0));
        QCOMPARE(searches.count(), 1);
        QVERIFY(mgr->HasParent());
        QCOMPARE(ServerGot(), QStringList({"127:", "71:0"}));
    }

    void serverFrames() {
        QSignalSpy searches(mgr.get(), &DNetManager::DNetSearchRequest);
        QTcpSocket* x = Child("dave");
        QVERIFY(x);
        const QByteArray search = Search("erin", 9, "from server");
        ts->SendTo(kMe, SM_DNET_MESSAGE, search.mid(4));
        // Level, leader and an unreadable search from the server do nothing.
        ts->SendTo(kMe, SM_DNET_MESSAGE, Level(3).mid(4));
        ts->SendTo(kMe, SM_DNET_MESSAGE, Leader("boss").mid(4));
        ts->SendTo(kMe, SM_DNET_MESSAGE, search.mid(4, 12));
        const QByteArray other = D(3, Payload().U32(51));
        ts->SendTo(kMe, SM_DNET_MESSAGE, other.mid(4));
        QCOMPARE(Read(x, search.size() + other.size()), search + other);
        QCOMPARE(searches.count(), 1);
        QCOMPARE(searches[0], QVariantList({"erin", 9u, "from server"}));
        QCOMPARE(mgr->Level(), -1);
        QVERIFY(!mgr->HasParent());
        QCOMPARE(ServerGot(), QStringList());
    }

    void capacityAndDepth() {
        struct Row {
            const char* name;
            int min, ratio;
            const char* speed;
            int children;
            bool can;
            QStringList sent;
        };
        const Row rows[] = {
            {"10239 is below 10 KiB", 10, 10, "10239", 0, false, {}},
            {"10240 reaches it", 10, 10, "10240", 0, true, {"100:1"}},
            {"99 of 100", 0, 10, "102400", 99, true, {"100:1"}},
            {"100 of 100", 0, 10, "102400", 100, false, {}},
            {"1000 gives 9, 8 children", 0, 1, "1000", 8, true, {"100:1"}},
            {"1000 gives 9, 9 children", 0, 1, "1000", 9, false, {}},
            {"ratio 0", 0, 0, "102400", 0, false, {}},
            {"beyond 32 bits", 2100000, 1, "3000000000", 0, true, {"100:1"}},
            {"speed not a number", 0, 1, "fast", 0, false, {}},
        };
        for (const Row& row : rows) {
            NewManager();
            ClearSetting("upload_speed");
            for (int k = 0; k < row.children; ++k)
                d.GetType("dnet_child")->NewItem(Value(QString("fake%1").arg(k)));
            mgr->OnDNetParentMinSpeed(row.min);
            mgr->OnDNetParentSpeedConnectionRatio(row.ratio);
            SetSetting("upload_speed", row.speed);
            QVERIFY2(mgr->CanParent() == row.can, row.name);
            QVERIFY2(ServerGot() == row.sent, row.name);
        }

        // Nothing is decided before both figures; the ratio then decides;
        // a ratio of 0 later takes the capacity away.
        NewManager();
        SetSetting("upload_speed", 102400);
        mgr->OnDNetParentMinSpeed(10);
        QCOMPARE(ServerGot(), QStringList());
        mgr->OnDNetParentSpeedConnectionRatio(10);
        mgr->OnDNetParentSpeedConnectionRatio(0);
        QCOMPARE(ServerGot(), QStringList({"100:1", "100:0"}));

        // Children joining and leaving decide again: capacity 1 here.
        SetSetting("upload_speed", 1024);
        mgr->OnDNetParentMinSpeed(0);
        mgr->OnDNetParentSpeedConnectionRatio(10);
        QTcpSocket* first = Child("dave");
        first->close();
        QVERIFY(WaitUntil([] { return d.GetType("dnet_child")->ItemCount() == 0; }));
        QCOMPARE(ServerGot(), QStringList({"100:1", "100:0", "100:1"}));

        // Depths: -1 alone is nothing; 0 and 2 give 3; leaving children count down.
        NewManager();
        QTcpSocket* x = Child("dave");
        QTcpSocket* y = Child("erin");
        Send(x, D(7, Payload().I32(-1)));
        QVERIFY(
            WaitUntil([this] { return log.lines.contains("Received child depth -1 from dave"); }));
        QCOMPARE(mgr->ChildDepth(), 0);
        QCOMPARE(ServerGot(), QStringList());
        Send(x, D(7, Payload().I32(0)));
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
        const QByteArray bad[] = {
            Length(0xFFFFFFFFu),
            Length(0x80000000u),
            Length(0x7FFFFFFFu),
            Length(PeerLimits::kMaxFrameLength + 1),
            Length(0),
            Length(1) + "\x09" + Length(0),  // a frame of an unknown code, then zero
            Level(1001),
            D(3, Payload().U32(49).Str("erin").U32(1)),
        };
        int k = 0;
        for (const QByteArray& bytes : bad) {
            QTcpSocket* candidate = Candidate(QString("cand%1").arg(k));
            Send(candidate, bytes);
            QVERIFY2(Closed(candidate), qPrintable(QString("candidate %1").arg(k)));
            ++k;
        }
        QCOMPARE(d.GetType("dnet_parent_candidate")->ItemCount(), 0);
        const QByteArray badChild[] = {Length(0xFFFFFFFFu), Length(0),
                                       Length(PeerLimits::kMaxFrameLength + 1),
                                       D(7, Payload().I32(1001)), D(7, QByteArray("\1", 1))};
        for (const QByteArray& bytes : badChild) {
            QTcpSocket* child = Child(QString("child%1").arg(k++));
            Send(child, bytes);
            QVERIFY(Closed(child));
        }
        QVERIFY(WaitUntil([] { return d.GetType("dnet_child")->ItemCount() == 0; }));
        QVERIFY(!mgr->HasParent());
    }

    // Random and mutated frames through the server path, a candidate and a
    // child: nothing may crash, hang or grow without bound.
    void fuzz() {
        QRandomGenerator rng(20240601);
        const QByteArray seeds[] = {Level(4),
                                    Leader("lead"),
                                    Search("u", 1, "text"),
                                    D(3, Payload().U32(50).U32(7)),
                                    D(7, Payload().I32(2)),
                                    D(9, "zz")};
        auto mutate = [&rng](QByteArray f) {
            const int edits = 1 + int(rng.bounded(4));
            for (int e = 0; e < edits && !f.isEmpty(); ++e) {
                const int at = int(rng.bounded(f.size()));
                switch (rng.bounded(4)) {
                    case 0:
                        f[at] = char(rng.bounded(256));
                        break;
                    case 1:
                        f.truncate(at);
                        break;
                    case 2:
                        f.insert(at, char(rng.bounded(256)));
                        break;
                    default:
                        f[at] = char(0xFF);
                        break;
                }
            }
            return f;
        };
        QTcpSocket* child = Child("sink");
        QTcpSocket* candidate = nullptr;
        QTcpSocket* kid = nullptr;
        for (int i = 0; i < 400; ++i) {
            QByteArray f = mutate(seeds[rng.bounded(int(std::size(seeds)))]);
            if (f.size() > 4) {
                MemStream body(f.mid(4));
                mgr->OnDNetMessage(body);
            }
            if (!candidate || candidate->state() != QAbstractSocket::ConnectedState)
                candidate = Candidate("fuzzparent");
            if (!kid || kid->state() != QAbstractSocket::ConnectedState)
                kid = Child("fuzzchild");
            Send(candidate, f);
            Send(kid, mutate(seeds[rng.bounded(int(std::size(seeds)))]));
            if (i % 20 == 0)
                QTest::qWait(5);
            child->readAll();
        }
        QTest::qWait(50);
        // Still working afterwards.
        if (!mgr->HasParent()) {
            QTcpSocket* p = Candidate("last");
            Send(p, Search("v", 2, "after"));
            QVERIFY(WaitUntil([this] { return mgr->HasParent(); }));
        }
    }
};

QTEST_GUILESS_MAIN(DNetTest)
#include "test_dnet.moc"
