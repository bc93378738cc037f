// The server connection against the loopback test server: login and its
// refusals, drops and reconnection, keep-alive, the senders' layouts and
// gating, every incoming message's store changes and signals, and framing.

#include <QCryptographicHash>
#include <QDateTime>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <functional>
#include <memory>

#include "net/PortForwarder.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/CoreServices.h"
#include "support/Payload.h"
#include "support/TestServer.h"

namespace {

const char* const kMe = "alice";
const int kWait = 5000;

QByteArray Frame(quint32 code, const QByteArray& payload) {
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    return frame + payload;
}

QByteArray LengthOnly(quint32 length) {
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(length, bytes.data());
    return bytes;
}

ItemPtr User(const QString& name) {
    return d.GetType("user")->HasItem(Value(name));
}

ItemPtr Room(const QString& name) {
    return d.GetType("room")->HasItem(Value(name));
}

void WaitUntil(const std::function<bool()>& condition) {
    QElapsedTimer t;
    t.start();
    while (!condition() && t.elapsed() < kWait)
        QTest::qWait(5);
}

QString Attr(const ItemPtr& item, const char* type) {
    return item.IsNull() ? QString() : item[type].AsString();
}

// The types the peer messenger declares, as far as the server fills them.
void DeclarePeerTypes() {
    Type* user = d.GetType("user");
    Type* request = d.NewType("search_request", PrimacyIntermediate, false, true);
    Type* text = d.NewType("search_request_text", PrimacyRoot, false, true);
    Type* wish = d.NewType("wishlist_search", PrimacyLeaf, true, false);
    d.NewType("search_correlation", PrimacyIntermediate, true, false);
    Type* address = d.NewType("user_address", PrimacyLeaf, false, true);
    Type* port = d.NewType("user_port", PrimacyLeaf, false, true);
    text->RelateToType(request, One, Many, false);
    request->RelateToType(wish, Many, One, false);
    user->RelateToType(address, Many, One, false);
    user->RelateToType(port, Many, One, false);
}

// A second user logged in with a bare socket, so that the test server knows it.
class RawClient {
public:
    bool Login(TestServer& ts, const QString& user, const QString& password = "pw") {
        socket.connectToHost(QHostAddress::LocalHost, ts.Port());
        if (!socket.waitForConnected(kWait))
            return false;
        MemStream m;
        m.Write(user);
        m.Write(password);
        m.Write(quint32(157));
        m.Write(quint32(100));
        m.Write(QCryptographicHash::hash(user.toUtf8() + password.toUtf8(), QCryptographicHash::Md5)
                    .toHex());
        socket.write(Frame(1, m.GetWrittenBytes()));
        QElapsedTimer t;
        t.start();
        while (!ts.IsLoggedIn(user) && t.elapsed() < kWait)
            QTest::qWait(5);
        return ts.IsLoggedIn(user);
    }
    QTcpSocket socket;
};

// Records store events for the checks that depend on their order.
class Watcher : public DataHandler {
public:
    void OnRoomEntered(ConnectionInfo& info) {
        membersWhenEntered = info.from.CountItems("user");
        ++entered;
    }
    int entered = 0;
    int membersWhenEntered = -1;
};

// A server that accepts connections and does whatever the test tells it.
class ScriptedServer : public QObject {
public:
    enum Mode { CloseAtOnce, CloseAfterLogin, Silent };
    explicit ScriptedServer(Mode mode) : m_mode(mode) {
        listener.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = listener.nextPendingConnection()) {
                ++accepted;
                sockets.append(s);
                if (m_mode == CloseAtOnce) {
                    s->abort();
                } else if (m_mode == CloseAfterLogin) {
                    QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                        s->readAll();
                        s->disconnectFromHost();
                    });
                }
            }
        });
    }
    QString Address() const { return QString("127.0.0.1:%1").arg(listener.serverPort()); }
    QTcpServer listener;
    QList<QTcpSocket*> sockets;
    int accepted = 0;

private:
    Mode m_mode;
};

}  // namespace

class TestServerConnection : public QObject, CoreServices {
    Q_OBJECT

private:
    std::unique_ptr<TestServer> ts;

    bool LogIn(const QString& user = kMe) {
        SetSetting("username", Value(user));
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        return connected.count() > 0 || connected.wait(kWait);
    }

    // Waits until the test server has the frame; returns its payload.
    QByteArray Expect(quint32 code, const QString& user = kMe) {
        QByteArray payload;
        if (!ts->WaitForMessage(user, code, kWait, &payload))
            return QByteArray("<none>");
        return payload;
    }

    void Deliver(quint32 code, const QByteArray& payload) { ts->SendTo(kMe, code, payload); }

private slots:
    void init() {
        StartCore(false);
        DeclarePeerTypes();
        ts.reset(new TestServer);
        QVERIFY(ts->Listen());
        qputenv("TAVENOOK_SERVER", ts->Address().toUtf8());
        SetSetting("username", kMe);
        SetSetting("password", "pw");
        SetSetting("use_upnp", "yes");
        SetSetting("listening_port", 2234);
        SetSetting("obfuscated_listening_port", 2235);
    }

    void cleanup() {
        server.reset();
        ts.reset();
        StopCore();
    }

    void createDataDefaultsAndAddress() {
        QVERIFY(gp_server == server.get());
        QVERIFY(portForwarder != nullptr);
        QCOMPARE(GetSetting("availability_status"), QString("available"));
        // "use_upnp" is filled only when the load left it empty.
        ClearSetting("use_upnp");
        server->DataLoaded();
        QCOMPARE(GetSetting("use_upnp"), QString("yes"));
        SetSetting("use_upnp", "no");
        server->DataLoaded();
        QCOMPARE(GetSetting("use_upnp"), QString("no"));

        // Each user and each room gets its own list item and role nodes.
        const ItemPtr a = d.GetType("user")->GetItem("a");
        const ItemPtr b = d.GetType("user")->GetItem("b");
        QVERIFY(a.NewItem("in_user_list") != b.NewItem("in_user_list"));
        QVERIFY(a.NewItem("is_ignored") == b.NewItem("is_ignored"));
        const ItemPtr r1 = d.GetType("room")->GetItem("r1");
        const ItemPtr r2 = d.GetType("room")->GetItem("r2");
        QVERIFY(r1.NewItem("room_operators") != r2.NewItem("room_operators"));

        QString host;
        quint16 port = 0;
        qputenv("TAVENOOK_SERVER", "example.test");
        Server::ServerAddress(host, port);
        QCOMPARE(host, QString("example.test"));
        QCOMPARE(port, quint16(2242));
        qputenv("TAVENOOK_SERVER", "127.0.0.1:4567");
        Server::ServerAddress(host, port);
        QCOMPARE(host, QString("127.0.0.1"));
        QCOMPARE(port, quint16(4567));
        qunsetenv("TAVENOOK_SERVER");
        Server::ServerAddress(host, port);
        QCOMPARE(host, QString(Server::kDefaultHost));
        QCOMPARE(port, quint16(2242));
    }

