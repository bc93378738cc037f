#include <QCryptographicHash>
#include <QDateTime>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>

#include "store/MemStream.h"
#include "store/UserStats.h"
#include "support/TestServer.h"

namespace {

constexpr int kWait = 5000;

template <typename... T>
QByteArray Pack(const T&... values) {
    MemStream stream;
    (stream.Write(values), ...);
    return stream.GetWrittenBytes();
}

QByteArray Frame(quint32 code, const QByteArray& payload) {
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    return frame + payload;
}

QByteArray StatsBytes(const UserStats& stats) {
    MemStream stream;
    stats.Write(stream);
    return stream.GetWrittenBytes();
}

// Field-by-field reading of a received payload.
class Fields {
public:
    explicit Fields(const QByteArray& payload) : m_stream(payload) {}
    QString Str() { return Get<QString>(); }
    quint32 U32() { return Get<quint32>(); }
    quint8 U8() { return Get<quint8>(); }
    UserStats Stats() {
        UserStats stats;
        m_ok = m_ok && stats.Read(m_stream);
        return stats;
    }
    // Every field read and nothing left over.
    bool Whole() const { return m_ok && m_stream.BytesLeft() == 0; }

private:
    template <typename T>
    T Get() {
        T value{};
        m_ok = m_ok && m_stream.Read(value);
        return value;
    }
    MemStream m_stream;
    bool m_ok = true;
};

// A client speaking the documented bytes over a plain socket.
class RawClient {
public:
    RawClient() {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            m_input += m_socket.readAll();
            while (m_input.size() >= 8) {
                const quint32 length = qFromLittleEndian<quint32>(m_input.constData());
                if (m_input.size() < 4 + qint64(length)) {
                    break;
                }
                const quint32 code = qFromLittleEndian<quint32>(m_input.constData() + 4);
                m_frames.append(qMakePair(code, m_input.mid(8, int(length) - 4)));
                m_input.remove(0, 4 + int(length));
            }
        });
    }

    bool Connect(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, kWait);
    }
    void Send(quint32 code, const QByteArray& payload = {}) {
        m_socket.write(Frame(code, payload));
    }
    void SendRaw(const QByteArray& bytes) { m_socket.write(bytes); }

    // Takes the oldest frame with this code, waiting for it.
    bool Take(quint32 code, QByteArray* payload = nullptr, int timeoutMs = kWait) {
        return QTest::qWaitFor(
            [&] {
                for (int i = 0; i < m_frames.size(); ++i) {
                    if (m_frames[i].first == code) {
                        const auto frame = m_frames.takeAt(i);
                        if (payload) {
                            *payload = frame.second;
                        }
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    }
    bool Has(quint32 code) const {
        for (const auto& frame : m_frames) {
            if (frame.first == code) {
                return true;
            }
        }
        return false;
    }
    // A round trip: everything the server sent before its answer has arrived.
    bool Sync() {
        Send(36, Pack(QStringLiteral("~sync")));
        QByteArray answer;
        while (Take(36, &answer)) {
            if (Fields(answer).Str() == QStringLiteral("~sync")) {
                return true;
            }
        }
        return false;
    }
    // Sends a login and returns the reply: "" on success, else the reason.
    QString Login(const QString& user, const QString& password, const QByteArray& digest = {}) {
        const QByteArray hash = digest.isNull()
                                    ? QCryptographicHash::hash(user.toUtf8() + password.toUtf8(),
                                                               QCryptographicHash::Md5)
                                          .toHex()
                                    : digest;
        Send(1, Pack(user, password, quint32(157), quint32(100), hash));
        QByteArray reply;
        if (!Take(1, &reply)) {
            return QStringLiteral("(no reply)");
        }
        Fields fields(reply);
        if (fields.U8() == 1) {
            return fields.Whole() ? QString() : QStringLiteral("(bad success reply)");
        }
        const QString reason = fields.Str();
        return fields.Whole() ? reason : QStringLiteral("(bad refusal)");
    }
    bool WaitClosed() {
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, kWait);
    }
    QList<QPair<quint32, QByteArray>>& Frames() { return m_frames; }
    QTcpSocket& Socket() { return m_socket; }

private:
    QByteArray m_input;
    QList<QPair<quint32, QByteArray>> m_frames;
    QTcpSocket m_socket;
};

std::unique_ptr<RawClient> LoggedIn(TestServer& server, const QString& user,
                                    const QString& password = QStringLiteral("pw")) {
    auto client = std::make_unique<RawClient>();
    if (!client->Connect(server.Port()) || !client->Login(user, password).isEmpty()) {
        return nullptr;
    }
    client->Frames().clear();  // 69, 133 and stored messages: tested separately
    return client;
}

}  // namespace

class TestTestServer : public QObject {
    Q_OBJECT
private slots:
    void loginAndAccounts();
    void searchesAndConnectBack();
    void rooms();
    void privateMessagesTrackingAndPrivileges();
    void scripting();
    void framingLimits();
    void fuzz();
};

void TestTestServer::loginAndAccounts() {
    TestServer server;
    QVERIFY(server.Listen());
    QCOMPARE(server.Address(), QStringLiteral("127.0.0.1:%1").arg(server.Port()));
    QSignalSpy loggedIn(&server, &TestServer::ClientLoggedIn);
    QSignalSpy disconnected(&server, &TestServer::ClientDisconnected);

    // Frames before a login are ignored; the login then works.
    RawClient alice;
    QVERIFY(alice.Connect(server.Port()));
    alice.Send(26, Pack(quint32(1), QStringLiteral("early")));
    QCOMPARE(alice.Login(QStringLiteral("alice"), QStringLiteral("secret")), QString());
    QVERIFY(alice.Take(69));
    QVERIFY(alice.Take(133));
    QCOMPARE(alice.Frames().size(), 0);
    QCOMPARE(loggedIn.size(), 1);
    QCOMPARE(loggedIn[0][0].toString(), QStringLiteral("alice"));
    QVERIFY(server.IsLoggedIn(QStringLiteral("alice")));
    QVERIFY(server.Received(QStringLiteral("alice")).isEmpty());

    // The first login of a name fixes its password.
    RawClient other;
    QVERIFY(other.Connect(server.Port()));
    QCOMPARE(other.Login(QStringLiteral("alice"), QStringLiteral("guess")),
             QStringLiteral("INVALIDPASS"));
    QCOMPARE(other.Login(QString(), QStringLiteral("x")), QStringLiteral("INVALIDUSERNAME"));
    QCOMPARE(other.Login(QStringLiteral("eve"), QStringLiteral("x"), "0123"),
             QStringLiteral("INVALIDDIGEST"));
    server.RefuseNextLogin(QStringLiteral("SERVERFULL"));
    QCOMPARE(other.Login(QStringLiteral("bob"), QStringLiteral("first")),
             QStringLiteral("SERVERFULL"));
    // A refused login remembers no password.
    QCOMPARE(other.Login(QStringLiteral("bob"), QStringLiteral("second")), QString());
    QCOMPARE(server.LoggedInUsers(), (QStringList{QStringLiteral("alice"), QStringLiteral("bob")}));
    QCOMPARE(server.ClientCount(), 2);

    // A second login of a name closes the older connection.
    RawClient again;
    QVERIFY(again.Connect(server.Port()));
    QCOMPARE(again.Login(QStringLiteral("alice"), QStringLiteral("secret")), QString());
    QVERIFY(alice.WaitClosed());
    QVERIFY(server.IsLoggedIn(QStringLiteral("alice")));
    QCOMPARE(disconnected.size(), 1);
    QTRY_COMPARE(server.ClientCount(), 2);

    // Non-ASCII names and passwords are hashed as UTF-8.
    RawClient accented;
    QVERIFY(accented.Connect(server.Port()));
    QCOMPARE(accented.Login(QStringLiteral("Zoë"), QStringLiteral("pässwörd")), QString());
    QVERIFY(server.IsLoggedIn(QStringLiteral("Zoë")));

    // A client closing its socket logs out.
    again.Socket().abort();
    QTRY_VERIFY(!server.IsLoggedIn(QStringLiteral("alice")));
    QCOMPARE(disconnected.size(), 2);
}

void TestTestServer::searchesAndConnectBack() {
    TestServer server;
    QVERIFY(server.Listen());
    auto alice = LoggedIn(server, QStringLiteral("alice"));
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    auto carol = LoggedIn(server, QStringLiteral("carol"));
    QVERIFY(alice && bob && carol);
    alice->Send(2, Pack(quint32(5000), quint32(0)));
    bob->Send(2, Pack(quint32(6000), quint32(6001)));

    // A search reaches every other logged-in user as 26.
    alice->Send(26, Pack(quint32(7), QStringLiteral("some music")));
    alice->Send(103, Pack(quint32(8), QStringLiteral("wish")));
    for (RawClient* peer : {bob.get(), carol.get()}) {
        QByteArray search;
        QVERIFY(peer->Take(26, &search));
        Fields fields(search);
        QCOMPARE(fields.Str(), QStringLiteral("alice"));
        QCOMPARE(fields.U32(), 7u);
        QCOMPARE(fields.Str(), QStringLiteral("some music"));
        QVERIFY(fields.Whole());
        QVERIFY(peer->Take(26, &search));
        QCOMPARE(search, Pack(QStringLiteral("alice"), quint32(8), QStringLiteral("wish")));
    }
    QVERIFY(alice->Sync());
    QVERIFY(!alice->Has(26));
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 26, kWait));

    // A user search reaches only that user.
    alice->Send(42, Pack(QStringLiteral("bob"), quint32(9), QStringLiteral("just you")));
    QByteArray search;
    QVERIFY(bob->Take(26, &search));
    QCOMPARE(search, Pack(QStringLiteral("alice"), quint32(9), QStringLiteral("just you")));
    QVERIFY(carol->Sync());
    QVERIFY(!carol->Has(26));

    // Peer addresses: loopback and the reported ports, zeros when offline.
    QByteArray address;
    alice->Send(3, Pack(QStringLiteral("bob")));
    QVERIFY(alice->Take(3, &address));
    QCOMPARE(address,
             Pack(QStringLiteral("bob"), quint32(0x7F000001), quint32(6000), quint32(6001)));
    alice->Send(3, Pack(QStringLiteral("nobody")));
    QVERIFY(alice->Take(3, &address));
    QCOMPARE(address, Pack(QStringLiteral("nobody"), quint32(0), quint32(0), quint32(0)));

    // Connect-back goes to the target with the requester's address and port.
    alice->Send(18, Pack(quint32(11), QStringLiteral("bob"), QStringLiteral("F")));
    QByteArray request;
    QVERIFY(bob->Take(18, &request));
    QCOMPARE(request, Pack(QStringLiteral("alice"), QStringLiteral("F"), quint32(0x7F000001),
                           quint32(5000), quint32(11)));
    // The target reports failure; the requester hears of it.
    bob->Send(1001, Pack(quint32(11), QStringLiteral("alice")));
    QByteArray failed;
    QVERIFY(alice->Take(1001, &failed));
    QCOMPARE(failed, Pack(quint32(11), QStringLiteral("bob")));
    // An offline target fails at once.
    alice->Send(18, Pack(quint32(12), QStringLiteral("ghost"), QStringLiteral("P")));
    QVERIFY(alice->Take(1001, &failed));
    QCOMPARE(failed, Pack(quint32(12), QStringLiteral("ghost")));
}

