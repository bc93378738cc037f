// The scripted peer against itself: set-up frames, framed messages plain and
// obfuscated (split and coalesced), the transform against hand-computed
// bytes, raw "F" and "D" streams, and several connections at once.

#include <QTcpServer>
#include <QtTest>

#include "store/MemStream.h"
#include "support/RawPeer.h"

namespace {

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

QByteArray Str(const QString& text) {
    MemStream stream;
    stream.Write(text);
    return stream.GetWrittenBytes();
}

}  // namespace

class TestRawPeer : public QObject {
    Q_OBJECT

private slots:
    void transformMatchesHandComputedBytes() {
        // Key 0x12345678 rotated right by 1, 2, 3, 4 bits: 0x091A2B3C,
        // 0x048D159E, 0x02468ACF, 0x81234567, each XORed in little-endian.
        const quint32 key = 0x12345678;
        QCOMPARE(RawPeer::Transform(QByteArray(14, '\0'), key), Hex("3c2b1a09"
                                                                    "9e158d04"
                                                                    "cf8a4602"
                                                                    "6745"));

        // PM 51 for "ab": length 10, code 51, str "ab".
        const QByteArray frame = RawPeer::Frame(51, Str("ab"));
        QCOMPARE(frame, Hex("0a000000"
                            "33000000"
                            "02000000"
                            "6162"));
        const QByteArray wire = RawPeer::Obfuscate(frame, key);
        QCOMPARE(wire, Hex("78563412"
                           "362b1a09"
                           "ad158d04"
                           "cd8a4602"
                           "0627"));
        QCOMPARE(RawPeer::Deobfuscate(wire), frame);
        QCOMPARE(RawPeer::Deobfuscate(wire.mid(4), key), frame);
        QCOMPARE(RawPeer::Deobfuscate(QByteArray("abc")), QByteArray());

        // Block 31 uses the key rotated by 32 (itself), block 32 wraps to 1.
        const QByteArray masks = RawPeer::Transform(QByteArray(33 * 4, '\0'), key);
        QCOMPARE(masks.mid(31 * 4, 4), Hex("78563412"));
        QCOMPARE(masks.mid(32 * 4, 4), Hex("3c2b1a09"));

        QCOMPARE(RawPeer::SetUpFrame("bob", "P"), Hex("14000000"
                                                      "01000000"
                                                      "03000000626f62"
                                                      "0100000050"
                                                      "00000000"));
        QCOMPARE(RawPeer::ConnectBackFrame(7), Hex("08000000"
                                                   "00000000"
                                                   "07000000"));
        QCOMPARE(RawPeer::DFrame(4, Hex("ffffffff")), Hex("05000000"
                                                          "04"
                                                          "ffffffff"));
    }

