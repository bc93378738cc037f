// Random and mutated files for the MP3 analysis: nothing may crash or hang,
// and every answer must equal that of a plain byte-by-byte reading of the
// rules over the whole file, which has no chunks to get wrong.

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <random>
#include <vector>

#include "shares/MP3Scanner.h"

namespace {

using Rng = std::mt19937;

struct Outcome {
    bool ok = false;
    int version = 0;
    QString mode;
    int frequency = 0;
    bool vbr = false;
    int bitrate = 0;
};

// The rules read literally: a list of frame records, one per header that
// has a bitrate, and a header counts when a byte follows it in the file.
Outcome Reference(const QByteArray& data) {
    struct Record {
        int version, protection, rate, mode, bitrateIndex;
    };
    static const int mpeg1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int mpeg2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    Outcome out;
    long long v1 = 0, v2 = 0, v25 = 0, protSet = 0, protClear = 0;
    long long rates[3] = {}, modes[4] = {};
    std::vector<Record> records;
    const auto* b = reinterpret_cast<const unsigned char*>(data.constData());
    const long long size = data.size();
    for (long long i = 0; i + 4 < size; ++i) {
        if (b[i] != 0xFF || (b[i + 1] >> 5) != 7) {
            continue;
        }
        int version;
        switch ((b[i + 1] >> 3) & 3) {
            case 3:
                version = 1;
                ++v1;
                break;
            case 2:
                version = 2;
                ++v2;
                break;
            case 0:
                version = 25;
                ++v25;
                break;
            default:
                continue;
        }
        if (((b[i + 1] >> 1) & 3) != 1) {
            continue;
        }
        const int protection = b[i + 1] & 1;
        (protection ? protSet : protClear)++;
        const int rate = (b[i + 2] >> 2) & 3;
        if (rate == 3) {
            continue;
        }
        ++rates[rate];
        const int mode = b[i + 3] >> 6;
        ++modes[mode];
        const int bitrateIndex = b[i + 2] >> 4;
        if (bitrateIndex != 0 && bitrateIndex != 15) {
            records.push_back({version, protection, rate, mode, bitrateIndex});
        }
    }
    const int version = v1 > v2 ? 1 : 2;
    if ((version == 1 ? v1 : v2) <= v25) {
        return out;
    }
    const int protection = protSet > protClear ? 1 : 0;
    int rate;
    if (rates[1] >= rates[0]) {
        rate = rates[2] >= rates[1] ? 2 : 1;
    } else {
        rate = rates[2] >= rates[0] ? 2 : 0;
    }
    int mode = modes[1] >= modes[0] ? 1 : 0;
    if (modes[2] >= modes[mode]) {
        mode = 2;
    }
    if (modes[3] >= modes[mode]) {
        mode = 3;
    }
    if (records.empty()) {
        return out;
    }
    std::vector<long long> histogram(321);
    long long sum = 0, agreeing = 0;
    for (const Record& r : records) {
        if (r.version == version && r.protection == protection && r.mode == mode &&
            r.rate == rate) {
            const int kbps = version == 1 ? mpeg1[r.bitrateIndex] : mpeg2[r.bitrateIndex];
            ++histogram[size_t(kbps)];
            sum += kbps;
            ++agreeing;
        }
    }
    if (agreeing == 0) {
        return out;
    }
    static const char* names[4] = {"stereo", "joint stereo", "dual mono", "mono"};
    out.ok = true;
    out.version = version;
    out.mode = QString::fromLatin1(names[mode]);
    out.frequency = rate;
    out.bitrate = int(sum / agreeing);
    out.vbr = true;
    for (int kbps = 1; kbps <= 320; ++kbps) {
        if (histogram[size_t(kbps)] * 100 / agreeing > 98) {
            out.vbr = false;
            out.bitrate = kbps;
        }
    }
    return out;
}

int Pick(Rng& rng, int bound) {
    return std::uniform_int_distribution<int>(0, bound - 1)(rng);
}

// A header with mostly plausible fields, sometimes reserved or odd ones.
QByteArray RandomHeader(Rng& rng) {
    static const int versions[] = {3, 3, 3, 2, 2, 0, 1};
    static const int layers[] = {1, 1, 1, 1, 2, 3, 0};
    QByteArray h(4, '\0');
    h[0] = char(0xFF);
    h[1] = char(0xE0 | versions[Pick(rng, 7)] << 3 | layers[Pick(rng, 7)] << 1 | Pick(rng, 2));
    h[2] = char(Pick(rng, 16) << 4 | Pick(rng, 4) << 2 | Pick(rng, 4));
    h[3] = char(Pick(rng, 256));
    return h;
}

// Frames of a few kinds, with payloads of zeros, random bytes or sync-heavy
// bytes, laid out so that sizes often end near a 64 KiB boundary.
QByteArray FrameSequence(Rng& rng) {
    std::vector<QByteArray> kinds;
    for (int k = 1 + Pick(rng, 4); k > 0; --k) {
        kinds.push_back(RandomHeader(rng));
    }
    const int target =
        Pick(rng, 3) == 0 ? Pick(rng, 2000) : 65536 * (1 + Pick(rng, 3)) - 200 + Pick(rng, 400);
    QByteArray out;
    while (out.size() < target) {
        out += kinds[size_t(Pick(rng, int(kinds.size())))];
        QByteArray payload(Pick(rng, 500), '\0');
        const int style = Pick(rng, 3);
        for (char& c : payload) {
            c = style == 0   ? '\0'
                : style == 1 ? char(rng())
                             : char(Pick(rng, 2) ? 0xFF : 0xE0 + Pick(rng, 32));
        }
        out += payload;
    }
    out.truncate(target);
    return out;
}

QByteArray RandomBytes(Rng& rng) {
    QByteArray out(Pick(rng, 140000), '\0');
    const bool dense = Pick(rng, 2) == 0;
    for (char& c : out) {
        c = dense && Pick(rng, 3) == 0 ? char(0xFF) : char(rng());
    }
    return out;
}

QByteArray Mutate(Rng& rng, QByteArray data) {
    for (int rounds = 1 + Pick(rng, 8); rounds > 0; --rounds) {
        const int at = Pick(rng, data.size() + 1);
        switch (Pick(rng, 5)) {
            case 0:
                if (at < data.size()) {
                    data[at] = char(data[at] ^ (1 << Pick(rng, 8)));
                }
                break;
            case 1:
                data.insert(at, RandomHeader(rng));
                break;
            case 2:
                data.remove(at, Pick(rng, 64));
                break;
            case 3:
                data.insert(at, QByteArray(Pick(rng, 5), char(0xFF)));
                break;
            default:
                data.truncate(at);
                break;
        }
    }
    return data;
}

}  // namespace