void TestTestServer::rooms() {
    TestServer server;
    QVERIFY(server.Listen());
    const UserStats aliceStats(1000, 5, 300, 20);
    server.SetUserStats(QStringLiteral("alice"), aliceStats);
    server.SetUserCountry(QStringLiteral("alice"), QStringLiteral("NZ"));
    auto alice = LoggedIn(server, QStringLiteral("alice"));
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    auto carol = LoggedIn(server, QStringLiteral("carol"));
    QVERIFY(alice && bob && carol);
    const QString lobby = QStringLiteral("lobby");

    alice->Send(14, Pack(lobby, quint32(0)));
    QByteArray answer;
    QVERIFY(alice->Take(14, &answer));
    QCOMPARE(answer, Pack(lobby, quint32(1), QStringLiteral("alice"), quint32(2)) +
                         StatsBytes(aliceStats) +
                         Pack(QStringLiteral("NZ"), QString(), quint32(0)));
    QVERIFY(alice->Take(113, &answer));
    QCOMPARE(answer, Pack(lobby, quint32(0)));

    // Tickers set by the script reach the members now and joiners later.
    server.SetRoomTickers(lobby, {{QStringLiteral("alice"), QStringLiteral("hello wall")}});
    const QByteArray tickers =
        Pack(lobby, quint32(1), QStringLiteral("alice"), QStringLiteral("hello wall"));
    QVERIFY(alice->Take(113, &answer));
    QCOMPARE(answer, tickers);

    bob->Send(14, Pack(lobby, quint32(0)));
    QVERIFY(bob->Take(14, &answer));
    Fields join(answer);
    QCOMPARE(join.Str(), lobby);
    QCOMPARE(join.U32(), 2u);
    QCOMPARE(join.Str(), QStringLiteral("alice"));
    QCOMPARE(join.U32(), 2u);
    QCOMPARE(join.Stats(), aliceStats);
    QCOMPARE(join.Str(), QStringLiteral("NZ"));
    QCOMPARE(join.Str(), QStringLiteral("bob"));
    join.U32();
    join.Stats();
    join.Str();
    QCOMPARE(join.Str(), QString());
    QCOMPARE(join.U32(), 0u);
    QVERIFY(join.Whole());
    QVERIFY(bob->Take(113, &answer));
    QCOMPARE(answer, tickers);
    QVERIFY(alice->Take(16, &answer));
    QCOMPARE(answer, Pack(lobby, QStringLiteral("bob"), quint32(2)) + StatsBytes(UserStats()) +
                         Pack(QString()));

    // Chat, tickers and room searches go to the members.
    alice->Send(13, Pack(lobby, QStringLiteral("hi all")));
    bob->Send(116, Pack(lobby, QStringLiteral("bob's wall")));
    bob->Send(120, Pack(lobby, quint32(3), QStringLiteral("room search")));
    carol->Send(13, Pack(lobby, QStringLiteral("not a member")));
    for (RawClient* member : {alice.get(), bob.get()}) {
        QVERIFY(member->Take(13, &answer));
        QCOMPARE(answer, Pack(lobby, QStringLiteral("alice"), QStringLiteral("hi all")));
        QVERIFY(member->Take(114, &answer));
        QCOMPARE(answer, Pack(lobby, QStringLiteral("bob"), QStringLiteral("bob's wall")));
    }
    QVERIFY(alice->Take(26, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob"), quint32(3), QStringLiteral("room search")));
    QVERIFY(carol->Sync());
    QVERIFY(alice->Sync() && bob->Sync());
    QVERIFY(!alice->Has(13) && !bob->Has(13) && !bob->Has(26) && carol->Frames().isEmpty());

    carol->Send(64);
    QVERIFY(carol->Take(64, &answer));
    QCOMPARE(answer, Pack(quint32(1), lobby, quint32(2)));

    // Leaving: an answer to the leaver, 17 to the others; a drop leaves too.
    bob->Send(15, Pack(lobby));
    QVERIFY(bob->Take(15, &answer));
    QCOMPARE(answer, Pack(lobby));
    QVERIFY(alice->Take(17, &answer));
    QCOMPARE(answer, Pack(lobby, QStringLiteral("bob")));
    carol->Send(14, Pack(lobby, quint32(0)));
    QVERIFY(alice->Take(16));
    carol->Socket().abort();
    QVERIFY(alice->Take(17, &answer));
    QCOMPARE(answer, Pack(lobby, QStringLiteral("carol")));

    // Private rooms: the creator owns it; members are added by its owner.
    const QString den = QStringLiteral("den");
    alice->Send(14, Pack(den, quint32(1)));
    QVERIFY(alice->Take(14, &answer));
    QCOMPARE(Fields(answer).Str(), den);
    QVERIFY(alice->Take(133, &answer));
    QCOMPARE(answer, Pack(quint32(1), den, quint8(3)));
    bob->Send(14, Pack(den, quint32(0)));  // no role yet: refused
    QVERIFY(bob->Sync());
    QVERIFY(!bob->Has(14));
    alice->Send(134, Pack(den, QStringLiteral("bob")));
    QVERIFY(alice->Take(134, &answer));
    QCOMPARE(answer, Pack(den, QStringLiteral("bob")));
    QVERIFY(bob->Take(133, &answer));
    QCOMPARE(answer, Pack(quint32(1), den, quint8(1)));
    bob->Send(14, Pack(den, quint32(0)));
    QVERIFY(bob->Take(14, &answer));
    alice->Send(143, Pack(den, QStringLiteral("bob")));
    QVERIFY(bob->Take(143, &answer));
    QCOMPARE(answer, Pack(den, QStringLiteral("bob")));
    QVERIFY(bob->Take(133, &answer));
    QCOMPARE(answer, Pack(quint32(1), den, quint8(2)));
    bob->Send(136, Pack(den));
    QVERIFY(alice->Take(135, &answer));
    QCOMPARE(answer, Pack(den, QStringLiteral("bob")));
    QVERIFY(bob->Take(133, &answer));
    QCOMPARE(answer, Pack(quint32(0)));
}

void TestTestServer::privateMessagesTrackingAndPrivileges() {
    TestServer server;
    QVERIFY(server.Listen());
    auto alice = LoggedIn(server, QStringLiteral("alice"));
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    QVERIFY(alice && bob);

    // Live messages carry the time and spontaneous 1.
    const quint32 before = quint32(QDateTime::currentSecsSinceEpoch());
    alice->Send(22, Pack(QStringLiteral("bob"), QStringLiteral("hi bob")));
    QByteArray message;
    QVERIFY(bob->Take(22, &message));
    Fields live(message);
    QCOMPARE(live.Str(), QStringLiteral("alice"));
    const quint32 time = live.U32();
    QVERIFY(time >= before && time <= before + 60);
    QCOMPARE(live.U8(), quint8(1));
    QCOMPARE(live.Str(), QStringLiteral("hi bob"));
    QVERIFY(live.Whole());

    // Messages to someone offline wait for the next login, in order.
    alice->Send(22, Pack(QStringLiteral("dave"), QStringLiteral("later")));
    alice->Send(149, Pack(quint32(2), QStringLiteral("bob"), QStringLiteral("dave"),
                          QStringLiteral("to both")));
    QVERIFY(bob->Take(22, &message));
    QCOMPARE(Fields(message).Str(), QStringLiteral("alice"));
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 149, kWait));
    RawClient dave;
    QVERIFY(dave.Connect(server.Port()));
    QCOMPARE(dave.Login(QStringLiteral("dave"), QStringLiteral("pw")), QString());
    QTRY_COMPARE(dave.Frames().size(), 4);
    QList<quint32> codes;
    for (const auto& frame : dave.Frames()) {
        codes.append(frame.first);
    }
    QCOMPARE(codes, (QList<quint32>{69, 133, 22, 22}));
    for (int i = 0; i < 2; ++i) {
        Fields stored(dave.Frames()[2 + i].second);
        QCOMPARE(stored.Str(), QStringLiteral("alice"));
        QVERIFY(stored.U32() >= before);
        QCOMPARE(stored.U8(), quint8(0));
        QCOMPARE(stored.Str(), i == 0 ? QStringLiteral("later") : QStringLiteral("to both"));
        QVERIFY(stored.Whole());
    }

    // Tracking: unknown names do not exist; known ones report and then change.
    const UserStats bobStats(50, 1, 2, 3);
    server.SetUserStats(QStringLiteral("bob"), bobStats);
    server.SetUserCountry(QStringLiteral("bob"), QStringLiteral("FI"));
    QByteArray answer;
    alice->Send(5, Pack(QStringLiteral("zed")));
    QVERIFY(alice->Take(5, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("zed"), quint8(0)));
    alice->Send(5, Pack(QStringLiteral("bob")));
    QVERIFY(alice->Take(5, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob"), quint8(1), quint32(2)) + StatsBytes(bobStats) +
                         Pack(QStringLiteral("FI")));
    bob->Send(28, Pack(quint32(1)));
    QVERIFY(alice->Take(7, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob"), quint32(1)));
    bob->Send(28, Pack(quint32(1)));  // no change, no report
    QVERIFY(bob->Sync() && alice->Sync());
    QVERIFY(!alice->Has(7));
    bob->Socket().abort();
    QVERIFY(alice->Take(7, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob"), quint32(0)));
    alice->Send(5, Pack(QStringLiteral("bob")));  // known though offline
    QVERIFY(alice->Take(5, &answer));
    QCOMPARE(Fields(answer).Str(), QStringLiteral("bob"));
    QCOMPARE(answer.mid(7, 5), Pack(quint8(1), quint32(0)));
    bob = LoggedIn(server, QStringLiteral("bob"));
    QVERIFY(bob);
    QVERIFY(alice->Take(7, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob"), quint32(2)));

    // Statistics follow 35.
    bob->Send(35, Pack(quint32(7), quint32(70)));
    alice->Send(36, Pack(QStringLiteral("bob")));
    QVERIFY(alice->Take(36, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob")) + StatsBytes(UserStats(50, 1, 70, 7)));

    // Privileges, the privileged list, private-room adds and correlations.
    server.SetPrivileges(QStringLiteral("alice"), 3600, true);
    bob->Send(123, Pack(QStringLiteral("alice"), quint32(2)));
    QVERIFY(server.WaitForMessage(QStringLiteral("bob"), 123, kWait));
    QCOMPARE(server.PrivilegeSeconds(QStringLiteral("alice")), 3600u + 2 * 86400u);
    alice->Send(92);
    QVERIFY(alice->Take(92, &answer));
    QCOMPARE(answer, Pack(quint32(3600 + 2 * 86400), quint8(1)));
    server.SetPrivilegedUsers({QStringLiteral("alice")});
    for (RawClient* client : {alice.get(), bob.get()}) {
        QVERIFY(client->Take(69, &answer));
        QCOMPARE(answer, Pack(quint32(1), QStringLiteral("alice")));
    }
    server.AddPrivilegedUser(QStringLiteral("bob"));
    QVERIFY(bob->Take(91, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("bob")));
    bob->Send(141, Pack(quint8(1)));
    QVERIFY(bob->Take(141, &answer));
    QCOMPARE(answer, Pack(quint8(1)));
    server.SetCorrelations(QStringLiteral("jazz"), {{QStringLiteral("blues"), 3}});
    bob->Send(153, Pack(QStringLiteral("jazz")));
    bob->Send(153, Pack(QStringLiteral("polka")));
    QVERIFY(bob->Take(153, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("jazz"), quint32(1), QStringLiteral("blues"), quint32(3)));
    QVERIFY(bob->Take(153, &answer));
    QCOMPARE(answer, Pack(QStringLiteral("polka"), quint32(0)));
}

void TestTestServer::scripting() {
    TestServer server;
    QVERIFY(server.Listen());
    auto alice = LoggedIn(server, QStringLiteral("alice"));
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    QVERIFY(alice && bob);
    bob->Send(2, Pack(quint32(4242), quint32(0)));

    server.SendTo(QStringLiteral("alice"), 66, Pack(QStringLiteral("admin says")));
    server.SendRawTo(QStringLiteral("alice"), Frame(104, Pack(quint32(600))));
    QByteArray payload;
    QVERIFY(alice->Take(66, &payload));
    QCOMPARE(payload, Pack(QStringLiteral("admin says")));
    QVERIFY(alice->Take(104, &payload));
    QCOMPARE(payload, Pack(quint32(600)));

    // Possible parents at loopback, port 0 meaning the reported one.
    QVERIFY(server.WaitForMessage(QStringLiteral("bob"), 2, kWait));
    server.SetPossibleParents(QStringLiteral("alice"),
                              {{QStringLiteral("bob"), 0}, {QStringLiteral("x"), 9}});
    QVERIFY(alice->Take(102, &payload));
    QCOMPARE(payload, Pack(quint32(2), QStringLiteral("bob"), quint32(0x7F000001), quint32(4242),
                           QStringLiteral("x"), quint32(0x7F000001), quint32(9)));

    // Everything is recorded in order; each wait returns a frame only once.
    alice->Send(32);
    alice->Send(35, Pack(quint32(1), quint32(2)));
    alice->Send(32);
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 32, kWait));
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 32, kWait));
    QVERIFY(!server.WaitForMessage(QStringLiteral("alice"), 32, 50));
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 35, kWait, &payload));
    QCOMPARE(payload, Pack(quint32(1), quint32(2)));
    const auto received = server.Received(QStringLiteral("alice"));
    QCOMPARE(received.size(), 3);
    QCOMPARE(received[1].first, 35u);
    QCOMPARE(received[2].second, QByteArray());
    server.ClearReceived(QStringLiteral("alice"));
    QVERIFY(server.Received(QStringLiteral("alice")).isEmpty());
    QVERIFY(!server.WaitForMessage(QStringLiteral("alice"), 35, 50));
    QSignalSpy messages(&server, &TestServer::MessageReceived);
    alice->Send(71, Pack(quint8(1)));
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 71, kWait, &payload));
    QCOMPARE(payload, Pack(quint8(1)));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0][1].toUInt(), 71u);

    // A wait from inside a signal for a frame of the same client.
    bool nestedWait = false;
    const auto waiter = connect(&server, &TestServer::ClientLoggedIn, [&](const QString& user) {
        nestedWait = server.WaitForMessage(user, 2, kWait);
    });
    RawClient carol;
    QVERIFY(carol.Connect(server.Port()));
    carol.Send(1, Pack(QStringLiteral("carol"), QStringLiteral("c"), quint32(157), quint32(100),
                       QCryptographicHash::hash("carolc", QCryptographicHash::Md5).toHex()));
    carol.Send(2, Pack(quint32(1), quint32(0)));
    QTRY_VERIFY(nestedWait);
    disconnect(waiter);

    server.DropClient(QStringLiteral("alice"));
    QVERIFY(!server.IsLoggedIn(QStringLiteral("alice")));
    QVERIFY(alice->WaitClosed());
    QCOMPARE(server.LoggedInUsers(), (QStringList{QStringLiteral("bob"), QStringLiteral("carol")}));
    QVERIFY(bob->Sync());

    server.Close();
    QVERIFY(bob->WaitClosed());
    QCOMPARE(server.ClientCount(), 0);
}