    void plainSetUpAndMessages() {
        RawPeer a, b;
        QVERIFY(a.Listen());
        QVERIFY(a.Port() != 0);
        QVERIFY(b.ConnectTo(a.Port()));
        QVERIFY(!b.IsObfuscated());
        b.SendSetUp("bob", "P");
        b.SendMessage(51, Str("song.mp3"));
        QVERIFY(a.WaitForIncoming());
        QString user, kind;
        QVERIFY(a.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString("bob"));
        QCOMPARE(kind, QString("P"));
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(code, 51u);
        QCOMPARE(payload, Str("song.mp3"));

        // Answer the other way, an empty payload included.
        a.SendMessage(4);
        QVERIFY(b.WaitForMessage(&code, &payload));
        QCOMPARE(code, 4u);
        QVERIFY(payload.isEmpty());

        // Coalesced: three frames in one write.
        b.SendRaw(RawPeer::Frame(15, {}) + RawPeer::Frame(43, Str("x")) +
                  RawPeer::Frame(46, Str("y")));
        for (quint32 expected : {15u, 43u, 46u}) {
            QVERIFY(a.WaitForMessage(&code, &payload));
            QCOMPARE(code, expected);
        }
        // Split: a frame that is not whole yet is not given out, and nothing
        // of it is consumed.
        const QByteArray frame = RawPeer::Frame(44, Str("z") + RawPeer::U32(3));
        b.SendRaw(frame.left(6));
        QVERIFY(!a.WaitForMessage(&code, &payload, 100));
        QCOMPARE(a.BytesAvailable(), qint64(6));
        b.SendRaw(frame.mid(6));
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(code, 44u);
        QCOMPARE(payload, Str("z") + RawPeer::U32(3));

        // A length below 4 is not a frame; the bytes stay for ReadRaw.
        b.SendRaw(RawPeer::U32(3));
        QVERIFY(!a.WaitForMessage(&code, &payload, 200));
        QCOMPARE(a.ReadRaw(4), RawPeer::U32(3));

        // Connect-back answer, and a set-up frame over the 4,096 cap.
        QVERIFY(b.ConnectTo(a.Port()));
        b.SendConnectBackAnswer(0xdeadbeef);
        QVERIFY(a.WaitForIncoming());
        RawPeer::SetUp setUp;
        QVERIFY(a.ReadSetUp(&setUp));
        QCOMPARE(setUp.code, 0u);
        QCOMPARE(setUp.token, 0xdeadbeefu);
        b.SendSetUp(QString(5000, 'u'), "P");
        QVERIFY(!a.ReadSetUp(&setUp, 500));

        b.Close();
        QVERIFY(a.WaitForDisconnect());
        QVERIFY(!a.IsConnected());
    }

    void obfuscatedSetUpAndMessages() {
        RawPeer a, b;
        QVERIFY(a.Listen());
        QVERIFY(a.ListenObfuscated());
        QVERIFY(b.ConnectTo(a.ObfuscatedPort(), true));
        QVERIFY(b.IsObfuscated());
        b.SendSetUp("bob", "P");
        b.SendMessage(51, Str("a.mp3"));
        QVERIFY(a.WaitForIncoming());
        QVERIFY(a.IsObfuscated());
        QString user, kind;
        QVERIFY(a.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString("bob"));
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(code, 51u);
        QCOMPARE(payload, Str("a.mp3"));
        a.SendMessage(50, Str("a.mp3") + Str("Queued"));
        QVERIFY(b.WaitForMessage(&code, &payload));
        QCOMPARE(code, 50u);
        QCOMPARE(payload, Str("a.mp3") + Str("Queued"));

        // Coalesced and split obfuscated frames, each with its own key.
        const QByteArray f1 = RawPeer::Frame(43, Str("one"));
        const QByteArray f2 = RawPeer::Frame(46, Str("two"));
        const QByteArray wire = RawPeer::Obfuscate(f1, 1) + RawPeer::Obfuscate(f2, 0xffffffff);
        b.SendRaw(wire + wire.left(5));
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(payload, Str("one"));
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(payload, Str("two"));
        QVERIFY(!a.WaitForMessage(&code, &payload, 100));
        b.SendRaw(wire.mid(5));
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(payload, Str("one"));
        QVERIFY(a.WaitForMessage(&code, &payload));
        QCOMPARE(code, 46u);

        // What travels is key + transformed frame, with a fresh key per frame.
        QVERIFY(b.ConnectTo(a.Port(), true));
        b.SendMessage(43, Str("same"));
        b.SendMessage(43, Str("same"));
        QVERIFY(a.WaitForIncoming());
        QVERIFY(!a.IsObfuscated());
        const QByteArray frame = RawPeer::Frame(43, Str("same"));
        const QByteArray first = a.ReadRaw(4 + frame.size());
        const QByteArray second = a.ReadRaw(4 + frame.size());
        QCOMPARE(RawPeer::Deobfuscate(first), frame);
        QCOMPARE(RawPeer::Deobfuscate(second), frame);
        QVERIFY(first != second);
    }

