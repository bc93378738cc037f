// One smoke run of the loopback server, with scripted peers speaking its
// framing: logins, and the routing two clients need to find each other
// (searches, peer addresses, connect-back requests and their failures).
#include <QCryptographicHash>
#include <QtTest>

#include "support/DeafPeer.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"

namespace {

QByteArray Login(RawPeer& client, quint16 port, const QString& user, const QString& password) {
    const QByteArray digest =
        QCryptographicHash::hash(user.toUtf8() + password.toUtf8(), QCryptographicHash::Md5);
    if (!client.ConnectTo(port))
        return "(not connected)";
    client.SendMessage(1, Payload().Str(user).Str(password).U32(157).U32(100).Str(digest.toHex()));
    return client.Take(1);
}

// A client connected to 127.0.0.1:port that logs in and then reads nothing:
// its receive buffer is as small as the system allows. Closed with it.
struct DeafClient {
    int fd;
    DeafClient(quint16 port, const QString& user) : fd(DeafSocket(port)) {
        const QByteArray digest =
            QCryptographicHash::hash(user.toUtf8() + "pw", QCryptographicHash::Md5);
        const QByteArray login =
            RawPeer::Frame(1, Payload().Str(user).Str("pw").U32(157).U32(100).Str(digest.toHex()));
        if (fd >= 0 &&
            ::send(fd, login.constData(), std::size_t(login.size()), 0) != login.size()) {
            ::close(fd);
            fd = -1;
        }
    }
    ~DeafClient() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

class TestTestServer : public QObject {
    Q_OBJECT
private slots:
    void loginAndRouting() {
        TestServer server;
        QVERIFY(server.Listen());
        RawPeer alice, bob, carol, eve;
        const QByteArray welcome = Payload().U8(1);
        QCOMPARE(Login(alice, server.Port(), "alice", "pw"), welcome);
        QCOMPARE(Login(bob, server.Port(), "bob", "pw"), welcome);
        QCOMPARE(Login(carol, server.Port(), "carol", "pw"), welcome);
        QCOMPARE(Login(eve, server.Port(), "alice", "guess"),
                 Payload().U8(0).Str("INVALIDPASS").Bytes());
        QCOMPARE(server.LoggedInUsers(), (QStringList{"alice", "bob", "carol"}));
        alice.SendMessage(2, Payload().U32(5000).U32(0));
        bob.SendMessage(2, Payload().U32(6000).U32(6001));

        // A search reaches every other logged-in user, a user search only one.
        alice.SendMessage(26, Payload().U32(7).Str("some music"));
        for (RawPeer* peer : {&bob, &carol})
            QCOMPARE(peer->Take(26), Payload().Str("alice").U32(7).Str("some music").Bytes());
        alice.SendMessage(42, Payload().Str("carol").U32(8).Str("just you"));
        QCOMPARE(carol.Take(26), Payload().Str("alice").U32(8).Str("just you").Bytes());
        QVERIFY(server.WaitForMessage("alice", 42, 5000));

        // Addresses are loopback with the reported ports; zeros when offline.
        alice.SendMessage(3, Payload().Str("bob"));
        QCOMPARE(alice.Take(3), Payload().Str("bob").U32(0x7F000001).U32(6000).U32(6001).Bytes());
        alice.SendMessage(3, Payload().Str("nobody"));
        QCOMPARE(alice.Take(3), Payload().Str("nobody").U32(0).U32(0).U32(0).Bytes());

        // Connect-back carries the requester's address; failures travel back.
        alice.SendMessage(18, Payload().U32(11).Str("bob").Str("F"));
        QCOMPARE(bob.Take(18),
                 Payload().Str("alice").Str("F").U32(0x7F000001).U32(5000).U32(11).Bytes());
        bob.SendMessage(1001, Payload().U32(11).Str("alice"));
        QCOMPARE(alice.Take(1001), Payload().U32(11).Str("bob").Bytes());
        alice.SendMessage(18, Payload().U32(12).Str("ghost").Str("P"));
        QCOMPARE(alice.Take(1001), Payload().U32(12).Str("ghost").Bytes());
    }

    // A burst of output the server makes without going back to its event
    // loop (as for a login with a long user list) piles up in its buffer:
    // a client that reads it keeps its session however far behind the
    // server is; one that reads nothing is dropped.
    void deafJudgedByWhatTheClientLeavesUnread_data() {
        QTest::addColumn<bool>("reads");
        QTest::newRow("reads while the server is behind") << true;
        QTest::newRow("reads nothing") << false;
    }
    void deafJudgedByWhatTheClientLeavesUnread() {
        QFETCH(bool, reads);
        TestServer server;
        QVERIFY(server.Listen());
        server.SetMaxPendingOutput(256 * 1024);
        server.SetDeafAfterMs(2000);
        const QString user = reads ? "reader" : "deaf";
        RawPeer reader;
        std::unique_ptr<DeafClient> deaf;
        if (reads) {
            QCOMPARE(Login(reader, server.Port(), user, "pw"), Payload().U8(1).Bytes());
        } else {
            deaf.reset(new DeafClient(server.Port(), user));
            QVERIFY(deaf->fd >= 0);
            QTRY_VERIFY(server.IsLoggedIn(user));
        }
        const QByteArray block(1 << 20, 'x');
        constexpr int kBlocks = 24;
        for (int k = 0; k < kBlocks; ++k)
            server.SendTo(user, 99, block);
        if (reads) {
            for (int k = 0; k < kBlocks; ++k)
                QCOMPARE(reader.Take(99).size(), block.size());
            QVERIFY(server.IsLoggedIn(user));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!server.IsLoggedIn(user), 60000);
        }
    }
};

QTEST_GUILESS_MAIN(TestTestServer)
#include "test_testserver.moc"
