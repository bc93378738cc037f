// Synthetic frame sequences for the census, votes and bitrate rules, the stop
// callback, and files made by a real encoder when one is installed.

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <cmath>
#include <random>

#include "shares/MP3Scanner.h"

namespace {

const int kMpeg1Kbps[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const int kMpeg2Kbps[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// One MPEG audio frame header, in the terms a reader of the standard uses.
struct Header {
    int version = 1;  // 1, 2, 25 (MPEG-2.5) or 0 for the reserved version bits
    int layer = 3;    // 1, 2, 3 or 0 for the reserved layer bits
    bool protectionSet = true;
    int bitrateIndex = 9;
    int rateIndex = 0;
    int mode = 1;

    Header withMode(int m) const {
        Header h = *this;
        h.mode = m;
        return h;
    }
    Header withRate(int r) const {
        Header h = *this;
        h.rateIndex = r;
        return h;
    }
    Header withLayer(int l) const {
        Header h = *this;
        h.layer = l;
        return h;
    }
    Header withProtection(bool set) const {
        Header h = *this;
        h.protectionSet = set;
        return h;
    }
    Header withBitrateIndex(int i) const {
        Header h = *this;
        h.bitrateIndex = i;
        return h;
    }

    QByteArray bytes() const {
        const int versionBits = version == 1 ? 3 : version == 2 ? 2 : version == 25 ? 0 : 1;
        const int layerBits = layer == 3 ? 1 : layer == 2 ? 2 : layer == 1 ? 3 : 0;
        QByteArray b(4, '\0');
        b[0] = char(0xFF);
        b[1] = char(0xE0 | versionBits << 3 | layerBits << 1 | (protectionSet ? 1 : 0));
        b[2] = char(bitrateIndex << 4 | rateIndex << 2);
        b[3] = char(mode << 6 | 0x04);
        return b;
    }

    // The real Layer III frame length where it is defined; the analyser only
    // reads headers, so anything else just gets some room.
    int frameLength() const {
        static const int rates[3][3] = {
            {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
        if (layer != 3 || bitrateIndex < 1 || bitrateIndex > 14 || rateIndex > 2 || version == 0) {
            return 200;
        }
        const int row = version == 1 ? 0 : version == 2 ? 1 : 2;
        const int kbps = version == 1 ? kMpeg1Kbps[bitrateIndex] : kMpeg2Kbps[bitrateIndex];
        return (version == 1 ? 144000 : 72000) * kbps / rates[row][rateIndex];
    }
};

Header WithKbps(int version, int kbps, const int* table) {
    Header h;
    h.version = version;
    for (int i = 1; i <= 14; ++i) {
        if (table[i] == kbps) {
            h.bitrateIndex = i;
        }
    }
    return h;
}
Header M1(int kbps) {
    return WithKbps(1, kbps, kMpeg1Kbps);
}
Header M2(int kbps) {
    return WithKbps(2, kbps, kMpeg2Kbps);
}
Header M25(int kbps) {
    return WithKbps(25, kbps, kMpeg2Kbps);
}

// Builds file contents: frames with zero payload (which can hold no sync
// byte), loose headers at chosen offsets, and filler.
class Bytes {
public:
    Bytes& frames(int count, const Header& h) {
        for (int i = 0; i < count; ++i) {
            QByteArray frame = h.bytes();
            frame.append(QByteArray(h.frameLength() - 4, '\0'));
            m_data += frame;
        }
        return *this;
    }
    Bytes& header(const Header& h) {
        m_data += h.bytes();
        return *this;
    }
    Bytes& zeros(int count) {
        m_data.append(QByteArray(count, '\0'));
        return *this;
    }
    Bytes& zerosTo(int offset) { return zeros(offset - m_data.size()); }
    Bytes& raw(const QByteArray& bytes) {
        m_data += bytes;
        return *this;
    }
    operator QByteArray() const { return m_data; }

private:
    QByteArray m_data;
};

struct Result {
    bool ok = false;
    int version = -7;
    QString mode = QStringLiteral("untouched");
    int frequency = -7;
    bool vbr = false;
    int bitrate = -7;
};

Result Scan(const QString& path, const std::function<bool()>& stop = {}) {
    Result r;
    r.ok = ScanMP3File(path, r.version, r.mode, r.frequency, r.vbr, r.bitrate, stop);
    return r;
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// 16-bit PCM; the left channel carries the signal, the right a softer copy.
QByteArray Wav(int rate, int channels, const std::vector<qint16>& samples) {
    const quint32 dataBytes = quint32(samples.size() * 2 * size_t(channels));
    QByteArray w;
    auto u32 = [&w](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        w.append(b, 4);
    };
    auto u16 = [&w](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        w.append(b, 2);
    };
    w += "RIFF";
    u32(36 + dataBytes);
    w += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(quint16(channels));
    u32(quint32(rate));
    u32(quint32(rate * channels * 2));
    u16(quint16(channels * 2));
    u16(16);
    w += "data";
    u32(dataBytes);
    for (qint16 s : samples) {
        u16(quint16(s));
        if (channels == 2) {
            u16(quint16(qint16(s / 2)));
        }
    }
    return w;
}

}  // namespace

class TestMP3 : public QObject {
    Q_OBJECT

private slots:
    void analysesSyntheticFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("frequency");
        QTest::addColumn<bool>("vbr");
        QTest::addColumn<int>("bitrate");

        const QString js = QStringLiteral("joint stereo");
        auto good = [](const char* name, const QByteArray& content, int version,
                       const QString& mode, int frequency, bool vbr, int bitrate) {
            QTest::newRow(name) << content << true << version << mode << frequency << vbr
                                << bitrate;
        };
        auto bad = [](const char* name, const QByteArray& content) {
            QTest::newRow(name) << content << false << 0 << QString() << 0 << false << -1;
        };

        // Bitrate rules.
        good("CBR 128 MPEG-1", Bytes().frames(200, M1(128)), 1, js, 0, false, 128);
        good("98 % of one bitrate is VBR",
             Bytes().frames(49, M1(128)).frames(2, M1(192)).frames(49, M1(128)), 1, js, 0, true,
             (98 * 128 + 2 * 192) / 100);
        good("99 % of one bitrate is CBR", Bytes().frames(99, M1(128)).frames(1, M1(192)), 1, js, 0,
             false, 128);
        good("VBR mean is truncated", Bytes().frames(1, M1(128)).frames(2, M1(160)), 1, js, 0, true,
             149);
        good("MPEG-1 table ends", Bytes().frames(1, M1(32)).frames(1, M1(320)), 1, js, 0, true,
             176);
        good("MPEG-2 table ends", Bytes().frames(1, M2(8)).frames(1, M2(160)), 2, js, 0, true, 84);
        good("MPEG-2 CBR 80", Bytes().frames(50, M2(80)), 2, js, 0, false, 80);

        // Version votes.
        good("version tie gives MPEG-2", Bytes().frames(50, M1(128)).frames(50, M2(80)), 2, js, 0,
             false, 80);
        good("MPEG-1 one vote ahead", Bytes().frames(51, M1(128)).frames(50, M2(80)), 1, js, 0,
             false, 128);
        bad("Layer II votes for the version before being dropped",
            Bytes().frames(60, M1(128).withLayer(2)).frames(50, M2(80)));
        good("reserved version bits give no vote",
             Bytes()
                 .frames(100, M1(128))
                 .frames(100,
                         [] {
                             Header h = M1(128);
                             h.version = 0;
                             return h;
                         }())
                 .frames(150, M2(80)),
             2, js, 0, false, 80);
        bad("only MPEG-2.5 frames", Bytes().frames(100, M25(64)));
        bad("MPEG-2.5 majority", Bytes().frames(40, M1(128)).frames(41, M25(64)));
        bad("MPEG-2.5 equal to the winner", Bytes().frames(40, M1(128)).frames(40, M25(64)));
        good("winner one vote over MPEG-2.5", Bytes().frames(41, M1(128)).frames(40, M25(64)), 1,
             js, 0, false, 128);

        // Headers without a bitrate still vote.
        bad("only free-format frames", Bytes().frames(100, M1(128).withBitrateIndex(0)));
        bad("only bitrate index 15", Bytes().frames(100, M1(128).withBitrateIndex(15)));
        bad("free-format frames outvote the sample rate",
            Bytes().frames(30, M1(128).withBitrateIndex(0).withRate(1)).frames(20, M1(128)));
        bad("sample-rate index 3 still votes for the protection bit",
            Bytes()
                .frames(30, M1(128).withRate(3).withProtection(false))
                .frames(20, M1(128).withProtection(true)));
        good("sample-rate index 3 gives no channel-mode vote",
             Bytes().frames(30, M1(128).withRate(3).withMode(0)).frames(20, M1(192).withMode(3)), 1,
             QStringLiteral("mono"), 0, false, 192);
        bad("only Layer I and II",
            Bytes().frames(50, M1(128).withLayer(1)).frames(50, M1(128).withLayer(2)));
        bad("reserved layer bits", Bytes().frames(50, M1(128).withLayer(0)));

        // No frames.
        bad("empty file", QByteArray());
        bad("zeros only", Bytes().zeros(100000));
        bad("sync bytes without headers", QByteArray(70000, char(0xFF)));

        // End of file.
        good("header ending at the end of the file is not counted",
             Bytes().frames(1, M1(128)).header(M1(320)), 1, js, 0, false, 128);
        good("one byte after the last header counts it",
             Bytes().frames(1, M1(128)).header(M1(320)).zeros(1), 1, js, 0, true, 224);
        bad("a lone four-byte header", Bytes().header(M1(128)));
        good("a lone header and one byte", Bytes().header(M1(128)).zeros(1), 1, js, 0, false, 128);

        // Sample-rate index and its ties; each index has its own bitrate so
        // the result also shows which frames agreed.
        good("44.1 kHz is 0", Bytes().frames(10, M1(128).withRate(0)), 1, js, 0, false, 128);
        good("48 kHz is 1", Bytes().frames(10, M1(128).withRate(1)), 1, js, 1, false, 128);
        good("32 kHz is 2", Bytes().frames(10, M1(128).withRate(2)), 1, js, 2, false, 128);
        good("rate tie 0 and 1 gives 1",
             Bytes().frames(10, M1(128).withRate(0)).frames(10, M1(192).withRate(1)), 1, js, 1,
             false, 192);
        good("rate tie 1 and 2 gives 2",
             Bytes().frames(10, M1(192).withRate(1)).frames(10, M1(256).withRate(2)), 1, js, 2,
             false, 256);
        good("rate tie 0 and 2 gives 2",
             Bytes()
                 .frames(10, M1(128).withRate(0))
                 .frames(5, M1(192).withRate(1))
                 .frames(10, M1(256).withRate(2)),
             1, js, 2, false, 256);
        good("rate 0 ahead of 2",
             Bytes()
                 .frames(11, M1(128).withRate(0))
                 .frames(5, M1(192).withRate(1))
                 .frames(10, M1(256).withRate(2)),
             1, js, 0, false, 128);
        good("rate 1 ahead of 2",
             Bytes()
                 .frames(5, M1(128).withRate(0))
                 .frames(11, M1(192).withRate(1))
                 .frames(10, M1(256).withRate(2)),
             1, js, 1, false, 192);

        // Channel modes and their ties.
        good("stereo", Bytes().frames(10, M1(128).withMode(0)), 1, QStringLiteral("stereo"), 0,
             false, 128);
        good("joint stereo", Bytes().frames(10, M1(128).withMode(1)), 1, js, 0, false, 128);
        good("dual channel", Bytes().frames(10, M1(128).withMode(2)), 1,
             QStringLiteral("dual mono"), 0, false, 128);
        good("single channel", Bytes().frames(10, M1(128).withMode(3)), 1, QStringLiteral("mono"),
             0, false, 128);
        good("mode tie stereo and joint gives joint",
             Bytes().frames(10, M1(128).withMode(0)).frames(10, M1(192).withMode(1)), 1, js, 0,
             false, 192);
        good("stereo ahead of joint",
             Bytes().frames(11, M1(128).withMode(0)).frames(10, M1(192).withMode(1)), 1,
             QStringLiteral("stereo"), 0, false, 128);
        good("mode tie joint and dual gives dual",
             Bytes().frames(10, M1(192).withMode(1)).frames(10, M1(256).withMode(2)), 1,
             QStringLiteral("dual mono"), 0, false, 256);
        good("dual ties stereo over fewer joint",
             Bytes()
                 .frames(10, M1(128).withMode(0))
                 .frames(5, M1(192).withMode(1))
                 .frames(10, M1(256).withMode(2)),
             1, QStringLiteral("dual mono"), 0, false, 256);
        good("mode tie stereo and single gives single",
             Bytes().frames(10, M1(128).withMode(0)).frames(10, M1(320).withMode(3)), 1,
             QStringLiteral("mono"), 0, false, 320);
        good("single one short of dual",
             Bytes().frames(10, M1(256).withMode(2)).frames(9, M1(320).withMode(3)), 1,
             QStringLiteral("dual mono"), 0, false, 256);

        // Protection bit.
        good("protection tie gives clear",
             Bytes()
                 .frames(10, M1(128).withProtection(true))
                 .frames(10, M1(192).withProtection(false)),
             1, js, 0, false, 192);
        good("protection set ahead",
             Bytes()
                 .frames(11, M1(128).withProtection(true))
                 .frames(10, M1(192).withProtection(false)),
             1, js, 0, false, 128);

        // Every byte offset is tested, also inside a frame already counted.
        good(
            "headers inside frames are counted",
            [] {
                Bytes b;
                for (int i = 0; i < 10; ++i) {
                    b.header(M1(128)).zeros(100).header(M1(192)).zeros(313);
                }
                return QByteArray(b);
            }(),
            1, js, 0, true, 160);

        // Headers near and across the 64 KiB chunk boundaries.
        for (int offset : {65530, 65531, 65532, 65533, 65534, 65535, 65536, 131068, 131070}) {
            const QByteArray name = "lone header at " + QByteArray::number(offset);
            good(name.constData(), Bytes().zerosTo(offset).header(M1(256)).zeros(10), 1, js, 0,
                 false, 256);
        }
        good("one odd frame across a chunk boundary",
             Bytes().zerosTo(65534).header(M1(192)).zeros(100).frames(60, M1(128)), 1, js, 0, true,
             (60 * 128 + 192) / 61);
        good("header across a boundary with one byte after it",
             Bytes().zerosTo(65533).header(M1(256)).zeros(1), 1, js, 0, false, 256);
        bad("header across a boundary ending at the end of the file",
            Bytes().zerosTo(65533).header(M1(256)));

        // Random bytes around the frames make a few false candidates, far too
        // few to move a vote or the 99 % share.
        good(
            "garbage around frames",
            [] {
                std::mt19937 rng(1234);
                Bytes b;
                for (int i = 0; i < 1000; ++i) {
                    QByteArray garbage(int(rng() % 300), '\0');
                    for (char& c : garbage) {
                        c = char(rng());
                    }
                    b.raw(garbage).frames(1, M1(128));
                }
                return QByteArray(b).append(char(0));
            }(),
            1, js, 0, false, 128);
    }

    void analysesSyntheticFiles() {
        QFETCH(QByteArray, content);
        QFETCH(bool, ok);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("a.mp3"));
        QVERIFY(WriteFile(path, content));

        const Result r = Scan(path);
        QCOMPARE(r.ok, ok);
        if (!ok) {
            QCOMPARE(r.bitrate, -1);
            return;
        }
        QTEST(r.version, "version");
        QTEST(r.mode, "mode");
        QTEST(r.frequency, "frequency");
        QTEST(r.vbr, "vbr");
        QTEST(r.bitrate, "bitrate");
    }

    void failsOnFilesItCannotRead() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Result r = Scan(dir.filePath(QStringLiteral("missing.mp3")));
        QVERIFY(!r.ok);
        QCOMPARE(r.bitrate, -1);
        QVERIFY(!Scan(dir.path()).ok);
        QTest::ignoreMessage(QtWarningMsg, "QFSFileEngine::open: No file name specified");
        QVERIFY(!Scan(QString()).ok);

        const QString locked = dir.filePath(QStringLiteral("locked.mp3"));
        QVERIFY(WriteFile(locked, Bytes().frames(10, M1(128))));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        QFile probe(locked);
        if (!probe.open(QIODevice::ReadOnly)) {  // root reads it anyway
            QVERIFY(!Scan(locked).ok);
        }
    }

    void stopsBetweenChunks() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("a.mp3"));
        QVERIFY(WriteFile(path, Bytes().frames(600, M1(128))));  // four chunks

        // Asked before anything is read: nothing, not even bitrate, changes.
        Result r = Scan(path, [] { return true; });
        QVERIFY(!r.ok);
        QCOMPARE(r.bitrate, -7);

        int polls = 0;
        r = Scan(path, [&polls] { return ++polls == 3; });
        QVERIFY(!r.ok);
        QCOMPARE(polls, 3);

        polls = 0;
        r = Scan(path, [&polls] {
            ++polls;
            return false;
        });
        QVERIFY(r.ok);
        QCOMPARE(r.bitrate, 128);
        QVERIFY(polls >= 5);  // once up front and once per chunk
    }

