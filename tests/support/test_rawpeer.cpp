// The scripted peer's bytes against hand-computed ones (the client's own
// obfuscation is checked against this implementation), and one obfuscated
// round trip between two scripted peers.
#include <QtTest>

#include "support/Payload.h"
#include "support/RawPeer.h"

class TestRawPeer : public QObject {
    Q_OBJECT
private slots:
    void bytesAndObfuscatedRoundTrip() {
        // Key 0x12345678 rotated right by 1..4 bits, each XORed little-endian;
        // block 31 uses the key itself, block 32 wraps back to one bit.
        const quint32 key = 0x12345678;
        QCOMPARE(RawPeer::Transform(QByteArray(14, '\0'), key),
                 QByteArray::fromHex("3c2b1a09 9e158d04 cf8a4602 6745"));
        const QByteArray masks = RawPeer::Transform(QByteArray(33 * 4, '\0'), key);
        QCOMPARE(masks.mid(31 * 4, 4), QByteArray::fromHex("78563412"));
        QCOMPARE(masks.mid(32 * 4, 4), QByteArray::fromHex("3c2b1a09"));
        const QByteArray frame = RawPeer::Frame(51, Payload().Str("ab"));
        QCOMPARE(frame, QByteArray::fromHex("0a000000 33000000 02000000 6162"));
        QCOMPARE(RawPeer::Obfuscate(frame, key),
                 QByteArray::fromHex("78563412 362b1a09 ad158d04 cd8a4602 0627"));
        QCOMPARE(RawPeer::SetUpFrame("bob", "P"),
                 QByteArray::fromHex("14000000 01000000 03000000626f62 0100000050 00000000"));
        QCOMPARE(RawPeer::ConnectBackFrame(7), QByteArray::fromHex("08000000 00000000 07000000"));
        QCOMPARE(RawPeer::DFrame(4, QByteArray::fromHex("ffffffff")),
                 QByteArray::fromHex("05000000 04 ffffffff"));

        RawPeer a, b;
        QVERIFY(a.ListenObfuscated());
        QVERIFY(b.ConnectTo(a.ObfuscatedPort(), true));
        b.SendSetUp("bob", "P");
        b.SendMessage(51, Payload().Str("a.mp3"));
        QVERIFY(a.WaitForIncoming());
        QString user, kind;
        QVERIFY(a.ReadSetUp(&user, &kind));
        QCOMPARE(user + kind, QString("bobP"));
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(code, 51u);
        QCOMPARE(payload, Payload().Str("a.mp3").Bytes());
        a.SendMessage(4);
        QVERIFY(b.WaitForMessage(&code, &payload));
        QCOMPARE(code, 4u);
        b.Close();
        QVERIFY(a.WaitForDisconnect());
    }
};

QTEST_GUILESS_MAIN(TestRawPeer)
#include "test_rawpeer.moc"