void TestTestServer::framingLimits() {
    TestServer server;
    QVERIFY(server.Listen());
    auto alice = LoggedIn(server, QStringLiteral("alice"));
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    QVERIFY(alice && bob);

    // A frame in single bytes, and one of exactly the largest length.
    const QByteArray chat = Frame(28, Pack(quint32(1)));
    for (char byte : chat) {
        alice->SendRaw(QByteArray(1, byte));
        alice->Socket().flush();
    }
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 28, kWait));
    alice->Send(999, QByteArray(int(TestServer::kMaxFrameLength) - 4, 'x'));
    QByteArray payload;
    QVERIFY(server.WaitForMessage(QStringLiteral("alice"), 999, 20000, &payload));
    QCOMPARE(payload.size(), int(TestServer::kMaxFrameLength) - 4);

    // A malformed payload is ignored, the connection stays.
    alice->Send(13, Pack(QStringLiteral("room")) + QByteArray("\x10\0\0\0ab", 6));
    alice->Send(3, QByteArray("\xff\xff\xff\xff", 4));
    QVERIFY(alice->Sync());
    QVERIFY(!alice->Has(3));

    // Lengths over the cap or below 4 close only that connection.
    QSignalSpy disconnected(&server, &TestServer::ClientDisconnected);
    QByteArray huge(8, '\0');
    qToLittleEndian<quint32>(TestServer::kMaxFrameLength + 1, huge.data());
    alice->SendRaw(huge);
    QVERIFY(alice->WaitClosed());
    QCOMPARE(disconnected.size(), 1);
    QVERIFY(bob->Sync());
    QVERIFY(server.IsLoggedIn(QStringLiteral("bob")));

    RawClient tiny;
    QVERIFY(tiny.Connect(server.Port()));
    tiny.SendRaw(QByteArray("\x03\0\0\0\0\0\0\0", 8));
    QVERIFY(tiny.WaitClosed());
    QVERIFY(bob->Sync());
}