    void analysesEncoderOutput_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("frequency");
        QTest::addColumn<bool>("vbr");
        QTest::addColumn<int>("bitrate");  // 0: any

        const QStringList cbr = {QStringLiteral("--cbr"), QStringLiteral("-b"),
                                 QStringLiteral("128")};
        QTest::newRow("CBR 128 joint stereo 44.1 kHz")
            << (cbr + QStringList{QStringLiteral("-m"), QStringLiteral("j")}) << 44100 << 2
            << QStringLiteral("joint stereo") << 0 << false << 128;
        QTest::newRow("CBR 128 stereo 48 kHz")
            << (cbr + QStringList{QStringLiteral("-m"), QStringLiteral("s")}) << 48000 << 2
            << QStringLiteral("stereo") << 1 << false << 128;
        QTest::newRow("CBR 128 mono 32 kHz")
            << (cbr + QStringList{QStringLiteral("-m"), QStringLiteral("m")}) << 32000 << 1
            << QStringLiteral("mono") << 2 << false << 128;
        QTest::newRow("VBR joint stereo 44.1 kHz")
            << QStringList{QStringLiteral("-V"), QStringLiteral("2"), QStringLiteral("-m"),
                           QStringLiteral("j")}
            << 44100 << 2 << QStringLiteral("joint stereo") << 0 << true << 0;
    }

    void analysesEncoderOutput() {
        const QString lame = QStandardPaths::findExecutable(QStringLiteral("lame"));
        if (lame.isEmpty()) {
            QSKIP("the lame encoder is not installed");
        }
        QFETCH(QStringList, args);
        QFETCH(int, rate);
        QFETCH(int, channels);

        // Half a second of silence, then a sine under noise that swells, so
        // a variable-bitrate encoder has to change bitrate.
        std::mt19937 rng(7);
        std::vector<qint16> samples(size_t(rate) * 2);
        for (size_t i = size_t(rate) / 2; i < samples.size(); ++i) {
            const double t = double(i) / rate;
            const double noise = (double(rng() % 2001) - 1000.0) / 1000.0;
            const double level = t - 0.5;
            samples[i] = qint16(8000 * std::sin(2 * M_PI * 440 * t) + 12000 * level * noise);
        }
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString wav = dir.filePath(QStringLiteral("in.wav"));
        const QString mp3 = dir.filePath(QStringLiteral("out.mp3"));
        QVERIFY(WriteFile(wav, Wav(rate, channels, samples)));

        QProcess encoder;
        encoder.start(lame, QStringList{QStringLiteral("--quiet")} + args + QStringList{wav, mp3});
        QVERIFY(encoder.waitForFinished(60000));
        QCOMPARE(encoder.exitStatus(), QProcess::NormalExit);
        QCOMPARE(encoder.exitCode(), 0);

        const Result r = Scan(mp3);
        QVERIFY(r.ok);
        QCOMPARE(r.version, 1);
        QTEST(r.mode, "mode");
        QTEST(r.frequency, "frequency");
        QTEST(r.vbr, "vbr");
        QFETCH(int, bitrate);
        if (bitrate != 0) {
            QCOMPARE(r.bitrate, bitrate);
        } else {
            QVERIFY2(r.bitrate >= 32 && r.bitrate <= 320, qPrintable(QString::number(r.bitrate)));
        }
    }
};

QTEST_GUILESS_MAIN(TestMP3)
#include "test_mp3.moc"
