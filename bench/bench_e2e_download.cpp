// Whole downloads between two driver processes over 127.0.0.1, through the
// loopback server, against a plain loopback copy of the same bytes in the
// same run: one process reads the file in 1 MiB blocks, sends them over one
// loopback connection, and writes what arrives to a new file, 1 MiB at a
// time. Copies and downloads alternate, five of each, and the best of each
// counts. The source is warm: it was read once before anything is timed, and
// every download takes a new name (a hard link) of that same file.
// A download is timed from the command to its complete line, so negotiation,
// the file connection and the final move count too.
// The fixed cost of a download is the time of a small one less its copy: the
// very first one (it also makes the peer connection) and the best of five.
//
// Usage: bench_e2e_download [--quick]
//   full:    1 GiB file
//   --quick: 32 MiB file

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "support/DriverProcess.h"
#include "support/TestServer.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kSmallSize = 64 * 1024;
constexpr int kRuns = 5;
constexpr double kThroughputGoal = 90;  // per cent of the plain copy
constexpr double kFixedCostGoalMs = 15;

// Seconds to read `from`, send it over one loopback connection, and write
// what arrives to `to`; negative on failure.
double PlainCopy(const QString& from, const QString& to, qint64 size) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        return -1;
    }
    QElapsedTimer clock;
    clock.start();
    std::thread sender([&] {
        const int out = ::socket(AF_INET, SOCK_STREAM, 0);
        QFile file(from);
        std::vector<char> block(kMiB);
        if (::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            file.open(QIODevice::ReadOnly))
            for (qint64 got; (got = file.read(block.data(), kMiB)) > 0;)
                for (qint64 sent = 0, n; sent < got; sent += n)
                    if ((n = ::send(out, block.data() + sent, size_t(got - sent), 0)) <= 0)
                        break;
        ::close(out);
    });
    const int in = ::accept(listener, nullptr, nullptr);
    QFile file(to);
    std::vector<char> block(kMiB);
    qint64 received = 0;
    if (in >= 0 && file.open(QIODevice::WriteOnly))
        for (ssize_t n; (n = ::recv(in, block.data(), kMiB, 0)) > 0; received += n)
            file.write(block.data(), n);
    file.close();
    sender.join();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ::close(in);
    ::close(listener);
    QFile::remove(to);
    return received == size ? seconds : -1;
}

// A file of `size` bytes that no file system stores as holes, and `links`
// more names for it.
bool MakeFile(const QString& path, qint64 size, const QStringList& links) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(int(std::min(size, kMiB)), '\0');
    quint32 x = 2463534242u;
    for (char& c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    for (qint64 written = 0; written < size;) {
        const qint64 n =
            file.write(block.constData(), std::min<qint64>(block.size(), size - written));
        if (n <= 0)
            return false;
        written += n;
    }
    file.close();
    for (const QString& link : links)
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()) != 0)
            return false;
    return true;
}

// Reads the whole file once, so that every timed part finds it cached.
void Warm(const QString& path) {
    QFile file(path);
    std::vector<char> block(kMiB);
    if (file.open(QIODevice::ReadOnly))
        while (file.read(block.data(), kMiB) > 0) {
        }
}

struct Downloader {
    DriverProcess& client;
    QString sharePath;

    // Seconds from the command to the complete line of the peer's file;
    // negative on failure.
    double Run(const QString& name, qint64 size) {
        const QString remote = QString(sharePath + '/' + name).replace('/', '\\');
        QElapsedTimer clock;
        clock.start();
        client.Send(QString("download\tbob\t%1\t%2").arg(remote).arg(size));
        const QStringList done = client.WaitFor("complete", 600000, [&](const QStringList& f) {
            return f.value(2).endsWith('/' + name);
        });
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const bool whole = !done.isEmpty() && QFileInfo(done.value(2)).size() == size;
        if (!done.isEmpty())
            QFile::remove(done.value(2));
        return whole ? seconds : -1;
    }
};

double Best(const std::vector<double>& runs) {
    return *std::min_element(runs.begin(), runs.end());
}