    void savedTypesAndLoad() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString prefix = dir.path() + "/.Tavenook";
        Type* users = d.GetType("user");
        const ItemPtr listed = users->GetItem("listed");
        const ItemPtr group = d.GetType("user_list_group")->GetItem("friends");
        listed.NewItem("in_user_list").Connect(group);
        group.Connect(d.GetType("group_download_priority")->GetItem(3));
        group.NewItem("accept_uploads");
        users->GetItem("ignored").NewItem("is_ignored");
        users->GetItem("online").NewItem("is_online");
        users->GetItem("tracked").NewItem("is_tracked");
        d.GetType("room")->GetItem("auto").NewItem("room_autojoin");
        d.GetType("room")->GetItem("plain").NewItem("in_room");
        QVERIFY(saver->Save(prefix));

        server.reset();
        saver.reset();
        d.Reset();
        saver.reset(new DataSaver);
        DeclareSettingsTypes(saver.get());
        Server::CreateData();
        DeclarePeerTypes();
        server.reset(new Server);
        SetSetting("use_upnp", "no");
        ClearSetting("use_upnp");
        saver->Load(prefix);
        // The server's data-loaded handler ran: "use_upnp" was not saved.
        QCOMPARE(GetSetting("use_upnp"), QString("yes"));
        const ItemPtr listedAgain = User("listed");
        QVERIFY(!listedAgain.IsNull());
        const ItemPtr groupAgain = listedAgain["in_user_list"]["user_list_group"];
        QCOMPARE(groupAgain.AsString(), QString("friends"));
        QCOMPARE(Attr(groupAgain, "group_download_priority"), QString("3"));
        QVERIFY(groupAgain.IsConnected("accept_uploads"));
        QVERIFY(User("ignored").IsConnected("is_ignored"));
        QVERIFY(User("online").IsNull());
        QVERIFY(User("tracked").IsNull());
        QVERIFY(Room("auto").IsConnected("room_autojoin"));
        QVERIFY(Room("plain").IsNull());
    }

    void loginAndDutiesAfterIt() {
        RawClient bob;
        QVERIFY(bob.Login(*ts, "bob"));
        // Marked while logged out: nothing can be sent, the mark stays.
        server->TrackUser("bob");
        QVERIFY(User("bob").IsConnected("is_tracked"));
        d.GetType("room")->GetItem("lobby").NewItem("room_autojoin");
        server->SetAvailabilityStatus(false);

        QSignalSpy connecting(server.get(), &Server::Connecting);
        int mappingsAtConnected = -1;
        bool loggedInAtConnected = false;
        connect(server.get(), &Server::Connected, this, [&] {
            mappingsAtConnected = portForwarder->MappedPorts().size();
            loggedInAtConnected = server->IsConnected();
        });
        QVERIFY(!server->IsConnected());
        QVERIFY(LogIn());
        QCOMPARE(connecting.count(), 1);
        QCOMPARE(portForwarder->InitCount(), 1);
        QVERIFY(loggedInAtConnected);
        QCOMPARE(mappingsAtConnected, 2);
        QCOMPARE(portForwarder->MappedPorts(), QList<int>({2234, 2235}));

        // The duties' messages, in order, before anything else.
        QVERIFY(ts->WaitForMessage(kMe, SM_SET_STATUS, kWait));
        const auto frames = ts->Received(kMe);
        QVERIFY(frames.size() >= 4);
        QCOMPARE(frames[0].first, quint32(SM_SET_LISTENING_PORTS));
        QCOMPARE(frames[0].second, Payload().U32(2234).U32(2235).Bytes());
        QCOMPARE(frames[1].first, quint32(SM_ADD_USER));
        QCOMPARE(frames[1].second, Payload().Str("bob").Bytes());
        QCOMPARE(frames[2].first, quint32(SM_JOIN_ROOM));
        QCOMPARE(frames[2].second, Payload().Str("lobby").U32(0).Bytes());
        QCOMPARE(frames[3].first, quint32(SM_SET_STATUS));
        QCOMPARE(frames[3].second, Payload().U32(1).Bytes());

        // The answers: bob is online, the room is entered.
        QTRY_VERIFY_WITH_TIMEOUT(User("bob").IsConnected("is_online"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(Room("lobby").IsConnected("in_room"), kWait);
        QVERIFY(Room("lobby").IsConnected(User(kMe)));

        // A second Connect while logged in changes nothing.
        server->Connect();
        QCOMPARE(connecting.count(), 1);
        QVERIFY(server->IsConnected());

        // Without UPnP nothing is mapped.
        server->Disconnect();
        SetSetting("use_upnp", "no");
        QVERIFY(LogIn());
        QCOMPARE(portForwarder->InitCount(), 1);
        QCOMPARE(portForwarder->MappedPorts().size(), 2);
    }

    void connectNeedsUserNameAndDefaultPassword() {
        SetSetting("username", "");
        QSignalSpy connecting(server.get(), &Server::Connecting);
        server->Connect();
        QCOMPARE(connecting.count(), 0);
        QVERIFY(!server->IsConnecting());

        // An empty password logs in with the built-in one.
        SetSetting("password", "");
        QVERIFY(LogIn("dave"));
        server->Disconnect();
        SetSetting("password", Server::kDefaultPassword);
        QVERIFY(LogIn("dave"));
        server->Disconnect();
        SetSetting("password", "other");
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->Connect();
        QVERIFY(failed.wait(kWait));
        QCOMPARE(failed.at(0).at(0).toString(), QString("INVALIDPASS"));
    }

    void refusalsAreReportedAndNotRetried() {
        const QStringList reasons = {"INVALIDPASS", "INVALIDUSERNAME", "SERVER FULL"};
        for (const QString& reason : reasons) {
            ts->RefuseNextLogin(reason);
            QSignalSpy failed(server.get(), &Server::ConnectionFailed);
            QSignalSpy connected(server.get(), &Server::Connected);
            QSignalSpy connecting(server.get(), &Server::Connecting);
            server->Connect();
            QVERIFY(failed.wait(kWait));
            QCOMPARE(failed.count(), 1);
            QCOMPARE(failed.at(0).at(0).toString(), reason);
            QCOMPARE(connected.count(), 0);
            QVERIFY(!server->IsConnected());
            QVERIFY(!server->IsConnecting());
            QVERIFY(!server->IsAbruptlyDisconnected());
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

    void socketErrorsBeforeTheReply() {
        // Closed before any reply, closed after the login was sent, nobody
        // listening at all.
        for (ScriptedServer::Mode mode :
             {ScriptedServer::CloseAtOnce, ScriptedServer::CloseAfterLogin}) {
            ScriptedServer scripted(mode);
            qputenv("TAVENOOK_SERVER", scripted.Address().toUtf8());
            QSignalSpy failed(server.get(), &Server::ConnectionFailed);
            server->Connect();
            QVERIFY(failed.wait(kWait));
            QCOMPARE(failed.at(0).at(0).toString(), QString("socket error"));
            QVERIFY(!server->IsConnecting());
            QVERIFY(!server->IsAbruptlyDisconnected());
        }
        {
            quint16 freePort = 0;
            {
                QTcpServer probe;
                QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
                freePort = probe.serverPort();
            }
            qputenv("TAVENOOK_SERVER", QString("127.0.0.1:%1").arg(freePort).toUtf8());
            QSignalSpy failed(server.get(), &Server::ConnectionFailed);
            server->Connect();
            QVERIFY(failed.wait(kWait));
            QCOMPARE(failed.at(0).at(0).toString(), QString("socket error"));
        }
        // A server that never answers: the attempt ends on the second tick.
        ScriptedServer silent(ScriptedServer::Silent);
        qputenv("TAVENOOK_SERVER", silent.Address().toUtf8());
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->Connect();
        QTRY_COMPARE_WITH_TIMEOUT(silent.accepted, 1, kWait);
        server->OnHalfMinuteTick();
        QVERIFY(server->IsConnecting());
        server->OnHalfMinuteTick();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QString("socket error"));
        QVERIFY(!server->IsConnecting());

        // Disconnect during an attempt stops it quietly.
        QSignalSpy disconnected(server.get(), &Server::Disconnected);
        server->Connect();
        QTRY_COMPARE_WITH_TIMEOUT(silent.accepted, 2, kWait);
        QVERIFY(server->IsConnecting());
        server->Disconnect();
        QVERIFY(!server->IsConnecting());
        server->OnHalfMinuteTick();
        server->OnHalfMinuteTick();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(disconnected.count(), 0);
    }

    void unexpectedDropAndReconnection() {
        RawClient bob;
        QVERIFY(bob.Login(*ts, "bob"));
        QVERIFY(LogIn());
        server->TrackUser("bob");
        QTRY_VERIFY_WITH_TIMEOUT(User("bob").IsConnected("is_online"), kWait);
        server->EnterRoom("lobby", false);
        QTRY_VERIFY_WITH_TIMEOUT(Room("lobby").IsConnected("in_room"), kWait);
        // An old report, as the upload sweeps would see it.
        User("bob").Connect(
            d.GetType("last_online_status_change")
                ->GetItem(QDateTime::currentDateTime().addDays(-1).toString(Qt::TextDate)));

        bool bobOnlineAtSignal = false;
        bool abruptAtSignal = false;
        bool connectedAtSignal = true;
        QSignalSpy disconnected(server.get(), &Server::Disconnected);
        connect(server.get(), &Server::Disconnected, this, [&] {
            bobOnlineAtSignal = User("bob").IsConnected("is_online");
            abruptAtSignal = server->IsAbruptlyDisconnected();
            connectedAtSignal = server->IsConnected();
        });
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        ts->DropClient(kMe);
        QVERIFY(disconnected.wait(kWait));
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(bobOnlineAtSignal);
        QVERIFY(abruptAtSignal);
        QVERIFY(!connectedAtSignal);
        QVERIFY(!User("bob").IsConnected("is_online"));
        const QDateTime changed =
            QDateTime::fromString(Attr(User("bob"), "last_online_status_change"), Qt::TextDate);
        QVERIFY(changed.isValid());
        QVERIFY(changed >= before);
        QVERIFY(Room("lobby").IsConnected("in_room"));
        QVERIFY(server->IsAbruptlyDisconnected());

        // Nothing goes out while down; the keep-alive waits for a login.
        server->OnFiveMinuteTick();
        server->SendUploadSpeed(5);

        // The server is away: the retry fails quietly and stays pending.
        const quint16 port = ts->Port();
        ts->Close();
        QSignalSpy failed(server.get(), &Server::ConnectionFailed);
        server->OnHalfMinuteTick();
        QVERIFY(failed.wait(kWait));
        QCOMPARE(failed.at(0).at(0).toString(), QString("socket error"));
        QVERIFY(server->IsAbruptlyDisconnected());

        // Back again: the next tick logs in, through the timer manager's clock.
        QVERIFY(ts->Listen(port));
        RawClient bobAgain;
        QVERIFY(bobAgain.Login(*ts, "bob"));
        QSignalSpy connected(server.get(), &Server::Connected);
        QMetaObject::invokeMethod(&timers->everyHalfMinute, "timeout");
        QVERIFY(connected.wait(kWait));
        QVERIFY(!server->IsAbruptlyDisconnected());
        QVERIFY(ts->WaitForMessage(kMe, SM_ADD_USER, kWait));
        QTRY_VERIFY_WITH_TIMEOUT(User("bob").IsConnected("is_online"), kWait);
        QVERIFY(ts->WaitForMessage(kMe, SM_SET_LISTENING_PORTS, kWait));
        const auto frames = ts->Received(kMe);
        for (const auto& frame : frames)
            QVERIFY(frame.first != SM_SEND_UPLOAD_SPEED);
    }

    void userDisconnectDoesNotReconnect() {
        QVERIFY(LogIn());
        RawClient bob;
        QVERIFY(bob.Login(*ts, "bob"));
        server->TrackUser("bob");
        QTRY_VERIFY_WITH_TIMEOUT(User("bob").IsConnected("is_online"), kWait);
        QSignalSpy disconnected(server.get(), &Server::Disconnected);
        QSignalSpy connecting(server.get(), &Server::Connecting);
        server->Disconnect();
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(!server->IsConnected());
        QVERIFY(!server->IsAbruptlyDisconnected());
        QVERIFY(!User("bob").IsConnected("is_online"));
        QVERIFY(User("bob").IsConnected("last_online_status_change"));
        server->OnHalfMinuteTick();
        server->OnHalfMinuteTick();
        QCOMPARE(connecting.count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!ts->IsLoggedIn(kMe), kWait);
        // A second Disconnect is harmless.
        server->Disconnect();
        QCOMPARE(disconnected.count(), 1);

        // Disconnect while waiting to reconnect ends the waiting.
        QVERIFY(LogIn());
        ts->DropClient(kMe);
        QTRY_VERIFY_WITH_TIMEOUT(server->IsAbruptlyDisconnected(), kWait);
        server->Disconnect();
        QVERIFY(!server->IsAbruptlyDisconnected());
        server->OnHalfMinuteTick();
        QCOMPARE(connecting.count(), 1);
    }

    void keepAliveAndPortMappingRenewal() {
        QVERIFY(LogIn());
        QMetaObject::invokeMethod(&timers->everyFiveMinutes, "timeout");
        QCOMPARE(Expect(SM_KEEP_ALIVE), QByteArray());

        const int mapped = portForwarder->MappedPorts().size();
        QMetaObject::invokeMethod(&timers->everyHour, "timeout");
        QCOMPARE(portForwarder->MappedPorts().size(), mapped + 2);
        SetSetting("obfuscated_listening_port", 0);
        server->RenewPortMapping();
        QCOMPARE(portForwarder->MappedPorts().size(), mapped + 3);
        SetSetting("use_upnp", "no");
        server->RenewPortMapping();
        QCOMPARE(portForwarder->MappedPorts().size(), mapped + 3);
    }

    void sendersWhileLoggedOut() {
        server->TrackUser("bob");
        QVERIFY(User("bob").IsConnected("is_tracked"));
        QCOMPARE(server->FileSearch("abc", false), quint32(1));
        QCOMPARE(server->FileSearch("abc", true), quint32(2));
        QCOMPARE(server->SearchRoom("lobby", "xyz"), quint32(3));
        QCOMPARE(server->SearchUserList("xyz"), quint32(4));
        Type* requests = d.GetType("search_request");
        const ItemPtr first = requests->HasItem(1);
        const ItemPtr second = requests->HasItem(2);
        QVERIFY(!first.IsNull() && !second.IsNull());
        QCOMPARE(Attr(first, "search_request_text"), QString("abc"));
        QVERIFY(first["search_request_text"] == second["search_request_text"]);
        QVERIFY(!first.IsConnected("wishlist_search"));
        QVERIFY(second.IsConnected("wishlist_search"));
        QCOMPARE(Attr(requests->HasItem(4), "search_request_text"), QString("xyz"));

        server->SetAvailabilityStatus(false);
        QCOMPARE(GetSetting("availability_status"), QString("away"));
        server->GetRoomList();
        QVERIFY(IsSettingYes("accept_room_list"));

        // Leaving while logged out leaves at once.
        const ItemPtr stuck = d.GetType("room")->GetItem("stuck");
        stuck.NewItem("in_room");
        server->LeaveRoom("stuck");
        QVERIFY(!stuck.IsConnected("in_room"));

        QSignalSpy sent(server.get(), &Server::PrivateChatSent);
        server->AddUser("x");
        server->GetUserStats("x");
        server->GetOwnPrivilegesStatus();
        server->GetSearchCorrelations("abc");
        server->SendFilesFolders(1, 2);
        server->SendUploadSpeed(3);
        server->SendPrivateChat("x", "hi");
        server->EnterRoom("r", false);
        server->SendRoomChat("r", "t");
        server->SetRoomTicker("r", "t");
        server->EnablePrivateRoomAdd(true);
        server->GiveUpPrivateRoom("r");
        server->GiveUpPrivateRoomMembership("r");
        server->AddPrivateRoomMember("r", "x");
        server->RemovePrivateRoomMember("r", "x");
        server->AddPrivateRoomOperator("r", "x");
        server->RemovePrivateRoomOperator("r", "x");
        server->GiftPrivileges("x", 1);
        server->MessageUsers({"x"}, "t");
        server->SendDNetHasParent(true);
        server->SendDNetCanParent(true);
        server->SendDNetLevel(1);
        server->SendDNetGroupLeader("x");
        server->SendChildDepth(true);
        server->GetPeerAddress("x");
        server->ConnectToPeer(1, "x", "P");
        server->CannotConnect(1, "x");
        QCOMPARE(sent.count(), 1);

        // None of it was kept for later: the first frame after login is the ports.
        QVERIFY(LogIn());
        QVERIFY(ts->WaitForMessage(kMe, SM_SET_STATUS, kWait));
        const auto frames = ts->Received(kMe);
        QCOMPARE(frames.size(), 3);
        QCOMPARE(frames[0].first, quint32(SM_SET_LISTENING_PORTS));
        QCOMPARE(frames[1].first, quint32(SM_ADD_USER));
        QCOMPARE(frames[2].first, quint32(SM_SET_STATUS));
        // bob is unknown to the server: no longer tracked.
        QTRY_VERIFY_WITH_TIMEOUT(!User("bob").IsConnected("is_tracked"), kWait);
    }

    void senderLayouts() {
        QVERIFY(LogIn());
        RawClient bob;
        QVERIFY(bob.Login(*ts, "bob"));
        // bob's private room, with us as a member, for giving membership up.
        bob.socket.write(Frame(14, Payload().Str("bobs").U32(1)) +
                         Frame(134, Payload().Str("bobs").Str(kMe)));
        QVERIFY(ts->WaitForMessage("bob", 134, kWait));
        struct Case {
            const char* name;
            quint32 code;
            std::function<void()> send;
            QByteArray payload;
        };
        Server* s = server.get();
        const QList<Case> cases = {
            {"add user", 5, [s] { s->AddUser("bob"); }, Payload().Str("bob")},
            {"user stats", 36, [s] { s->GetUserStats("bob"); }, Payload().Str("bob")},
            {"privileges", 92, [s] { s->GetOwnPrivilegesStatus(); }, QByteArray()},
            {"file search", 26, [s] { s->FileSearch("song", false); },
             Payload().U32(1).Str("song")},
            {"wish-list search", 103, [s] { s->FileSearch("tune", true); },
             Payload().U32(2).Str("tune")},
            {"room search", 120, [s] { s->SearchRoom("lobby", "beat"); },
             Payload().Str("lobby").U32(3).Str("beat")},
            {"correlations", 153, [s] { s->GetSearchCorrelations("song"); }, Payload().Str("song")},
            {"away", 28, [s] { s->SetAvailabilityStatus(false); }, Payload().U32(1)},
            {"folders and files", 35, [s] { s->SendFilesFolders(7, 99); },
             Payload().U32(7).U32(99)},
            {"upload speed", 121, [s] { s->SendUploadSpeed(12345); }, Payload().U32(12345)},
            {"private chat", 22, [s] { s->SendPrivateChat("bob", "a\r\nb\nc"); },
             Payload().Str("bob").Str("a  b c")},
            {"join", 14, [s] { s->EnterRoom("secret", true); }, Payload().Str("secret").U32(1)},
            {"room chat", 13, [s] { s->SendRoomChat("secret", "hello"); },
             Payload().Str("secret").Str("hello")},
            {"ticker", 116, [s] { s->SetRoomTicker("secret", "my wall"); },
             Payload().Str("secret").Str("my wall")},
            {"room list", 64, [s] { s->GetRoomList(); }, QByteArray()},
            {"private room add", 141, [s] { s->EnablePrivateRoomAdd(true); }, Payload().U8(1)},
            {"add member", 134, [s] { s->AddPrivateRoomMember("secret", "bob"); },
             Payload().Str("secret").Str("bob")},
            {"add operator", 143, [s] { s->AddPrivateRoomOperator("secret", "bob"); },
             Payload().Str("secret").Str("bob")},
            {"remove operator", 144, [s] { s->RemovePrivateRoomOperator("secret", "bob"); },
             Payload().Str("secret").Str("bob")},
            {"remove member", 135, [s] { s->RemovePrivateRoomMember("secret", "bob"); },
             Payload().Str("secret").Str("bob")},
            {"dismember", 136, [s] { s->GiveUpPrivateRoomMembership("bobs"); },
             Payload().Str("bobs")},
            {"disown", 137, [s] { s->GiveUpPrivateRoom("secret"); }, Payload().Str("secret")},
            {"leave", 15,
             [s] {
                 WaitUntil([] { return Room("secret").IsConnected("in_room"); });
                 s->LeaveRoom("secret");
             },
             Payload().Str("secret")},
            {"gift", 123, [s] { s->GiftPrivileges("bob", 3); }, Payload().Str("bob").U32(3)},
            {"message users", 149,
             [s] {
                 s->MessageUsers({"bob", "carl"}, "all");
             },
             Payload().U32(2).Str("bob").Str("carl").Str("all")},
            {"message nobody", 149, [s] { s->MessageUsers({}, "none"); },
             Payload().U32(0).Str("none")},
            {"has parent", 71, [s] { s->SendDNetHasParent(true); }, Payload().U8(0)},
            {"has no parent", 71, [s] { s->SendDNetHasParent(false); }, Payload().U8(1)},
            {"can parent", 100, [s] { s->SendDNetCanParent(true); }, Payload().U8(1)},
            {"level", 126, [s] { s->SendDNetLevel(-1); }, Payload().I32(-1)},
            {"leader", 127, [s] { s->SendDNetGroupLeader(""); }, Payload().Str("")},
            {"child depth", 129, [s] { s->SendChildDepth(false); }, Payload().U8(0)},
            {"peer address", 3, [s] { s->GetPeerAddress("bob"); }, Payload().Str("bob")},
            {"connect to peer", 18, [s] { s->ConnectToPeer(77, "bob", "F"); },
             Payload().U32(77).Str("bob").Str("F")},
            {"cannot connect", 1001, [s] { s->CannotConnect(78, "bob"); },
             Payload().U32(78).Str("bob")},
        };
        for (const Case& c : cases) {
            ts->ClearReceived(kMe);
            c.send();
            QVERIFY2(Expect(c.code) == c.payload, c.name);
        }

        // Once per online user of the list, with one token.
        d.GetType("user")->GetItem("bob").NewItem("in_user_list");
        d.GetType("user")->GetItem("gone").NewItem("in_user_list");
        server->TrackUser("bob");
        QTRY_VERIFY_WITH_TIMEOUT(User("bob").IsConnected("is_online"), kWait);
        ts->ClearReceived(kMe);
        const quint32 token = server->SearchUserList("hits");
        QCOMPARE(Expect(SM_USER_SEARCH), Payload().Str("bob").U32(token).Str("hits").Bytes());
        server->GetOwnPrivilegesStatus();
        QVERIFY(ts->WaitForMessage(kMe, SM_CHECK_PRIVILEGES, kWait));
        int searches = 0;
        for (const auto& frame : ts->Received(kMe))
            searches += frame.first == SM_USER_SEARCH;
        QCOMPARE(searches, 1);
    }

    void statusAndUserAnswers() {
        QVERIFY(LogIn());
        QSignalSpy answers(server.get(), &Server::AddUserResponse);
        Deliver(5, Payload().Str("bob").U8(1).U32(1).Stats(UserStats(300, 4, 50, 6)).Str("DE"));
        QVERIFY(answers.wait(kWait));
        QCOMPARE(answers.at(0).at(0).toString(), QString("bob"));
        QCOMPARE(answers.at(0).at(1).toBool(), true);
        const ItemPtr bob = User("bob");
        QVERIFY(bob.IsConnected("is_online"));
        QVERIFY(bob.IsConnected("is_away"));
        QCOMPARE(Attr(bob, "average_download_speed"), QString("300"));
        QCOMPARE(Attr(bob, "shared_file_count"), QString("50"));
        QCOMPARE(Attr(bob, "country_code"), QString("DE"));
        QVERIFY(
            QDateTime::fromString(Attr(bob, "last_online_status_change"), Qt::TextDate).isValid());

        // Status reports: online, away, offline; the time moves with online state.
        const QString old = QDateTime::currentDateTime().addDays(-2).toString(Qt::TextDate);
        bob.Connect(d.GetType("last_online_status_change")->GetItem(old));
        struct Step {
            quint32 status;
            bool online, away, timeWritten;
        };
        const QList<Step> steps = {
            {2, true, false, false}, {1, true, true, false}, {0, false, false, true}};
        for (const Step& step : steps) {
            bob.Connect(d.GetType("last_online_status_change")->GetItem(old));
            Deliver(7, Payload().Str("bob").U32(step.status));
            QTRY_COMPARE_WITH_TIMEOUT(bob.IsConnected("is_away"), step.away, kWait);
            QTRY_COMPARE_WITH_TIMEOUT(bob.IsConnected("is_online"), step.online, kWait);
            QCOMPARE(Attr(bob, "last_online_status_change") != old, step.timeWritten);
        }
        // A status out of range is dropped whole.
        Deliver(7, Payload().Str("bob").U32(9));
        Deliver(7, Payload().Str("carl").U32(2));
        QTRY_VERIFY_WITH_TIMEOUT(!User("carl").IsNull(), kWait);
        QVERIFY(!bob.IsConnected("is_online"));

        // Unknown user: no longer tracked.
        bob.NewItem("is_tracked");
        Deliver(5, Payload().Str("bob").U8(0));
        QVERIFY(answers.wait(kWait));
        QCOMPARE(answers.at(1).at(1).toBool(), false);
        QVERIFY(!bob.IsConnected("is_tracked"));

        QSignalSpy stats(server.get(), &Server::ReceivedUserStats);
        Deliver(36, Payload().Str("bob").Stats(UserStats(900, 1, 70, 2)));
        QVERIFY(stats.wait(kWait));
        QCOMPARE(stats.at(0).at(1).value<UserStats>(), UserStats(900, 1, 70, 2));
        QCOMPARE(Attr(bob, "average_download_speed"), QString("900"));
        QCOMPARE(Attr(bob, "shared_file_count"), QString("70"));
    }

    void chatsAreFilteredByIgnore() {
        QVERIFY(LogIn());
        d.GetType("user")->GetItem("troll").NewItem("is_ignored");
        QSignalSpy room(server.get(), &Server::RoomChat);
        QSignalSpy priv(server.get(), &Server::PrivateChat);
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        Deliver(13, Payload().Str("lobby").Str("troll").Str("boo"));
        Deliver(13, Payload().Str("lobby").Str("bob").Str("hi all"));
        Deliver(22, Payload().Str("troll").U32(5).U8(1).Str("boo"));
        Deliver(22, Payload().Str("bob").U32(1700000000).U8(0).Str("while away"));
        Deliver(66, Payload().Str("maintenance"));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 1, kWait);
        QCOMPARE(room.count(), 1);
        QCOMPARE(room.at(0).at(0).toString(), QString("lobby"));
        QCOMPARE(room.at(0).at(1).toString(), QString("bob"));
        QCOMPARE(room.at(0).at(2).toString(), QString("hi all"));
        QCOMPARE(priv.count(), 1);
        QCOMPARE(priv.at(0).at(0).toString(), QString("bob"));
        QCOMPARE(priv.at(0).at(1).toString(), QString("while away"));
        QCOMPARE(qvariant_cast<time_t>(priv.at(0).at(2)), time_t(1700000000));
        QCOMPARE(priv.at(0).at(3).toBool(), false);
        QCOMPARE(admin.at(0).at(0).toString(), QString("maintenance"));
    }

    void roomsJoinsLeavesAndRoles() {
        QVERIFY(LogIn());
        Watcher watcher;
        d.AddConnectionEventHandler(d.GetType("room"), d.GetType("in_room"),
                                    watcher.ConnectionHandler(&watcher, &Watcher::OnRoomEntered));
        // Join answer: two members, an owner, one operator.
        const ItemPtr stale = d.GetType("user")->GetItem("stale");
        d.GetType("room")->GetItem("den").Connect(stale);
        Deliver(14, Payload()
                        .Str("den")
                        .U32(2)
                        .Str(kMe)
                        .U32(2)
                        .Stats(UserStats(10, 0, 20, 1))
                        .Str("FR")
                        .Str("bob")
                        .U32(1)
                        .Stats(UserStats(30, 0, 40, 1))
                        .Str("NL")
                        .Str("bob")
                        .U32(1)
                        .Str(kMe));
        QTRY_VERIFY_WITH_TIMEOUT(Room("den").IsConnected("in_room"), kWait);
        const ItemPtr den = Room("den");
        QCOMPARE(watcher.entered, 1);
        QCOMPARE(watcher.membersWhenEntered, 1);  // only the stale one, not yet the new
        QCOMPARE(den.CountItems("user"), 2);
        QVERIFY(!den.IsConnected(stale));
        QCOMPARE(Attr(User("bob"), "shared_file_count"), QString("40"));
        QCOMPARE(Attr(User("bob"), "country_code"), QString("NL"));
        QCOMPARE(Attr(User(kMe), "average_download_speed"), QString("10"));
        QVERIFY(den["room_owner"].IsConnected(User("bob")));
        QVERIFY(den["room_operators"].IsConnected(User(kMe)));

        Deliver(16, Payload().Str("den").Str("carl").U32(2).Stats(UserStats(5, 0, 6, 1)).Str("SE"));
        QTRY_VERIFY_WITH_TIMEOUT(!User("carl").IsNull() && den.IsConnected(User("carl")), kWait);
        QCOMPARE(Attr(User("carl"), "country_code"), QString("SE"));
        // Joins of rooms we are not in are not kept.
        Deliver(16, Payload().Str("elsewhere").Str("carl").U32(2).Stats(UserStats()).Str("SE"));
        Deliver(17, Payload().Str("den").Str("carl"));
        QTRY_VERIFY_WITH_TIMEOUT(!den.IsConnected(User("carl")), kWait);
        QVERIFY(Room("elsewhere").IsNull());

        // Private-room roles replace the previous list.
        Deliver(133, Payload().U32(2).Str("den").U8(3).Str("club").U8(2));
        QTRY_VERIFY_WITH_TIMEOUT(!Room("club").IsNull() && Room("club").IsConnected("is_operator"),
                                 kWait);
        QVERIFY(den.IsConnected("is_owner"));
        QVERIFY(Room("club").IsConnected("is_member"));
        QVERIFY(!den.IsConnected("is_member"));
        Deliver(133, Payload().U32(1).Str("club").U8(1));
        QTRY_VERIFY_WITH_TIMEOUT(!den.IsConnected("is_owner"), kWait);
        QVERIFY(!Room("club").IsConnected("is_operator"));
        QVERIFY(Room("club").IsConnected("is_member"));
        // A role out of range drops the message whole.
        Deliver(133, Payload().U32(2).Str("den").U8(3).Str("club").U8(7));
        Deliver(66, Payload().Str("sync"));
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        QVERIFY(admin.wait(kWait));
        QVERIFY(!den.IsConnected("is_owner"));

        // Member and operator lists of private rooms.
        struct Change {
            quint32 code;
            const char* node;
            bool linked;
        };
        const QList<Change> changes = {{134, "room_members", true},
                                       {143, "room_operators", true},
                                       {144, "room_operators", false},
                                       {135, "room_members", false}};
        for (const Change& change : changes) {
            Deliver(change.code, Payload().Str("club").Str("dora"));
            QTRY_VERIFY_WITH_TIMEOUT(
                !User("dora").IsNull() &&
                    Room("club")[change.node].IsConnected(User("dora")) == change.linked,
                kWait);
        }

        // Leaving: "in_room" goes, and so do the members.
        Deliver(15, Payload().Str("den"));
        QTRY_VERIFY_WITH_TIMEOUT(!den.IsConnected("in_room"), kWait);
        QCOMPARE(den.CountItems("user"), 0);
        // The real round trip through the test server.
        server->EnterRoom("hall", false);
        QTRY_VERIFY_WITH_TIMEOUT(!Room("hall").IsNull() && Room("hall").IsConnected("in_room"),
                                 kWait);
        QVERIFY(Room("hall").IsConnected(User(kMe)));
        server->LeaveRoom("hall");
        QTRY_VERIFY_WITH_TIMEOUT(!Room("hall").IsConnected("in_room"), kWait);
        // Not in the room: LeaveRoom sends nothing.
        ts->ClearReceived(kMe);
        server->LeaveRoom("hall");
        server->GetOwnPrivilegesStatus();
        QVERIFY(ts->WaitForMessage(kMe, SM_CHECK_PRIVILEGES, kWait));
        QCOMPARE(ts->Received(kMe).size(), 1);
    }

    void roomListAndTickers() {
        QVERIFY(LogIn());
        const QByteArray list = Payload().U32(2).Str("den").U32(12).Str("hall").U32(3);
        // Not asked for: ignored.
        Deliver(64, list);
        Deliver(66, Payload().Str("sync"));
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        QVERIFY(admin.wait(kWait));
        QVERIFY(Room("den").IsNull());
        SetSettingYes("accept_room_list", true);
        Deliver(64, list);
        QTRY_VERIFY_WITH_TIMEOUT(!Room("hall").IsNull(), kWait);
        QCOMPARE(Attr(Room("den"), "user_count"), QString("12"));
        QCOMPARE(Attr(Room("hall"), "user_count"), QString("3"));
        QVERIFY(!IsSettingYes("accept_room_list"));
        // Only the next list is taken.
        Deliver(64, Payload().U32(1).Str("den").U32(99));
        Deliver(66, Payload().Str("sync"));
        QVERIFY(admin.wait(kWait));
        QCOMPARE(Attr(Room("den"), "user_count"), QString("12"));

        auto tickers = [](const QString& room) {
            QMap<QString, QPair<QString, qint64>> out;
            for (const ItemPtr& t : Room(room).GetItems("room_ticker"))
                out[t["user"].AsString()] =
                    qMakePair(t["room_ticker_text"].AsString(), t["room_ticker_order"].AsInt64());
            return out;
        };
        Deliver(113, Payload().U32(0).U32(0));  // malformed: the room name is missing bytes
        Deliver(113, Payload().Str("den").U32(2).Str("bob").Str("hello").Str("carl").Str("yo"));
        QTRY_COMPARE_WITH_TIMEOUT(tickers("den").size(), 2, kWait);
        auto now = tickers("den");
        QCOMPARE(now["bob"].first, QString("hello"));
        QVERIFY(now["carl"].second > now["bob"].second);
        const qint64 carlOrder = now["carl"].second;
        Deliver(114, Payload().Str("den").Str("bob").Str("changed"));
        QTRY_COMPARE_WITH_TIMEOUT(tickers("den")["bob"].first, QString("changed"), kWait);
        QCOMPARE(tickers("den").size(), 2);
        QVERIFY(tickers("den")["bob"].second > carlOrder);
        Deliver(114, Payload().Str("den").Str("carl").Str(""));
        QTRY_COMPARE_WITH_TIMEOUT(tickers("den").size(), 1, kWait);
        // A full list replaces everything.
        Deliver(113, Payload().Str("den").U32(1).Str("dora").Str("new"));
        QTRY_VERIFY_WITH_TIMEOUT(tickers("den").contains("dora"), kWait);
        QCOMPARE(tickers("den").size(), 1);
        // Through the test server's own wall.
        server->EnterRoom("den", false);
        QTRY_VERIFY_WITH_TIMEOUT(Room("den").IsConnected("in_room"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(tickers("den").size(), 0, kWait);
        server->SetRoomTicker("den", "mine");
        QTRY_COMPARE_WITH_TIMEOUT(tickers("den")[kMe].first, QString("mine"), kWait);
    }

    void privilegesAndSettings() {
        ts->SetPrivilegedUsers({"bob", "carl"});
        QVERIFY(LogIn());
        // 69 comes right after the login reply.
        QTRY_VERIFY_WITH_TIMEOUT(
            !User("carl").IsNull() && User("carl").IsConnected("is_privileged"), kWait);
        QVERIFY(User("bob").IsConnected("is_privileged"));
        ts->SetPrivilegedUsers({"carl"});
        QTRY_VERIFY_WITH_TIMEOUT(!User("bob").IsConnected("is_privileged"), kWait);
        ts->AddPrivilegedUser("dora");
        QTRY_VERIFY_WITH_TIMEOUT(
            !User("dora").IsNull() && User("dora").IsConnected("is_privileged"), kWait);

        ts->SetPrivileges(kMe, 86400, true);
        int storedAtSignal = -1;
        connect(server.get(), &Server::ReceivedOwnPrivilegesStatus, this,
                [&](int) { storedAtSignal = GetSettingInt("privileges_time_left"); });
        QSignalSpy privileges(server.get(), &Server::ReceivedOwnPrivilegesStatus);
        server->GetOwnPrivilegesStatus();
        QVERIFY(privileges.wait(kWait));
        QCOMPARE(privileges.at(0).at(0).toInt(), 86400);
        QCOMPARE(storedAtSignal, 86400);
        QCOMPARE(GetSetting("is_supporter"), QString("yes"));

        QSignalSpy enabled(server.get(), &Server::PrivateRoomAddEnabled);
        server->EnablePrivateRoomAdd(true);
        QVERIFY(enabled.wait(kWait));
        QCOMPARE(enabled.at(0).at(0).toBool(), true);
        QCOMPARE(GetSetting("enable_private_room_add"), QString("yes"));
        server->EnablePrivateRoomAdd(false);
        QVERIFY(enabled.wait(kWait));
        QCOMPARE(GetSetting("enable_private_room_add"), QString("no"));
    }

    void searchesAndCorrelations() {
        QVERIFY(LogIn());
        RawClient bob;
        QVERIFY(bob.Login(*ts, "bob"));
        QSignalSpy searches(server.get(), &Server::DirectFileSearch);
        Deliver(26, Payload().Str("bob").U32(4000000000u).Str("some song"));
        QVERIFY(searches.wait(kWait));
        QCOMPARE(searches.at(0).at(0).toString(), QString("bob"));
        QCOMPARE(searches.at(0).at(1).value<quint32>(), 4000000000u);
        QCOMPARE(searches.at(0).at(2).toString(), QString("some song"));

        ts->SetCorrelations("song", {{"song mp3", 9}, {"songs", 4}});
        QSignalSpy correlations(server.get(), &Server::SearchCorrelations);
        int storedAtSignal = -1;
        connect(server.get(), &Server::SearchCorrelations, this, [&](QString text) {
            storedAtSignal = d.GetType("search_request_text")
                                 ->HasItem(Value(text))
                                 .CountItems("search_correlation");
        });
        server->GetSearchCorrelations("song");
        QVERIFY(correlations.wait(kWait));
        QCOMPARE(correlations.at(0).at(0).toString(), QString("song"));
        QCOMPARE(storedAtSignal, 2);
        auto ranks = [] {
            QMap<QString, QString> out;
            const ItemPtr text = d.GetType("search_request_text")->HasItem("song");
            for (const ItemPtr& c : text.GetItems("search_correlation"))
                out[c["correlation_text"].AsString()] = c["correlation_rank"].AsString();
            return out;
        };
        QCOMPARE(ranks().value("song mp3"), QString("9"));
        QCOMPARE(ranks().value("songs"), QString("4"));
        // A new answer replaces the old.
        ts->SetCorrelations("song", {{"songbook", 1}});
        server->GetSearchCorrelations("song");
        QVERIFY(correlations.wait(kWait));
        QCOMPARE(ranks().size(), 1);
        QCOMPARE(ranks().value("songbook"), QString("1"));
    }

    void peerAddressesAndConnectBack() {
        RawClient peer;
        QVERIFY(peer.Login(*ts, "peer"));
        // The peer reports its ports, as every client does after login.
        peer.socket.write(Frame(2, Payload().U32(4000).U32(4001)));
        QVERIFY(ts->WaitForMessage("peer", SM_SET_LISTENING_PORTS, kWait));
        QVERIFY(LogIn("bob"));

        QSignalSpy addresses(server.get(), &Server::PeerAddress);
        server->GetPeerAddress("peer");
        QVERIFY(addresses.wait(kWait));
        QCOMPARE(addresses.at(0).at(0).toString(), QString("peer"));
        QCOMPARE(addresses.at(0).at(1).value<quint32>(), quint32(0x7F000001));
        QCOMPARE(addresses.at(0).at(2).value<quint16>(), quint16(4000));
        QCOMPARE(addresses.at(0).at(3).value<quint16>(), quint16(4001));
        QCOMPARE(Attr(User("peer"), "user_address"), QString::number(0x7F000001u));
        QCOMPARE(Attr(User("peer"), "user_port"), QString("4000"));
        const TCPAddress local{0x7F000001u, 1};
        QCOMPARE(local.HostAddress(), QHostAddress(QHostAddress::LocalHost));
        // Unknown: zeros, and no address kept.
        server->GetPeerAddress("nobody");
        QVERIFY(addresses.wait(kWait));
        QCOMPARE(addresses.at(1).at(1).value<quint32>(), quint32(0));
        QVERIFY(User("nobody").IsNull() || !User("nobody").IsConnected("user_address"));

        // The peer asks us to connect back.
        QSignalSpy requests(server.get(), &Server::ConnectToPeerRequested);
        peer.socket.write(Frame(18, Payload().U32(555).Str("bob").Str("P")));
        QVERIFY(requests.wait(kWait));
        QCOMPARE(requests.at(0).at(0).toString(), QString("peer"));
        QCOMPARE(requests.at(0).at(1).toString(), QString("P"));
        QCOMPARE(requests.at(0).at(2).value<quint32>(), quint32(0x7F000001));
        QCOMPARE(requests.at(0).at(3).value<quint16>(), quint16(4000));
        QCOMPARE(requests.at(0).at(4).value<quint32>(), quint32(555));

        // Our connect-back request to someone offline fails.
        QSignalSpy failures(server.get(), &Server::CannotConnectToPeer);
        server->ConnectToPeer(66, "nobody", "F");
        QVERIFY(failures.wait(kWait));
        QCOMPARE(failures.at(0).at(0).value<quint32>(), quint32(66));
        QCOMPARE(failures.at(0).at(1).toString(), QString("nobody"));
    }

    void distributedNetworkMessages() {
        QVERIFY(LogIn());
        // Alike: one u32 that becomes one signal argument.
        struct Case {
            quint32 code;
            QByteArray signal;
            quint32 value;
            QVariant expected;
        };
        const QList<Case> cases = {
            {83, SIGNAL(DNetParentMinSpeed(int)), 10, QVariant(10)},
            {84, SIGNAL(DNetParentSpeedConnectionRatio(int)), 0, QVariant(0)},
            {104, SIGNAL(WishListWait(uint)), 0, QVariant(0u)},
            {104, SIGNAL(WishListWait(uint)), 4000000000u, QVariant(4000000000u)},
            {128, SIGNAL(DNetDeliveryReport(int)), 17, QVariant(17)},
        };
        for (const Case& c : cases) {
            QSignalSpy spy(server.get(), c.signal.constData());
            Deliver(c.code, Payload().U32(c.value));
            QVERIFY(spy.wait(kWait));
            QCOMPARE(spy.at(0).at(0), c.expected);
        }
        QSignalSpy reset(server.get(), &Server::DNetReset);
        Deliver(130, QByteArray());
        QVERIFY(reset.wait(kWait));

        QByteArray relayed;
        qint64 startPos = -1;
        connect(server.get(), &Server::DNetMessage, this, [&](MemStream& message) {
            relayed = QByteArray(message.GetBuffer(), int(message.GetWritePos()));
            startPos = message.GetReadPos();
        });
        const QByteArray body = Payload().U8(3).U32(49).Str("bob").U32(8).Str("x");
        Deliver(93, body);
        QTRY_COMPARE_WITH_TIMEOUT(relayed, body, kWait);
        QCOMPARE(startPos, qint64(0));

        std::list<std::pair<QString, TCPAddress>> parents;
        connect(server.get(), &Server::DNetPossibleParents, this,
                [&](std::list<std::pair<QString, TCPAddress>>& list) { parents = list; });
        Deliver(102, Payload()
                         .U32(2)
                         .Str("p1")
                         .U32(0x0A000001)
                         .U32(2234)
                         .Str("p2")
                         .U32(0x7F000001)
                         .U32(65535));
        QTRY_COMPARE_WITH_TIMEOUT(parents.size(), std::size_t(2), kWait);
        QCOMPARE(parents.front().first, QString("p1"));
        QCOMPARE(parents.front().second.ip, quint32(0x0A000001));
        QCOMPARE(parents.front().second.port, quint16(2234));
        QCOMPARE(parents.back().second.port, quint16(65535));
        // A port that does not fit drops the list.
        parents.clear();
        Deliver(102, Payload().U32(1).Str("p1").U32(1).U32(70000));
        Deliver(130, QByteArray());
        QVERIFY(reset.wait(kWait));
        QCOMPARE(parents.size(), std::size_t(0));
    }

    void framing() {
        QVERIFY(LogIn());
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        // Two frames in one write.
        ts->SendRawTo(kMe, Frame(66, Payload().Str("one")) + Frame(66, Payload().Str("two")));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 2, kWait);
        QCOMPARE(admin.at(1).at(0).toString(), QString("two"));
        // One frame split up, the length field too.
        const QByteArray frame = Frame(66, Payload().Str("split up"));
        const QList<int> cuts = {0, 2, 5, 9, 12, frame.size()};
        for (int k = 0; k + 1 < cuts.size(); ++k) {
            ts->SendRawTo(kMe, frame.mid(cuts[k], cuts[k + 1] - cuts[k]));
            QTest::qWait(20);
        }
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 3, kWait);
        QCOMPARE(admin.at(2).at(0).toString(), QString("split up"));
        // The end of one frame and the start of the next in one write.
        const QByteArray pair = Frame(66, Payload().Str("x")) + Frame(66, Payload().Str("y"));
        ts->SendRawTo(kMe, pair.left(6));
        QTest::qWait(20);
        ts->SendRawTo(kMe, pair.mid(6, 14));
        QTest::qWait(20);
        ts->SendRawTo(kMe, pair.mid(20));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 5, kWait);
        QCOMPARE(admin.at(4).at(0).toString(), QString("y"));
        // A malformed payload is dropped, the connection stays.
        ts->SendRawTo(kMe, Frame(66, LengthOnly(50)) + Frame(66, Payload().Str("after")));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 6, kWait);
        QVERIFY(server->IsConnected());
        // The largest frame there may be is taken (an unknown code, ignored).
        QByteArray big(int(Server::kMaxFrameLength) - 4, 'z');
        ts->SendRawTo(kMe, Frame(999, big) + Frame(66, Payload().Str("big done")));
        QTRY_COMPARE_WITH_TIMEOUT(admin.count(), 7, 20000);
        QVERIFY(server->IsConnected());

        // Lengths out of bounds end the connection as an unexpected drop.
        for (quint32 length : {Server::kMaxFrameLength + 1, 3u, 0u, 0xFFFFFFFFu}) {
            if (!server->IsConnected())
                QVERIFY(LogIn());
            QSignalSpy disconnected(server.get(), &Server::Disconnected);
            ts->SendRawTo(kMe, LengthOnly(length) + QByteArray(8, 'q'));
            QVERIFY(disconnected.wait(kWait));
            QVERIFY(server->IsAbruptlyDisconnected());
            QVERIFY(!server->IsConnected());
        }
    }
};

QTEST_GUILESS_MAIN(TestServerConnection)
#include "test_server.moc"
