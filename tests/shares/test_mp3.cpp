// The MP3 census: synthetic frame sequences for the votes, the bitrate rules
// and the 64 KiB chunk rule; random and mutated files against a plain reading
// of the rules; read failures and the stop callback.

#include <QTemporaryDir>
#include <QtTest>

#include "shares/MP3Scanner.h"
#include "support/Fuzz.h"
#include "support/TestFiles.h"

namespace {

const int kMpeg1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const int kMpeg2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
const char* const kModes[4] = {"stereo", "joint stereo", "dual mono", "mono"};

// One frame header: version 1, 2, 25 (MPEG-2.5) or 0 (reserved bits); layer
// 1-3 or 0 (reserved); the bitrate by kbit/s, or by index when index >= 0.
QByteArray H(int version, int kbps = 128, int rate = 0, int mode = 1, int layer = 3,
             int protection = 1, int index = -1) {
    for (int i = 1; i <= 14 && index < 0; ++i)
        if ((version == 1 ? kMpeg1 : kMpeg2)[i] == kbps)
            index = i;
    const int versionBits = version == 1 ? 3 : version == 2 ? 2 : version == 25 ? 0 : 1;
    const int layerBits = layer == 0 ? 0 : 4 - layer;
    return QByteArray(1, char(0xFF)) + char(0xE0 | versionBits << 3 | layerBits << 1 | protection) +
           char(index << 4 | rate << 2) + char(mode << 6 | 0x04);
}

// Frames with zero payloads, which hold no sync byte of their own.
QByteArray F(int count, const QByteArray& h) {
    return (h + QByteArray(200, '\0')).repeated(count);
}

struct Result {
    bool ok = false;
    int version = -7, frequency = -7, bitrate = -7;
    QString mode;
    bool vbr = false;
    bool operator==(const Result& o) const {
        return ok == o.ok && (!ok || (version == o.version && frequency == o.frequency &&
                                      bitrate == o.bitrate && mode == o.mode && vbr == o.vbr));
    }
};

Result Scan(const QString& path, const std::function<bool()>& stop = {}) {
    Result r;
    r.ok = ScanMP3File(path, r.version, r.mode, r.frequency, r.vbr, r.bitrate, stop);
    return r;
}

// The rules read literally over the whole file: a header counts when it and
// one more byte lie inside one 64 KiB chunk.
Result Reference(const QByteArray& data) {
    const auto* b = reinterpret_cast<const uchar*>(data.constData());
    const qint64 size = data.size();
    quint64 versions[4] = {}, protections[2] = {}, rates[3] = {}, modes[4] = {};
    std::vector<std::array<int, 5>> records;  // version bits, protection, rate, mode, index
    for (qint64 i = 0; i < size; ++i) {
        const qint64 chunkEnd = qMin(size, (i / 65536 + 1) * 65536);
        if (i + 4 >= chunkEnd || b[i] != 0xFF || b[i + 1] >> 5 != 7)
            continue;
        const int version = b[i + 1] >> 3 & 3, rate = b[i + 2] >> 2 & 3, index = b[i + 2] >> 4;
        if (version == 1)
            continue;
        ++versions[version];
        if ((b[i + 1] >> 1 & 3) != 1)
            continue;
        ++protections[b[i + 1] & 1];
        if (rate == 3)
            continue;
        ++rates[rate];
        ++modes[b[i + 3] >> 6];
        if (index != 0 && index != 15)
            records.push_back({version, b[i + 1] & 1, rate, b[i + 3] >> 6, index});
    }
    Result out;
    const int version = versions[3] > versions[2] ? 3 : 2;
    if (versions[version] <= versions[0] || records.empty())
        return out;
    const int protection = protections[1] > protections[0] ? 1 : 0;
    const int rate =
        rates[1] >= rates[0] ? (rates[2] >= rates[1] ? 2 : 1) : (rates[2] >= rates[0] ? 2 : 0);
    int mode = modes[1] >= modes[0] ? 1 : 0;
    mode = modes[2] >= modes[mode] ? 2 : mode;
    mode = modes[3] >= modes[mode] ? 3 : mode;
    quint64 histogram[321] = {}, sum = 0, agreeing = 0;
    for (const auto& r : records)
        if (r == std::array<int, 5>{version, protection, rate, mode, r[4]}) {
            const int kbps = (version == 3 ? kMpeg1 : kMpeg2)[r[4]];
            ++histogram[kbps];
            sum += quint64(kbps);
            ++agreeing;
        }
    if (agreeing == 0)
        return out;
    out = {true, version == 3 ? 1 : 2, rate, int(sum / agreeing), kModes[mode], true};
    for (int kbps = 1; kbps <= 320; ++kbps)
        if (histogram[kbps] * 100 / agreeing > 98)
            out.vbr = false, out.bitrate = kbps;
    return out;
}

}  // namespace