    void rawFileAndDistributedStreams() {
        RawPeer uploader, downloader;
        QVERIFY(downloader.Listen());
        QVERIFY(uploader.ConnectTo(downloader.Port()));
        // Set-up, token and the first data in one write: each read takes
        // exactly its bytes.
        const QByteArray data = QByteArray(100000, 'd') + "end";
        uploader.SendRaw(RawPeer::SetUpFrame("up", "F") + RawPeer::U32(0x01020304) + data);
        QVERIFY(downloader.WaitForIncoming());
        QString user, kind;
        QVERIFY(downloader.ReadSetUp(&user, &kind));
        QCOMPARE(kind, QString("F"));
        QCOMPARE(downloader.ReadRaw(4), Hex("04030201"));
        downloader.SendRaw(RawPeer::I64(123456789012));
        QCOMPARE(uploader.ReadRaw(8), RawPeer::I64(123456789012));
        QCOMPARE(downloader.ReadRaw(data.size()), data);
        QVERIFY(downloader.ReadRaw(1, 100).isEmpty());

        QVERIFY(uploader.ConnectTo(downloader.Port()));
        const QByteArray frame = RawPeer::DFrame(5, Str("leader"));
        uploader.SendRaw(RawPeer::SetUpFrame("up", "D") + frame);
        QVERIFY(downloader.WaitForIncoming());
        QVERIFY(downloader.ReadSetUp(&user, &kind));
        QCOMPARE(kind, QString("D"));
        QCOMPARE(downloader.ReadRaw(frame.size()), frame);
    }

    void severalConnectionsAtOnce() {
        RawPeer a, b, c;
        QVERIFY(a.Listen());
        QVERIFY(c.Listen());
        QVERIFY(b.ConnectTo(a.Port()));
        const int first = b.CurrentConnection();
        QVERIFY(b.ConnectTo(a.Port()));
        const int second = b.CurrentConnection();
        QVERIFY(b.ConnectTo(c.Port()));
        QCOMPARE(b.ConnectionCount(), 3);
        b.SendSetUpOn(first, "b1", "P");
        b.SendSetUpOn(second, "b2", "P");
        b.SendSetUp("b3", "P");
        b.SendMessageOn(second, 15);

        QVERIFY(a.WaitForIncoming());
        const int inFirst = a.CurrentConnection();
        QVERIFY(a.WaitForIncoming());
        const int inSecond = a.CurrentConnection();
        QVERIFY(!a.WaitForIncoming(100));
        QString user, kind;
        QVERIFY(a.Select(inFirst));
        QVERIFY(a.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString("b1"));
        QVERIFY(a.Select(inSecond));
        QVERIFY(a.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString("b2"));
        quint32 code = 0;
        QVERIFY(a.WaitForMessage(&code, nullptr));
        QCOMPARE(code, 15u);
        QVERIFY(c.WaitForIncoming());
        QVERIFY(c.ReadSetUp(&user, &kind));
        QCOMPARE(user, QString("b3"));
        QVERIFY(!a.Select(99));

        // Replies go back on the connection they were sent on.
        a.SendMessageOn(inFirst, 16, "1");
        a.SendMessageOn(inSecond, 16, "2");
        QByteArray payload;
        QVERIFY(b.WaitForMessageOn(second, &code, &payload));
        QCOMPARE(payload, QByteArray("2"));
        QVERIFY(b.WaitForMessageOn(first, &code, &payload));
        QCOMPARE(payload, QByteArray("1"));

        b.CloseOn(first);
        QVERIFY(a.WaitForDisconnectOn(inFirst));
        QVERIFY(!a.WaitForDisconnectOn(inSecond, 100));

        // A port where nothing listens.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        QVERIFY(!b.ConnectTo(port));
    }
};

QTEST_GUILESS_MAIN(TestRawPeer)
#include "test_rawpeer.moc"
