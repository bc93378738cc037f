// Writes synthetic MP3 files (Layer III frames of mixed bitrates with random
// payload, like compressed audio) to a temporary folder and compares the
// throughput of the header analysis with a plain read of the same files.
//
// Usage: bench_mp3 [--quick] [--mb N]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "shares/MP3Scanner.h"

namespace {

QByteArray SyntheticMp3(qint64 bytes, std::mt19937& rng) {
    // MPEG-1 Layer III, 44.1 kHz, joint stereo; bitrate indexes 9 to 14
    // (128 to 320 kbit/s) as a variable-bitrate encoder would mix them.
    static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    QByteArray out;
    out.reserve(int(bytes) + 2048);
    while (out.size() < bytes) {
        const int index = 9 + int(rng() % 6);
        const int length = 144000 * kbps[index] / 44100;
        const int start = out.size();
        out.resize(start + length);
        char* p = out.data() + start;
        p[0] = char(0xFF);
        p[1] = char(0xFB);
        p[2] = char(index << 4);
        p[3] = char(0x44);
        for (int i = 4; i < length; ++i) {
            p[i] = char(rng());
        }
    }
    return out;
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

qint64 PlainRead(const QStringList& files) {
    std::vector<char> buffer(65536);
    qint64 total = 0;
    for (const QString& path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            return -1;
        }
        qint64 got;
        while ((got = f.read(buffer.data(), qint64(buffer.size()))) > 0) {
            total += got;
        }
    }
    return total;
}

bool ScanAll(const QStringList& files) {
    bool all = true;
    for (const QString& path : files) {
        int version = 0, frequency = 0, bitrate = 0;
        bool vbr = false;
        QString mode;
        all = ScanMP3File(path, version, mode, frequency, vbr, bitrate) && all;
    }
    return all;
}

// Best of a few runs: the files sit in the page cache, so this measures the
// CPU cost of each pass rather than the disk.
template <typename F>
double BestSeconds(int runs, F&& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        best = qMin(best, double(t.nsecsElapsed()) / 1e9);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool quick = args.contains(QStringLiteral("--quick"));
    qint64 megabytes = quick ? 20 : 50;
    const int mbAt = args.indexOf(QStringLiteral("--mb"));
    if (mbAt >= 0 && mbAt + 1 < args.size()) {
        megabytes = qMax(1LL, args.at(mbAt + 1).toLongLong());
    }
    const int fileCount = 5;
    const int runs = quick ? 3 : 5;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    std::mt19937 rng(42);
    QStringList files;
    qint64 total = 0;
    for (int i = 0; i < fileCount; ++i) {
        const QByteArray data = SyntheticMp3(megabytes * 1024 * 1024 / fileCount, rng);
        const QString path = dir.filePath(QStringLiteral("track%1.mp3").arg(i));
        if (!WriteFile(path, data)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        files << path;
        total += data.size();
    }
    // Worst case for the sync search: every other byte is a sync byte.
    const QString dense = dir.filePath(QStringLiteral("dense.mp3"));
    QByteArray denseData(4 * 1024 * 1024, '\0');
    for (int i = 0; i < denseData.size(); ++i) {
        denseData[i] = char(i % 2 == 0 ? 0xFF : rng() | 0xE0);
    }
    if (!WriteFile(dense, denseData)) {
        return 1;
    }

    if (PlainRead(files) != total || !ScanAll(files)) {
        std::fprintf(stderr, "the synthetic files do not read or analyse\n");
        return 1;
    }
    const double mb = double(total) / (1024.0 * 1024.0);
    const double readSeconds = BestSeconds(runs, [&files] { PlainRead(files); });
    const double scanSeconds = BestSeconds(runs, [&files] { ScanAll(files); });
    const double denseSeconds = BestSeconds(runs, [&dense] { ScanAll({dense}); });
    const double readRate = mb / readSeconds;
    const double scanRate = mb / scanSeconds;

    std::printf("MP3 header analysis, %d files, %.1f MB, best of %d runs (page cache)\n", fileCount,
                mb, runs);
    std::printf("  plain read (64 KiB chunks)  %9.1f MB/s  %8.2f ms\n", readRate,
                readSeconds * 1000);
    std::printf("  ScanMP3File                 %9.1f MB/s  %8.2f ms\n", scanRate,
                scanSeconds * 1000);
    if (quick)
        std::printf("  ratio %.2f of plain read\n", scanRate / readRate);
    else
        std::printf("  ratio %.2f of plain read; target: at least half the plain read speed: %s\n",
                    scanRate / readRate, scanRate * 2 >= readRate ? "met" : "MISSED");
    std::printf("  worst case, sync byte at every other offset: %.1f MB/s\n",
                double(denseData.size()) / (1024.0 * 1024.0) / denseSeconds);
    return 0;
}