class TestMP3 : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString File(const QByteArray& content) {
        const QString path = dir.filePath("a.mp3");
        return Write(path, content) ? path : QString();
    }

private slots:
    void analysesSyntheticFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("version");  // 0: the analysis fails
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("frequency");
        QTest::addColumn<bool>("vbr");
        QTest::addColumn<int>("bitrate");
        auto row = [](const char* name, const QByteArray& content, int version, int mode = 1,
                      int frequency = 0, bool vbr = false, int bitrate = 128) {
            QTest::newRow(name) << content << version << mode << frequency << vbr << bitrate;
        };
        // Bitrate rules.
        row("CBR 128", F(200, H(1)), 1);
        row("98 % is VBR", F(49, H(1)) + F(2, H(1, 192)) + F(49, H(1)), 1, 1, 0, true, 129);
        row("99 % is CBR", F(99, H(1)) + F(1, H(1, 192)), 1);
        row("mean truncated", F(1, H(1)) + F(2, H(1, 160)), 1, 1, 0, true, 149);
        row("MPEG-1 table ends", F(1, H(1, 32)) + F(1, H(1, 320)), 1, 1, 0, true, 176);
        // Version votes.
        row("version tie gives 2", F(50, H(1)) + F(50, H(2, 80)), 2, 1, 0, false, 80);
        row("Layer II votes for the version", F(60, H(1, 128, 0, 1, 2)) + F(50, H(2, 80)), 0);
        row("reserved version no vote", F(100, H(1)) + F(100, H(0)) + F(150, H(2, 80)), 2, 1, 0,
            false, 80);
        row("only MPEG-2.5", F(100, H(25, 64)), 0);
        // Headers without a bitrate still vote.
        row("only free format", F(100, H(1, 0, 0, 1, 3, 1, 0)), 0);
        row("free format outvotes the rate", F(30, H(1, 0, 1, 1, 3, 1, 0)) + F(20, H(1)), 0);
        row("rate 3 votes protection", F(30, H(1, 128, 3, 1, 3, 0)) + F(20, H(1)), 0);
        row("rate 3 no mode vote", F(30, H(1, 128, 3, 0)) + F(20, H(1, 192, 0, 3)), 1, 3, 0, false,
            192);
        row("only Layer I and II", F(50, H(1, 128, 0, 1, 1)) + F(50, H(1, 128, 0, 1, 2)), 0);
        row("reserved layer", F(50, H(1, 128, 0, 1, 0)), 0);
        // No frames.
        row("empty", QByteArray(), 0);
        // End of the file.
        row("header ending at the end", F(1, H(1)) + H(1, 320), 1);
        row("one byte after it", F(1, H(1)) + H(1, 320) + '\0', 1, 1, 0, true, 224);
        row("lone header and a byte", H(1) + '\0', 1);
        // Sample-rate index and ties; each index has its own bitrate.
        row("48 kHz is 1", F(10, H(1, 128, 1)), 1, 1, 1);
        row("rate tie 0 1", F(10, H(1)) + F(10, H(1, 192, 1)), 1, 1, 1, false, 192);
        // Channel modes and ties.
        row("stereo", F(10, H(1, 128, 0, 0)), 1, 0);
        row("dual", F(10, H(1, 128, 0, 2)), 1, 2);
        row("mode tie 0 1", F(10, H(1, 128, 0, 0)) + F(10, H(1, 192, 0, 1)), 1, 1, 0, false, 192);
        row("dual ties stereo", F(10, H(1, 128, 0, 0)) + F(5, H(1)) + F(10, H(1, 256, 0, 2)), 1, 2,
            0, false, 256);
        // Protection bit.
        row("protection tie", F(10, H(1)) + F(10, H(1, 192, 0, 1, 3, 0)), 1, 1, 0, false, 192);
        // Every offset is tested, also inside a frame already counted.
        row("headers inside frames",
            (H(1) + QByteArray(100, '\0') + H(1, 192) + QByteArray(313, '\0')).repeated(10), 1, 1,
            0, true, 160);
        // The chunk rule: a header counts only with one more byte in its chunk.
        for (int offset : {65530, 65531, 65536, 131066, 131067})
            row(qPrintable("counted at " + QString::number(offset)),
                QByteArray(offset, '\0') + H(1, 256) + QByteArray(10, '\0'), 1, 1, 0, false, 256);
        for (int offset : {65532, 65533, 65534, 65535, 131068, 131070})
            row(qPrintable("not counted at " + QString::number(offset)),
                QByteArray(offset, '\0') + H(1, 256) + QByteArray(10, '\0'), 0);
        row("frame across a boundary not counted",
            QByteArray(65534, '\0') + H(1, 192) + QByteArray(100, '\0') + F(60, H(1)), 1);
    }

    void analysesSyntheticFiles() {
        QFETCH(QByteArray, content);
        QFETCH(int, version);
        const Result r = Scan(File(content));
        QCOMPARE(r.ok, version != 0);
        QCOMPARE(r == Reference(content), true);
        if (!r.ok) {
            QCOMPARE(r.bitrate, -1);
            return;
        }
        QCOMPARE(r.version, version);
        QFETCH(int, mode);
        QCOMPARE(r.mode, QString(kModes[mode]));
        QTEST(r.frequency, "frequency");
        QTEST(r.vbr, "vbr");
        QTEST(r.bitrate, "bitrate");
    }

    // Random and mutated files, many ending near a chunk boundary, give what
    // the rules read literally give; the generators must reach successes.
    void agreesWithTheRulesOnArbitraryFiles() {
        fuzz::Rng rng(20240611);
        int succeeded = 0;
        for (int i = 0; i < 400; ++i) {
            QByteArray data;
            if (i % 4 == 0) {
                data = fuzz::RandomBytes(rng, 140000);
            } else {
                // Mostly MPEG-1 or 2 Layer III headers, with any other fields.
                std::vector<QByteArray> kinds(std::size_t(1 + fuzz::Below(rng, 4)));
                for (QByteArray& h : kinds)
                    h = H(fuzz::Below(rng, 4) ? 1 + fuzz::Below(rng, 2) : 25, 0,
                          fuzz::Below(rng, 4), fuzz::Below(rng, 4),
                          fuzz::Below(rng, 4) ? 3 : fuzz::Below(rng, 4), fuzz::Below(rng, 2),
                          fuzz::Below(rng, 16));
                const int size = fuzz::Below(rng, 3) == 0 ? fuzz::Below(rng, 2000)
                                                          : 65536 * (1 + fuzz::Below(rng, 2)) -
                                                                200 + fuzz::Below(rng, 400);
                while (data.size() < size)
                    data += kinds[std::size_t(fuzz::Below(rng, int(kinds.size())))] +
                            (i % 2 ? fuzz::RandomBytes(rng, 300) : QByteArray(300, '\0'));
                data.truncate(size);
                if (i % 4 == 3)
                    data = fuzz::Mutate(rng, data);
            }
            const Result got = Scan(File(data));
            QVERIFY2(got == Reference(data), qPrintable(QString("file %1").arg(i)));
            succeeded += got.ok;
        }
        QVERIFY2(succeeded > 60, qPrintable(QString::number(succeeded)));
    }

    void failsOnFilesItCannotRead() {
        Result r = Scan(dir.filePath("missing.mp3"));
        QVERIFY(!r.ok);
        QCOMPARE(r.bitrate, -1);
        QVERIFY(!Scan(dir.path()).ok);  // opens, but every read fails
    }

    void stopsBetweenChunks() {
        const QString path = File(F(1300, H(1)));  // five chunks
        int polls = 0;
        QVERIFY(!Scan(path, [&polls] { return ++polls == 3; }).ok);
        QCOMPARE(polls, 3);
        polls = 0;
        const Result r = Scan(path, [&polls] { return ++polls < 0; });
        QVERIFY(r.ok);
        QCOMPARE(polls, 6);  // once up front and once per chunk
    }
};

QTEST_GUILESS_MAIN(TestMP3)
#include "test_mp3.moc"
