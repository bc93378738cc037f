// The server connection against the loopback test server: the login's bytes,
// failed attempts and refusals, drops and reconnection, the senders' layouts
// and gating, every incoming message's store changes and signals (mutated
// too: nothing may crash or be sized from a count it claims), framing; and the
// wish-list searcher's order and interval.

#include <QCryptographicHash>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>
#include <functional>
#include <memory>

#include "net/PeerTypes.h"
#include "net/PortForwarder.h"
#include "net/WishListSearcher.h"
#include "net/server.h"
#include "support/CoreServices.h"
#include "support/Fuzz.h"
#include "support/LargestAllocation.h"
#include "support/Payload.h"
#include "support/TestServer.h"
#include "support/Waits.h"

namespace {

const char* const kMe = "alice";
const int kWait = kTestWaitMs;

QByteArray LoginPayload(const QString& user, const QString& password) {
    const QByteArray digest =
        QCryptographicHash::hash((user + password).toUtf8(), QCryptographicHash::Md5).toHex();
    return Payload().Str(user).Str(password).U32(157).U32(100).Str(QString::fromLatin1(digest));
}

}  // namespace

class TestServerConnection : public QObject, CoreServices {
    Q_OBJECT

    std::unique_ptr<TestServer> ts;
    int m_syncs = 0;

    static ItemPtr User(const QString& name) { return d.GetType("user")->HasItem(Value(name)); }
    static ItemPtr Room(const QString& name) { return d.GetType("room")->HasItem(Value(name)); }
    static QString Attr(const ItemPtr& i, const char* t) {
        return i.IsNull() ? "" : i[t].AsString();
    }
    static bool Has(const ItemPtr& i, const char* t) { return !i.IsNull() && i.IsConnected(t); }
    static bool Linked(const ItemPtr& room, const char* node, const QString& user) {
        return !room.IsNull() && !User(user).IsNull() && room[node].IsConnected(User(user));
    }

    // Another user, logged in from a bare socket so that the test server knows it.
    bool LogInOther(RawPeer& peer, const QString& user) {
        return peer.ConnectTo(ts->Port()) &&
               (peer.SendRaw(RawPeer::Frame(1, LoginPayload(user, "pw"))), true) &&
               RawPeer::WaitUntil([&] { return ts->IsLoggedIn(user); });
    }
    bool LogIn(const QString& user = kMe) {
        SetSetting("username", Value(user));
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        return connected.count() > 0 || connected.wait(kWait);
    }
    QByteArray Expect(quint32 code) {
        QByteArray payload;
        return ts->WaitForMessage(kMe, code, kWait, &payload) ? payload : QByteArray("<none>");
    }
    // Delivers the message and an admin message behind it: once that arrived,
    // the first was handled.
    bool Feed(quint32 code, const QByteArray& payload) {
        const int before = m_syncs;
        ts->SendTo(kMe, code, payload);
        ts->SendTo(kMe, SM_ADMIN_MESSAGE, Payload().Str("sync"));
        return RawPeer::WaitUntil([&] { return m_syncs > before; });
    }

private slots:
    void init() {
        qputenv("TAVENOOK_NO_UPNP", "1");  // the mappings stay on this machine
        StartCore(false);
        DeclarePeerTypes(nullptr);
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        SetSetting("username", kMe);
        SetSetting("password", "pw");
        SetSetting("use_upnp", "yes");
        SetSetting("listening_port", 2234);
        SetSetting("obfuscated_listening_port", 2235);
        connect(server.get(), &Server::AdminMessage, this,
                [this](QString text) { m_syncs += text == "sync"; });
    }

    void cleanup() {
        server.reset();
        ts.reset();
        StopCore();
    }

    void failedAttempts() {
        RawPeer fake;  // a server that reads, drops, or stays silent
        QVERIFY(fake.Listen());
        qputenv("TAVENOOK_SERVER", "127.0.0.1:" + QByteArray::number(fake.Port()));
        // The login's bytes (an empty password sends the built-in one), then
        // dropped; or dropped before reading.
        for (const QString& password : {QString("pw"), QString(), QString("x")}) {
            SetSetting("password", password);
            QSignalSpy failed(server.get(), &Server::ConnectionFailed);
            server->Connect();
            QVERIFY(fake.WaitForIncoming());
            const QString sent = password.isEmpty() ? QString(Server::kDefaultPassword) : password;
            const QByteArray login = RawPeer::Frame(1, LoginPayload(kMe, sent));
            QVERIFY(password == "x" || fake.ReadRaw(login.size()) == login);
            fake.Abort();
            QVERIFY(failed.wait(kWait));
            QCOMPARE(failed[0][0].toString(), QString("socket error"));
            QVERIFY(!server->IsConnecting() && !server->IsAbruptlyDisconnected());
        }
        // Silent: the attempt ends on the second tick.
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->Connect();
        QVERIFY(fake.WaitForIncoming());
        server->OnHalfMinuteTick();
        QVERIFY(server->IsConnecting());
        server->OnHalfMinuteTick();
        QCOMPARE(failed.count(), 1);
    }

