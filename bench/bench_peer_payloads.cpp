// Builds a share list of 100,000 files (2,000 folders of 50), compresses it
// as a peer does, then times inflating and parsing it and reports the peak
// memory the parse takes, against the targets: under 1 s, and a peak under
// four times the inflated size.
//
// Usage: bench_peer_payloads [--quick] [--folders N] [--files-per-folder M]
// --quick parses once instead of taking the best of three, and prints the
// figures without judging them against the targets.

#include <malloc.h>
#include <QByteArray>
#include <QElapsedTimer>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "ProcStatus.h"
#include "net/PeerPayloads.h"

namespace {

// A field of /proc/self/status in KiB, or -1.
// Sets the peak resident size back to the current one (Linux 4.0 and later).
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

QByteArray BuildShareBody(int folders, int filesPerFolder, int* fileCount) {
    static const char* const kArtists[] = {"The Lumens",
                                           "Marta Kovac",
                                           "Deep Harbour",
                                           "Juniper & the Owls",
                                           "DJ Nordlicht",
                                           "Sól",
                                           "Orquesta Típica Victoria",
                                           "Aiko Tanabe"};
    static const char* const kWords[] = {"Night",  "River",  "Glass",  "Summer", "Echo", "Paper",
                                         "Garden", "Signal", "Winter", "Lights", "Home", "Fire"};
    std::mt19937 rng(5);
    auto word = [&] { return std::string(kWords[rng() % 12]); };
    MemStream m;
    m.Write(quint32(folders));
    *fileCount = 0;
    for (int f = 0; f < folders; ++f) {
        const std::string artist = kArtists[rng() % 8];
        const std::string album =
            word() + " " + word() + " (" + std::to_string(1960 + f % 60) + ")";
        m.Write("@@music\\" + artist + "\\" + album + " [" + std::to_string(f) + "]");
        m.Write(quint32(filesPerFolder));
        for (int k = 0; k < filesPerFolder; ++k) {
            char number[16];
            std::snprintf(number, sizeof(number), "%02d", k + 1);
            const bool audio = k + 2 < filesPerFolder;
            std::string name = std::string(number) + " - " + artist + " - " + word() + " " +
                               word() +
                               (audio   ? ".mp3"
                                : k % 2 ? ".jpg"
                                        : ".txt");
            AttributeMap attributes(audio ? "mp3" : k % 2 ? "jpg" : "txt");
            if (audio) {
                const bool vbr = rng() % 3 == 0;
                attributes.Append(AttributeMap::kBitrate, vbr ? 200 + rng() % 60 : 320);
                attributes.Append(AttributeMap::kLength, 120 + rng() % 300);
                attributes.Append(AttributeMap::kVariableBitrate, vbr ? 1 : 0);
            }
            FileInfo(name, qint64(1000000 + rng() % 9000000), attributes).Write(m);
            ++*fileCount;
        }
    }
    m.Write(quint32(3));
    m.Write(quint32(0));
    m.Write("bitrate");
    m.Write(quint32(1));
    m.Write("length");
    m.Write(quint32(2));
    m.Write("vbr");
    return m.GetWrittenBytes();
}

double Ms(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int folders = 2000;
    int filesPerFolder = 50;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[k], "--folders") == 0 && k + 1 < argc)
            folders = std::atoi(argv[++k]);
        else if (std::strcmp(argv[k], "--files-per-folder") == 0 && k + 1 < argc)
            filesPerFolder = std::atoi(argv[++k]);
    }

    int fileCount = 0;
    QByteArray compressed;
    qint64 inflatedSize = 0;
    {
        const QByteArray body = BuildShareBody(folders, filesPerFolder, &fileCount);
        inflatedSize = body.size();
        if (!DeflatePayload(body, compressed)) {
            std::fprintf(stderr, "compression failed\n");
            return 1;
        }
    }
    std::printf("share list: %d folders, %d files, %.1f MiB inflated, %.1f MiB compressed\n",
                folders, fileCount, double(inflatedSize) / 1048576.0,
                double(compressed.size()) / 1048576.0);

    // Inflate alone, for the split of the time.
    double inflateMs = 1e300;
    for (int run = 0; run < (quick ? 1 : 3); ++run) {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        if (!InflateBounded(compressed.constData(), compressed.size(), qint64(1) << 30, out) ||
            out.size() != inflatedSize) {
            std::fprintf(stderr, "inflate failed\n");
            return 1;
        }
        inflateMs = std::min(inflateMs, Ms(t));
    }

    // Inflate and parse, the way a share-list message is handled; the peak is
    // taken over the first run, which starts from a trimmed heap.
    double parseMs = 1e300;
    long peakGrowthKiB = -1;
    bool peakIsHighWater = false;
    for (int run = 0; run < (quick ? 1 : 3); ++run) {
        malloc_trim(0);
        const long before = StatusKiB("VmRSS");
        const bool reset = run == 0 && ResetPeak();
        FileInfoMap share;
        AttributeTranslationTable table;
        QElapsedTimer t;
        t.start();
        const bool ok =
            ParseSharedFileList(compressed.constData(), compressed.size(), share, table);
        const double ms = Ms(t);
        std::size_t files = 0;
        for (const auto& folder : share)
            files += folder.second.size();
        if (!ok || int(files) != fileCount || int(share.size()) != folders) {
            std::fprintf(stderr, "parse failed\n");
            return 1;
        }
        parseMs = std::min(parseMs, ms);
        if (run == 0) {
            // Without a reset only the growth that is still there can be seen,
            // which leaves out the inflated buffer already freed.
            const long after = StatusKiB(reset ? "VmHWM" : "VmRSS");
            peakIsHighWater = reset && after >= 0;
            if (after >= 0 && before >= 0)
                peakGrowthKiB = after - before;
        }
    }

    // Targets are judged only in a full run; --quick prints the figures alone.
    const double ratio = double(peakGrowthKiB) * 1024.0 / double(inflatedSize);
    std::printf("inflate: %.1f ms; inflate + parse: %.1f ms", inflateMs, parseMs);
    if (!quick)
        std::printf(" (target under 1000 ms: %s)", parseMs < 1000.0 ? "met" : "MISSED");
    std::printf("\n");
    if (peakGrowthKiB >= 0) {
        std::printf("%s during inflate + parse: %.1f MiB = %.2f x the inflated size",
                    peakIsHighWater ? "peak memory growth (VmHWM)"
                                    : "resident growth after the parse (VmRSS)",
                    double(peakGrowthKiB) / 1024.0, ratio);
        if (!quick)
            std::printf(" (target under 4 x: %s)", ratio < 4.0 ? "met" : "MISSED");
        std::printf("\n");
    } else {
        std::printf("peak memory: not measurable here (/proc/self/status unreadable)\n");
    }
    return 0;
}