void TestTestServer::fuzz() {
    // Thousands of refused frames would drown the output.
    QLoggingCategory::setFilterRules(QStringLiteral("tavenook.testserver.warning=false"));
    TestServer server;
    QVERIFY(server.Listen());
    auto bob = LoggedIn(server, QStringLiteral("bob"));
    auto mallory = LoggedIn(server, QStringLiteral("mallory"));
    QVERIFY(bob && mallory);
    bob->Send(14, Pack(QStringLiteral("r"), quint32(0)));
    bob->Send(14, Pack(QStringLiteral("p"), quint32(1)));
    QVERIFY(bob->Sync());

    const QStringList names{QStringLiteral("bob"), QStringLiteral("mallory"), QStringLiteral("r"),
                            QStringLiteral("p"), QString()};
    const QList<quint32> codes{1,   2,   3,   5,   13,  14,  15,  18,  22,  26,  28,  32,  35,
                               36,  42,  64,  71,  92,  100, 103, 116, 120, 121, 123, 126, 127,
                               129, 134, 135, 136, 137, 141, 143, 144, 149, 153, 1001};
    QRandomGenerator random(20240611);
    auto name = [&] { return names[int(random.bounded(names.size()))]; };
    for (int i = 0; i < 4000; ++i) {
        const quint32 code = random.bounded(8) == 0 ? random.generate() % 2000
                                                    : codes[int(random.bounded(codes.size()))];
        // Plausible fields, then cut short or with bytes flipped.
        QByteArray payload;
        const int fields = int(random.bounded(5));
        for (int f = 0; f < fields; ++f) {
            payload += random.bounded(2) ? Pack(name()) : Pack(quint32(random.bounded(4)));
        }
        if (random.bounded(3) == 0 && !payload.isEmpty()) {
            payload.truncate(int(random.bounded(payload.size())));
        }
        if (random.bounded(3) == 0 && !payload.isEmpty()) {
            payload[int(random.bounded(payload.size()))] = char(random.generate());
        }
        if (random.bounded(10) == 0) {
            payload = QByteArray(int(random.bounded(64)), '\0');
            for (char& byte : payload) {
                byte = char(random.generate());
            }
        }
        mallory->Send(code, payload);
        if (i % 500 == 0) {
            QVERIFY(mallory->Sync());
            mallory->Frames().clear();
        }
    }
    QVERIFY(mallory->Sync());
    QVERIFY(bob->Sync());
    QVERIFY(server.IsLoggedIn(QStringLiteral("bob")));

    // Garbage from a connection that never logs in.
    for (int round = 0; round < 20; ++round) {
        RawClient noise;
        QVERIFY(noise.Connect(server.Port()));
        QByteArray bytes(int(random.bounded(200)), '\0');
        for (char& byte : bytes) {
            byte = char(random.generate());
        }
        noise.SendRaw(bytes);
        noise.Socket().flush();
        QVERIFY(bob->Sync());
    }
    QVERIFY(server.IsLoggedIn(QStringLiteral("bob")));
    QLoggingCategory::setFilterRules(QString());
}

QTEST_GUILESS_MAIN(TestTestServer)
#include "test_testserver.moc"