    void refusalsAreNotRetried() {
        for (const char* reason : {"INVALIDPASS", "INVALIDUSERNAME", "SERVER FULL"}) {
            ts->RefuseNextLogin(reason);
            QSignalSpy failed(server.get(), &Server::ConnectionFailed);
            QSignalSpy connecting(server.get(), &Server::Connecting);
            server->Connect();
            QVERIFY(failed.wait(kWait));
            QCOMPARE(failed[0][0].toString(), QString(reason));
            QVERIFY(!server->IsConnected() && !server->IsConnecting() &&
                    !server->IsAbruptlyDisconnected());
            server->OnHalfMinuteTick();
            server->OnHalfMinuteTick();
            QCOMPARE(connecting.count(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(ts->ClientCount(), 0, kWait);
        }
        // A refused reconnection ends the retries too.
        QVERIFY(LogIn());
        ts->DropClient(kMe);
        QTRY_VERIFY_WITH_TIMEOUT(server->IsAbruptlyDisconnected(), kWait);
        ts->RefuseNextLogin("INVALIDPASS");
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->OnHalfMinuteTick();
        QVERIFY(failed.wait(kWait));
        QVERIFY(!server->IsAbruptlyDisconnected());
        QSignalSpy connecting(server.get(), &Server::Connecting);
        server->OnHalfMinuteTick();
        QCOMPARE(connecting.count(), 0);
    }

    void dropsAndReconnection() {
        RawPeer bob;
        QVERIFY(LogInOther(bob, "bob"));
        QVERIFY(LogIn());
        server->TrackUser("bob");
        server->EnterRoom("lobby", false);
        QTRY_VERIFY_WITH_TIMEOUT(Has(User("bob"), "is_online"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(Has(Room("lobby"), "in_room"), kWait);
        // Dropped: everyone offline, the rooms kept for the next login.
        QSignalSpy disconnected(server.get(), &Server::Disconnected);
        ts->DropClient(kMe);
        QVERIFY(disconnected.wait(kWait));
        QVERIFY(server->IsAbruptlyDisconnected());
        QVERIFY(!Has(User("bob"), "is_online") && Has(Room("lobby"), "in_room"));

        // The server is away: the retry fails quietly and stays pending.
        const quint16 port = ts->Port();
        ts->Close();
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->OnHalfMinuteTick();
        QVERIFY(failed.wait(kWait));
        QVERIFY(server->IsAbruptlyDisconnected());
        // Back again: the next tick of the clock logs in and tracks bob again.
        QVERIFY(ts->Listen(port));
        RawPeer bobAgain;
        QVERIFY(LogInOther(bobAgain, "bob"));
        QSignalSpy connected(server.get(), &Server::Connected);
        QMetaObject::invokeMethod(&timers->everyHalfMinute, "timeout");
        QVERIFY(connected.wait(kWait));
        QVERIFY(!server->IsAbruptlyDisconnected());
        QTRY_VERIFY_WITH_TIMEOUT(Has(User("bob"), "is_online"), kWait);

        // The user's own disconnect: offline at once, no reconnection.
        QSignalSpy connecting(server.get(), &Server::Connecting);
        server->Disconnect();
        server->Disconnect();
        QCOMPARE(disconnected.count(), 2);
        QVERIFY(!Has(User("bob"), "is_online") && !server->IsAbruptlyDisconnected());
        server->OnHalfMinuteTick();
        QCOMPARE(connecting.count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!ts->IsLoggedIn(kMe), kWait);
    }

    void dutiesAndSenders() {
        RawPeer bob;
        QVERIFY(LogInOther(bob, "bob"));
        server->TrackUser("bob");  // marked while logged out
        d.GetType("room")->GetItem("lobby").NewItem("room_autojoin");
        struct Case {
            quint32 code;
            std::function<void(Server*)> send;
            QByteArray payload;
        };
        // clang-format off
        const QList<Case> cases = {
            {5, [](Server* s) { s->AddUser("bob"); }, Payload().Str("bob")},
            {36, [](Server* s) { s->GetUserStats("bob"); }, Payload().Str("bob")},
            {92, [](Server* s) { s->GetOwnPrivilegesStatus(); }, {}},
            {26, [](Server* s) { s->FileSearch("song", false); }, Payload().U32(4).Str("song")},
            {103, [](Server* s) { s->FileSearch("tune", true); }, Payload().U32(5).Str("tune")},
            {120, [](Server* s) { s->SearchRoom("lobby", "beat"); }, Payload().Str("lobby").U32(6).Str("beat")},
            {153, [](Server* s) { s->GetSearchCorrelations("song"); }, Payload().Str("song")},
            {28, [](Server* s) { s->SetAvailabilityStatus(false); }, Payload().U32(1)},
            {35, [](Server* s) { s->SendFilesFolders(7, 99); }, Payload().U32(7).U32(99)},
            {121, [](Server* s) { s->SendUploadSpeed(12345); }, Payload().U32(12345)},
            {22, [](Server* s) { s->SendPrivateChat("bob", "a\r\nb\nc"); }, Payload().Str("bob").Str("a  b c")},
            {14, [](Server* s) { s->EnterRoom("secret", true); }, Payload().Str("secret").U32(1)},
            {13, [](Server* s) { s->SendRoomChat("r", "hello"); }, Payload().Str("r").Str("hello")},
            {116, [](Server* s) { s->SetRoomTicker("r", "wall"); }, Payload().Str("r").Str("wall")},
            {64, [](Server* s) { s->GetRoomList(); }, {}},
            {141, [](Server* s) { s->EnablePrivateRoomAdd(true); }, Payload().U8(1)},
            {134, [](Server* s) { s->AddPrivateRoomMember("r", "bob"); }, Payload().Str("r").Str("bob")},
            {135, [](Server* s) { s->RemovePrivateRoomMember("r", "bob"); }, Payload().Str("r").Str("bob")},
            {136, [](Server* s) { s->GiveUpPrivateRoomMembership("r"); }, Payload().Str("r")},
            {123, [](Server* s) { s->GiftPrivileges("bob", 3); }, Payload().Str("bob").U32(3)},
            {149, [](Server* s) { s->MessageUsers({"bob", "carl"}, "all"); }, Payload().U32(2).Str("bob").Str("carl").Str("all")},
            {71, [](Server* s) { s->SendDNetHasParent(true); }, Payload().U8(0)},
            {71, [](Server* s) { s->SendDNetHasParent(false); }, Payload().U8(1)},
            {100, [](Server* s) { s->SendDNetCanParent(true); }, Payload().U8(1)},
            {126, [](Server* s) { s->SendDNetLevel(-1); }, Payload().I32(-1)},
            {127, [](Server* s) { s->SendDNetGroupLeader(""); }, Payload().Str("")},
            {129, [](Server* s) { s->SendChildDepth(false); }, Payload().U8(0)},
            {3, [](Server* s) { s->GetPeerAddress("bob"); }, Payload().Str("bob")},
            {18, [](Server* s) { s->ConnectToPeer(77, "bob", "F"); }, Payload().U32(77).Str("bob").Str("F")},
            {1001, [](Server* s) { s->CannotConnect(78, "bob"); }, Payload().U32(78).Str("bob")},
        };
        // clang-format on
        // Logged out: nothing is sent, nothing kept for later; the local
        // effects stay (the chat shown as sent, the room left at once).
        QSignalSpy sent(server.get(), &Server::PrivateChatSent);
        for (const Case& c : cases)
            c.send(server.get());
        QCOMPARE(sent.count(), 1);
        const ItemPtr stuck = d.GetType("room")->GetItem("stuck");
        stuck.NewItem("in_room");
        server->LeaveRoom("stuck");
        QVERIFY(!stuck.IsConnected("in_room"));
        // After the login: the duties' messages alone, the ports mapped first.
        int mappingsAtConnected = -1;
        connect(server.get(), &Server::Connected, this,
                [&] { mappingsAtConnected = portForwarder->MappedPorts().size(); });
        QSignalSpy connecting(server.get(), &Server::Connecting);
        QVERIFY(LogIn());
        QCOMPARE(portForwarder->InitCount(), 1);
        QCOMPARE(mappingsAtConnected, 2);
        QTRY_VERIFY_WITH_TIMEOUT(Has(User("bob"), "is_online"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(Has(Room("lobby"), "in_room"), kWait);
        QVERIFY(ts->WaitForMessage(kMe, SM_SET_STATUS, kWait));
        const QList<QPair<quint32, QByteArray>> duties = {
            {SM_SET_LISTENING_PORTS, Payload().U32(2234).U32(2235)},
            {SM_ADD_USER, Payload().Str("bob")},
            {SM_JOIN_ROOM, Payload().Str("lobby").U32(0)},
            {SM_SET_STATUS, Payload().U32(1)}};
        QCOMPARE(ts->Received(kMe), duties);
        server->Connect();  // changes nothing while logged in
        QCOMPARE(connecting.count(), 1);
        // The clock: keep-alive; mappings renewed (the ports set, with UPnP only).
        QMetaObject::invokeMethod(&timers->everyFiveMinutes, "timeout");
        QCOMPARE(Expect(SM_KEEP_ALIVE), QByteArray());
        SetSetting("obfuscated_listening_port", 0);
        QMetaObject::invokeMethod(&timers->everyHour, "timeout");
        SetSetting("use_upnp", "no");
        server->RenewPortMapping();
        QCOMPARE(portForwarder->MappedPorts(), QList<int>({2234, 2235, 2234}));

        // Logged in; the search tokens go on from the round above.
        for (const Case& c : cases) {
            ts->ClearReceived(kMe);
            c.send(server.get());
            QVERIFY2(Expect(c.code) == c.payload, qPrintable(QString::number(c.code)));
        }
        // Leaving a room that was entered.
        server->EnterRoom("hall", false);
        QTRY_VERIFY_WITH_TIMEOUT(Has(Room("hall"), "in_room"), kWait);
        server->LeaveRoom("hall");
        QCOMPARE(Expect(SM_LEAVE_ROOM), Payload().Str("hall").Bytes());
    }

    void incomingMessages() {
        QVERIFY(LogIn());
        // Every signal the server emits, as "Name(arg,arg)".
        std::vector<std::pair<QByteArray, std::unique_ptr<QSignalSpy>>> spies;
        const QMetaObject* meta = server->metaObject();
        for (int k = meta->methodOffset(); k < meta->methodCount(); ++k) {
            const QMetaMethod m = meta->method(k);
            if (m.methodType() == QMetaMethod::Signal && !m.methodSignature().contains('&'))
                spies.emplace_back(m.name(), std::make_unique<QSignalSpy>(server.get(), m));
        }
        const auto emitted = [&] {
            QStringList out;
            for (auto& spy : spies) {
                for (const QList<QVariant>& args : *spy.second) {
                    QStringList texts;
                    for (const QVariant& a : args)
                        texts << a.toString();
                    out << QString("%1(%2)").arg(QString(spy.first), texts.join(','));
                }
                spy.second->clear();
            }
            out.removeAll("AdminMessage(sync)");
            return out;
        };
        d.GetType("user")->GetItem("troll").NewItem("is_ignored");
        d.GetType("room")->GetItem("den").Connect(d.GetType("user")->GetItem("stale"));
        // A room's tickers in their order.
        const auto tickers = [](const QString& room) {
            QMap<qint64, QString> byOrder;
            for (const ItemPtr& t : Room(room).GetItems("room_ticker"))
                byOrder.insert(t["room_ticker_order"].AsInt64(),
                               t["user"].AsString() + ":" + t["room_ticker_text"].AsString());
            return QStringList(byOrder.values());
        };
        QByteArray relayed;
        qint64 relayStart = -1;
        connect(server.get(), &Server::DNetMessage, this, [&](MemStream& message) {
            relayed = QByteArray(message.GetBuffer(), int(message.GetWritePos()));
            relayStart = message.GetReadPos();
        });
        QStringList parents;
        connect(
            server.get(), &Server::DNetPossibleParents, this,
            [&](std::list<std::pair<QString, TCPAddress>>& list) {
                for (const auto& p : list)
                    parents << QString("%1@%2:%3").arg(p.first).arg(p.second.ip).arg(p.second.port);
            });
        const QByteArray dnetFrame = Payload().U8(3).U32(49).Str("bob").U32(8).Str("x");
        const ItemPtr bob = d.GetType("user")->GetItem("bob");
        bob.NewItem("is_tracked");
        struct Row {
            quint32 code;
            QByteArray payload;
            QStringList signal;
            std::function<bool()> check;
        };
        // clang-format off
        const QByteArray join = Payload().Str("den").U32(2)
            .Str(kMe).U32(2).Stats(UserStats(10, 0, 20, 1)).Str("FR")
            .Str("bob").U32(1).Stats(UserStats(30, 0, 40, 1)).Str("NL")
            .Str("bob").U32(1).Str(kMe);
        const QList<Row> rows = {
            {5, Payload().Str("bob").U8(1).U32(1).Stats(UserStats(300, 4, 50, 6)).Str("DE"), {"AddUserResponse(bob,true)"}, [&] {
                return Has(bob, "is_online") && Has(bob, "is_away") && Has(bob, "is_tracked") &&
                       Attr(bob, "average_download_speed") == "300" && Attr(bob, "shared_file_count") == "50" &&
                       Attr(bob, "country_code") == "DE"; }},
            // A status out of range is dropped whole.
            {7, Payload().Str("bob").U32(9), {}, [&] { return Has(bob, "is_away"); }},
            {7, Payload().Str("bob").U32(2), {}, [&] { return Has(bob, "is_online") && !Has(bob, "is_away"); }},
            {7, Payload().Str("bob").U32(0), {}, [&] { return !Has(bob, "is_online"); }},
            {5, Payload().Str("bob").U8(0), {"AddUserResponse(bob,false)"}, [&] { return !Has(bob, "is_tracked"); }},
            {36, Payload().Str("bob").Stats(UserStats(900, 1, 70, 2)), {"ReceivedUserStats(bob,)"},
                [&] { return Attr(bob, "average_download_speed") == "900"; }},
            // Ignored users' chat is not passed on.
            {13, Payload().Str("lobby").Str("troll").Str("boo"), {}, nullptr},
            {13, Payload().Str("lobby").Str("bob").Str("hi"), {"RoomChat(lobby,bob,hi)"}, nullptr},
            {22, Payload().Str("troll").U32(5).U8(1).Str("boo"), {}, nullptr},
            {22, Payload().Str("bob").U32(1700000000).U8(0).Str("back"), {"PrivateChat(bob,back,1700000000,false)"}, nullptr},
            // Join answer: members replace the stale one; owner and operators.
            {14, join, {}, [&] {
                return Has(Room("den"), "in_room") &&
                       Room("den").CountItems("user") == 2 && Attr(bob, "country_code") == "NL" &&
                       Attr(User(kMe), "average_download_speed") == "10" &&
                       Linked(Room("den"), "room_owner", "bob") && Linked(Room("den"), "room_operators", kMe); }},
            {16, Payload().Str("den").Str("carl").U32(2).Stats(UserStats()).Str("SE"), {}, [&] { return Room("den").IsConnected(User("carl")); }},
            {17, Payload().Str("den").Str("carl"), {}, [&] { return !Room("den").IsConnected(User("carl")); }},
            // Private-room roles replace the previous list; a role out of range drops it whole.
            {133, Payload().U32(2).Str("den").U8(3).Str("club").U8(2), {}, [&] {
                return Has(Room("den"), "is_owner") && Has(Room("club"), "is_operator") &&
                       Has(Room("club"), "is_member") && !Has(Room("den"), "is_member"); }},
            {133, Payload().U32(1).Str("club").U8(1), {}, [&] { return !Has(Room("den"), "is_owner") && !Has(Room("club"), "is_operator"); }},
            {133, Payload().U32(2).Str("den").U8(3).Str("club").U8(7), {}, [&] { return !Has(Room("den"), "is_owner"); }},
            {134, Payload().Str("club").Str("dora"), {}, [&] { return Linked(Room("club"), "room_members", "dora"); }},
            {135, Payload().Str("club").Str("dora"), {}, [&] { return !Linked(Room("club"), "room_members", "dora"); }},
            {15, Payload().Str("den"), {}, [&] { return !Has(Room("den"), "in_room") && Room("den").CountItems("user") == 0; }},
            // A join that crosses our leave: the room we are out of stays empty.
            {16, Payload().Str("den").Str("erin").U32(2).Stats(UserStats()).Str("SE"), {}, [&] {
                return Room("den").CountItems("user") == 0 && !Has(Room("den"), "in_room"); }},
            // A room list is taken only when asked for (then asked), and only once.
            {64, Payload().U32(1).Str("r1").U32(12), {}, [&] { return Room("r1").IsNull() && (SetSettingYes("accept_room_list", true), true); }},
            {64, Payload().U32(2).Str("r1").U32(12).Str("r2").U32(3), {}, [&] {
                return Attr(Room("r1"), "user_count") == "12" && Attr(Room("r2"), "user_count") == "3" &&
                       !IsSettingYes("accept_room_list"); }},
            {113, Payload().U32(0).U32(0), {}, [&] { return tickers("den").isEmpty(); }},
            {113, Payload().Str("den").U32(2).Str("bob").Str("hello").Str("carl").Str("yo"), {}, [&] { return tickers("den") == QStringList({"bob:hello", "carl:yo"}); }},
            {114, Payload().Str("den").Str("bob").Str("changed"), {}, [&] { return tickers("den") == QStringList({"carl:yo", "bob:changed"}); }},
            {69, Payload().U32(2).Str("bob").Str("carl"), {}, [&] { return Has(bob, "is_privileged") && Has(User("carl"), "is_privileged"); }},
            {91, Payload().Str("dora"), {}, [&] { return Has(User("dora"), "is_privileged"); }},
            // A later list is the whole list: who is left out loses the flag.
            {69, Payload().U32(1).Str("carl"), {}, [&] {
                return !Has(bob, "is_privileged") && Has(User("carl"), "is_privileged") &&
                       !Has(User("dora"), "is_privileged"); }},
            {92, Payload().U32(86400).U8(1), {"ReceivedOwnPrivilegesStatus(86400)"}, [&] {
                return GetSettingInt("privileges_time_left") == 86400 && GetSetting("is_supporter") == "yes"; }},
            {141, Payload().U8(1), {"PrivateRoomAddEnabled(true)"}, [&] { return IsSettingYes("enable_private_room_add"); }},
            {26, Payload().Str("bob").U32(4000000000u).Str("some song"), {"DirectFileSearch(bob,4000000000,some song)"}, nullptr},
            {153, Payload().Str("song").U32(2).Str("song mp3").U32(9).Str("songs").U32(4), {"SearchCorrelations(song)"},
                [&] { return d.GetType("search_correlation")->ItemCount() == 2; }},
            {3, Payload().Str("peer").U32(0x7F000001).U32(4000).U32(4001), {"PeerAddress(peer,2130706433,4000,4001)"}, [&] {
                return Attr(User("peer"), "user_address") == "2130706433" && Attr(User("peer"), "user_port") == "4000"; }},
            // Address 0 means offline or unknown: the known address stays, and
            // the unknown users share no "0" address (nor the flags that follow one).
            {3, Payload().Str("peer").U32(0).U32(0).U32(0), {"PeerAddress(peer,0,0,0)"}, [&] {
                return Attr(User("peer"), "user_address") == "2130706433" && Attr(User("peer"), "user_port") == "4000"; }},
            {3, Payload().Str("ghost").U32(0).U32(0).U32(0), {"PeerAddress(ghost,0,0,0)"}, [&] {
                return !Has(User("ghost"), "user_address") && !Has(User("ghost"), "user_port") &&
                       d.GetType("user_address")->HasItem(Value(quint32(0))).IsNull(); }},
            {18, Payload().Str("peer").Str("P").U32(0x7F000001).U32(4000).U32(555), {"ConnectToPeerRequested(peer,P,2130706433,4000,555)"}, nullptr},
            {1001, Payload().U32(66).Str("nobody"), {"CannotConnectToPeer(66,nobody)"}, nullptr},
            {83, Payload().U32(10), {"DNetParentMinSpeed(10)"}, nullptr},
            {84, Payload().U32(0), {"DNetParentSpeedConnectionRatio(0)"}, nullptr},
            {104, Payload().U32(4000000000u), {"WishListWait(4000000000)"}, nullptr},
            {128, Payload().U32(17), {"DNetDeliveryReport(17)"}, nullptr},
            {130, {}, {"DNetReset()"}, nullptr},
            // The relay carries exactly the frame; a port that does not fit drops the list.
            {93, dnetFrame, {}, [&] { return relayed == dnetFrame && relayStart == 0; }},
            {102, Payload().U32(2).Str("p1").U32(1).U32(2234).Str("p2").U32(2).U32(65535), {},
                [&] { return parents == QStringList({"p1@1:2234", "p2@2:65535"}); }},
            {102, Payload().U32(1).Str("p3").U32(1).U32(70000), {}, [&] { return parents.size() == 2; }},
        };
        // clang-format on
        // Whatever the login brought in goes first.
        QVERIFY(Feed(SM_ADMIN_MESSAGE, Payload().Str("sync")));
        emitted();
        for (int k = 0; k < rows.size(); ++k) {
            const Row& row = rows[k];
            QVERIFY(Feed(row.code, row.payload));
            const QString name = QString("row %1, code %2").arg(k).arg(row.code);
            QVERIFY2(emitted() == row.signal, qPrintable(name));
            QVERIFY2(!row.check || row.check(), qPrintable(name));
        }

        // The same messages mutated, and noise under any code, straight to
        // the handler: nothing may crash or size itself from a count it
        // claims, and the store grows only with the bytes that arrived.
        fuzz::Rng rng(20240601u);
        qint64 bytesFed = 0;
        const std::size_t itemsBefore = d.ItemCount();
        std::size_t largest = 0;
        for (int iteration = 0; iteration < 50000; ++iteration) {
            const Row& row = rows[fuzz::Below(rng, rows.size())];
            const quint32 code = fuzz::Below(rng, 20) ? row.code : rng() % 1100;
            MemStream payload(fuzz::Mutate(rng, row.payload));
            bytesFed += payload.BytesLeft();
            if (fuzz::Below(rng, 4) == 0)
                SetSettingYes("accept_room_list", true);
            largest =
                std::max(largest, LargestAllocation([&] { server->HandleMessage(code, payload); }));
        }
        QVERIFY(emitted().size() > 1000);  // the well-formed share took effect
        QVERIFY(qint64(d.ItemCount() - itemsBefore) <= bytesFed);
        QVERIFY2(largest < std::size_t(1) << 20, qPrintable(QString::number(largest)));
        // A string just over the limit is refused, one at it taken; the
        // handler still works after all of the above.
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        const int cap = int(InputStream::kMaxStringLength);
        MemStream over(Payload().U32(quint32(cap) + 1).Raw(QByteArray(cap + 1, 'a')));
        server->HandleMessage(SM_ADMIN_MESSAGE, over);
        MemStream at(Payload().Str(QString(cap, 'a')));
        server->HandleMessage(SM_ADMIN_MESSAGE, at);
        QCOMPARE(admin.count(), 1);
    }

    void framing() {
        QVERIFY(LogIn());
        // Small requests leave at once, not behind an unacknowledged one.
        const auto sockets = server->findChildren<QTcpSocket*>();
        QVERIFY(std::any_of(sockets.begin(), sockets.end(), [&](QTcpSocket* s) {
            return s->peerPort() == ts->Port() &&
                   s->socketOption(QAbstractSocket::LowDelayOption).toInt() == 1;
        }));
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        // Two frames in one write; a malformed payload is dropped, the
        // connection stays.
        ts->SendRawTo(kMe, RawPeer::Frame(66, Payload().Str("one")) +
                               RawPeer::Frame(66, Payload().U32(50)) +
                               RawPeer::Frame(66, Payload().Str("two")));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 2, kWait);
        QCOMPARE(admin[1][0].toString(), QString("two"));
        // A burst is handled in turns of the event loop, in order: what was
        // posted when its first message came runs long before its last one,
        // with a receiver that takes a millisecond for each.
        {
            QByteArray burst;
            for (int i = 0; i < 300; ++i)
                burst += RawPeer::Frame(66, Payload().Str(QString("burst %1").arg(i)));
            int handledBeforeTurn = -1;
            QStringList texts;
            QObject receiver;  // ends the receiver and its posted call with the block
            connect(server.get(), &Server::AdminMessage, &receiver, [&](QString text) {
                if (texts.isEmpty())
                    QTimer::singleShot(0, &receiver, [&] { handledBeforeTurn = texts.size(); });
                texts << text;
                QElapsedTimer work;
                work.start();
                while (work.nsecsElapsed() < 1000000) {
                }
            });
            ts->SendRawTo(kMe, burst);
            QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 300, kWait);
            QVERIFY2(handledBeforeTurn > 0 && handledBeforeTurn < 100,
                     qPrintable(QString::number(handledBeforeTurn)));
            QCOMPARE(texts.last(), QString("burst 299"));
        }
        admin.clear();
        // The largest frame there may be is taken (an unknown code, ignored).
        const QByteArray big(int(Server::kMaxFrameLength) - 4, 'z');
        ts->SendRawTo(kMe,
                      RawPeer::Frame(999, big) + RawPeer::Frame(66, Payload().Str("big done")));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 1, 20000);
        QVERIFY(server->IsConnected());
        // Lengths out of bounds end the connection as an unexpected drop.
        for (quint32 length : {Server::kMaxFrameLength + 1, 3u, 0u, 0xFFFFFFFFu}) {
            if (!server->IsConnected())
                QVERIFY(LogIn());
            QSignalSpy disconnected(server.get(), &Server::Disconnected);
            ts->SendRawTo(kMe, Payload().U32(length).Raw(QByteArray(8, 'q')));
            QVERIFY(disconnected.wait(kWait));
            QVERIFY(server->IsAbruptlyDisconnected());
        }
    }

    void floodWaitsInTcp() {
        QVERIFY(LogIn());
        // Far more than the socket may hold, in one write, to a receiver
        // slower than the loopback: the rest has to wait in TCP.
        const int total = 40000;
        QByteArray flood;
        for (int i = 0; i < total; ++i)
            flood += RawPeer::Frame(SM_SAY_IN_ROOM,
                                    Payload().Str("r").Str("bob").Str(
                                        QString("line %1 ").arg(i).leftJustified(150, '.')));
        QVERIFY(flood.size() > 20 * Server::kReadBufferSize);
        QStringList texts;
        qint64 mostUnhandled = 0;
        bool inOrder = true;
        QObject receiver;
        connect(server.get(), &Server::RoomChat, &receiver, [&](QString, QString, QString text) {
            inOrder &= text.startsWith(QString("line %1 ").arg(texts.size()));
            texts << text;
            mostUnhandled = std::max(mostUnhandled, server->UnhandledBytes());
            QElapsedTimer work;
            work.start();
            while (work.nsecsElapsed() < 20000) {
            }
        });
        ts->SendRawTo(kMe, flood);
        // Sent and answered while the flood waits.
        QTRY_VERIFY_WITH_TIMEOUT(!texts.isEmpty(), kWait);
        server->OnFiveMinuteTick();
        QCOMPARE(Expect(SM_KEEP_ALIVE), QByteArray());
        QVERIFY(texts.size() < total);
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), total, 60000);
        QVERIFY(inOrder);
        QVERIFY2(mostUnhandled <= Server::kReadBufferSize + 64 * 1024,
                 qPrintable(QString::number(mostUnhandled)));
        QVERIFY(server->IsConnected());
    }

    void floodBeforeTheClose() {
        QVERIFY(LogIn());
        // A socket's worth of lines and then the close: they are handled in
        // turns of the event loop like any others, in order, all before the
        // drop is told.
        const int total = 1500;
        QByteArray flood;
        for (int i = 0; i < total; ++i)
            flood += RawPeer::Frame(SM_SAY_IN_ROOM,
                                    Payload().Str("r").Str("bob").Str(QString("last %1").arg(i)));
        QStringList texts;
        int linesAtDrop = -1;
        int turnStart = 0;
        int mostInOneTurn = 0;
        bool turnPosted = false;
        QObject receiver;
        connect(server.get(), &Server::RoomChat, &receiver, [&](QString, QString, QString text) {
            if (!turnPosted) {
                turnPosted = true;
                QTimer::singleShot(0, &receiver, [&] {
                    turnPosted = false;
                    turnStart = texts.size();
                });
            }
            texts << text;
            mostInOneTurn = std::max(mostInOneTurn, int(texts.size()) - turnStart);
            QElapsedTimer work;
            work.start();
            while (work.nsecsElapsed() < 100000) {
            }
        });
        connect(server.get(), &Server::Disconnected, &receiver,
                [&] { linesAtDrop = texts.size(); });
        ts->SendRawTo(kMe, flood);
        ts->DropClient(kMe);
        QTRY_COMPARE_WITH_TIMEOUT(linesAtDrop, total, kWait);
        QCOMPARE(texts.last(), QString("last %1").arg(total - 1));
        QVERIFY2(mostInOneTurn < total / 3, qPrintable(QString::number(mostInOneTurn)));
        QVERIFY(server->IsAbruptlyDisconnected());
    }

    void wishList() {
        QVERIFY(LogIn());
        WishListSearcher searcher;
        const QTimer& timer = searcher.SearchTimer();
        const auto entry = [](const char* text, bool enabled) {
            const ItemPtr item = d.GetType("wish_list_item")->GetItem(text);
            if (enabled)
                item.Connect(d.GetType("wish_list_item_enabled")->GetGlobalNullItem());
            else
                item.Disconnect("wish_list_item_enabled");
        };
        // Takes n turns; the texts the server got for them (after the token
        // and the text's length), proven complete by a request sent behind.
        const auto turns = [&](int n) {
            for (int k = 0; k < n; ++k)
                searcher.OnSearchTimerTimeout();
            server->GetUserStats("~sync");
            QStringList texts;
            QByteArray payload;
            const bool synced = ts->WaitForMessage(kMe, SM_GET_USER_STATS, kWait);
            while (ts->WaitForMessage(kMe, SM_LOW_PRIORITY_FILE_SEARCH, 0, &payload))
                texts << QString::fromUtf8(payload.mid(8));
            return synced ? texts : QStringList{"<no sync>"};
        };
        turns(0);
        for (const char* text : {"beta", "alpha", "Zulu"})
            entry(text, true);
        entry("off", false);
        // Sorted, case counts; past the end after a disable: taken modulo the
        // new count, then back to 0; an added entry takes its place.
        QCOMPARE(turns(4), QStringList({"Zulu", "alpha", "beta", "Zulu"}));
        QCOMPARE(turns(1), QStringList({"alpha"}));
        entry("beta", false);
        QCOMPARE(turns(2), QStringList({"Zulu", "Zulu"}));
        QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 1);
        entry("Mike", true);
        QCOMPARE(turns(3), QStringList({"Zulu", "alpha", "Mike"}));
        // None enabled: nothing sent, the index unchanged.
        for (const char* text : {"Mike", "Zulu", "alpha"})
            entry(text, false);
        SetRuntimeSetting("wish_list_search_index", 2);
        QCOMPARE(turns(3), QStringList());
        QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 2);

        // The server's interval; a new one restarts the wait. Bounds: 0 would
        // search on every pass of the event loop, the milliseconds of the
        // others overflow 32 bits.
        entry("alpha", true);
        QVERIFY(!timer.isActive());
        QVERIFY(Feed(SM_WISHLIST_WAIT, Payload().U32(600)));
        QVERIFY(timer.isActive() && !timer.isSingleShot());
        QCOMPARE(timer.interval(), 600000);
        QCOMPARE(GetRuntimeSetting("wish_list_wait"), QString("600"));
        searcher.OnWishListWait(120);
        QVERIFY(timer.remainingTime() > 110000);
        for (const auto& bound : QList<QPair<uint, int>>{
                 {0, 60000}, {4294967295u, 86400000}, {2147484, 86400000}, {86400, 86400000}}) {
            searcher.OnWishListWait(bound.first);
            QCOMPARE(timer.interval(), bound.second);
            QVERIFY(timer.isActive());
        }
    }
};

QTEST_GUILESS_MAIN(TestServerConnection)
#include "test_server.moc"