class TestMP3Fuzz : public QObject {
    Q_OBJECT

private slots:
    void agreesWithTheRulesOnArbitraryFiles() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("f.mp3"));
        Rng rng(20240611);
        QElapsedTimer timer;
        timer.start();
        int succeeded = 0;
        const int iterations = 600;
        for (int i = 0; i < iterations; ++i) {
            QByteArray data;
            switch (i % 3) {
                case 0:
                    data = RandomBytes(rng);
                    break;
                case 1:
                    data = FrameSequence(rng);
                    break;
                default:
                    data = Mutate(rng, FrameSequence(rng));
                    break;
            }
            {
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
                QCOMPARE(f.write(data), qint64(data.size()));
            }
            Outcome got;
            got.ok = ScanMP3File(path, got.version, got.mode, got.frequency, got.vbr, got.bitrate);
            const Outcome want = Reference(data);
            const QByteArray where = "iteration " + QByteArray::number(i) + ", " +
                                     QByteArray::number(data.size()) + " bytes";
            QVERIFY2(got.ok == want.ok, where.constData());
            if (want.ok) {
                ++succeeded;
                QVERIFY2(got.version == want.version && got.mode == want.mode &&
                             got.frequency == want.frequency && got.vbr == want.vbr &&
                             got.bitrate == want.bitrate,
                         where.constData());
            } else {
                QCOMPARE(got.bitrate, -1);
            }
        }
        // The generators must reach the interesting paths, not only failures.
        QVERIFY2(succeeded > iterations / 5, qPrintable(QString::number(succeeded)));
        QVERIFY2(timer.elapsed() < 20000, "the analysis must stay linear");
    }
};

QTEST_GUILESS_MAIN(TestMP3Fuzz)
#include "test_mp3_fuzz.moc"
