// One smoke run of the loopback server, with scripted peers speaking its
// framing: logins, and the routing two clients need to find each other
// (searches, peer addresses, connect-back requests and their failures).
#include <QCryptographicHash>
#include <QtTest>

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
};

QTEST_GUILESS_MAIN(TestTestServer)
#include "test_testserver.moc"