QString Range(const std::vector<double>& runs, double scale) {
    const auto [low, high] = std::minmax_element(runs.begin(), runs.end());
    return QString("%1-%2").arg(*low * scale, 0, 'f', 1).arg(*high * scale, 0, 'f', 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains("--quick");
    const qint64 size = quick ? 32 * kMiB : 1024 * kMiB;
    QTemporaryDir dir;
    const QString share = dir.filePath("share");
    QStringList bigLinks, smallLinks;
    for (int i = 0; i < kRuns; ++i) {
        bigLinks << QString("%1/data-%2.bin").arg(share).arg(i);
        smallLinks << QString("%1/small-%2.bin").arg(share).arg(i);
    }
    if (!dir.isValid() || !QDir().mkpath(share) || !MakeFile(share + "/data.bin", size, bigLinks) ||
        !MakeFile(share + "/small.bin", kSmallSize, smallLinks)) {
        std::fprintf(stderr, "cannot make the files\n");
        return 1;
    }
    ::sync();
    Warm(share + "/data.bin");
    Warm(share + "/small.bin");

    TestServer server;
    DriverProcess a(TAVENOOK_DRIVER, dir.filePath("a.log"));
    DriverProcess b(TAVENOOK_DRIVER, dir.filePath("b.log"));
    if (!server.Listen() ||
        !b.Start({"--home", dir.filePath("b"), "--user", "bob", "--share", share, "--server",
                  server.Address()}) ||
        !a.Start({"--home", dir.filePath("a"), "--user", "alice", "--downloads",
                  dir.filePath("a/dl"), "--server", server.Address()})) {
        std::fprintf(stderr, "set-up failed\n%s\n%s\n", a.LogTail().constData(),
                     b.LogTail().constData());
        return 1;
    }
    Downloader downloader{a, share};
    const QString copyPath = dir.filePath("copy.bin");
    bool failed = false;
    const auto check = [&](double seconds, const char* what) {
        if (seconds <= 0 && !failed) {
            failed = true;
            std::fprintf(stderr, "%s failed\n%s\n", what, a.LogTail().constData());
        }
        return seconds;
    };

    // Small files first: the first download also makes the peer connection.
    std::vector<double> smallCopies, smallDownloads;
    const double first = check(downloader.Run("small.bin", kSmallSize), "small download");
    for (int i = 0; i < kRuns && !failed; ++i) {
        smallCopies.push_back(check(PlainCopy(share + "/small.bin", copyPath, kSmallSize), "copy"));
        smallDownloads.push_back(
            check(downloader.Run(QString("small-%1.bin").arg(i), kSmallSize), "small download"));
    }

    // Each timed part starts with nothing dirty left to write back.
    std::vector<double> copies, downloads;
    for (int i = 0; i < kRuns && !failed; ++i) {
        ::sync();
        copies.push_back(check(PlainCopy(share + "/data.bin", copyPath, size), "copy"));
        ::sync();
        downloads.push_back(check(downloader.Run(QString("data-%1.bin").arg(i), size), "download"));
    }
    a.Quit();
    b.Quit();
    if (failed)
        return 1;

    const double mib = double(size) / kMiB;
    const double ratio = Best(copies) / Best(downloads) * 100;
    const double smallCopy = Best(smallCopies);
    const double firstCost = (first - smallCopy) * 1000;
    const double bestCost = (Best(smallDownloads) - smallCopy) * 1000;
    // Verdicts belong to full runs: a quick run's file is too small for its
    // ratio to say much.
    const auto target = [quick](const char* goal, bool met) {
        return QString(" (target %1%2)").arg(goal, quick ? "" : met ? ": met" : ": NOT met");
    };
    std::printf("file: %.0f MiB, warm; best of %d alternating runs each%s\n", mib, kRuns,
                quick ? "; quick run, targets judged in full runs only" : "");
    std::printf("plain loopback copy: %.3f s, %.1f MiB/s (runs %s ms)\n", Best(copies),
                mib / Best(copies), qPrintable(Range(copies, 1000)));
    std::printf("client download:     %.3f s, %.1f MiB/s (runs %s ms)\n", Best(downloads),
                mib / Best(downloads), qPrintable(Range(downloads, 1000)));
    std::printf("download / plain copy: %.1f %%%s\n", ratio,
                qPrintable(target(">= 90 %", ratio >= kThroughputGoal)));
    std::printf("fixed cost, a %lld KiB download less its copy (%.2f ms):\n", kSmallSize / 1024,
                smallCopy * 1000);
    std::printf("  first download, new peer connection: %.1f ms%s\n", firstCost,
                qPrintable(target("< 15 ms", firstCost < kFixedCostGoalMs)));
    std::printf("  best of %d later downloads:           %.1f ms (runs %s ms)%s\n", kRuns, bestCost,
                qPrintable(Range(smallDownloads, 1000)),
                qPrintable(target("< 15 ms", bestCost < kFixedCostGoalMs)));
    return 0;
}
