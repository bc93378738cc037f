// One whole download between two driver processes over 127.0.0.1, through
// the loopback server, against a plain loopback copy of the same file in the
// same run (read, send, receive, write), taken before and after the download;
// the faster copy is the reference.
// The download is timed from the command to its complete line, so
// negotiation and the final move count too.
//
// Usage: bench_e2e_download [--quick]
//   full:    1 GiB sparse file; prints the ratio against the 50 % goal
//   --quick: 32 MiB file; figures only

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
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
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
    ::close(in);
    ::close(listener);
    return received == size ? double(clock.nsecsElapsed()) / 1e9 : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains("--quick");
    const qint64 size = quick ? 32 * kMiB : 1024 * kMiB;
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("share"));
    QFile source(dir.filePath("share/data.bin"));
    if (!dir.isValid() || !source.open(QIODevice::WriteOnly) || !source.resize(size)) {
        std::fprintf(stderr, "cannot make the %lld-byte file\n", size);
        return 1;
    }
    source.close();

    // Each timed part starts with nothing dirty left to write back.
    const auto copy = [&] {
        ::sync();
        const double seconds = PlainCopy(source.fileName(), dir.filePath("copy.bin"), size);
        QFile::remove(dir.filePath("copy.bin"));
        return seconds;
    };
    const double before = copy();

    TestServer server;
    DriverProcess a(TAVENOOK_DRIVER, dir.filePath("a.log"));
    DriverProcess b(TAVENOOK_DRIVER, dir.filePath("b.log"));
    if (before <= 0 || !server.Listen() ||
        !b.Start({"--home", dir.filePath("b"), "--user", "bob", "--share", dir.filePath("share"),
                  "--server", server.Address()}) ||
        !a.Start({"--home", dir.filePath("a"), "--user", "alice", "--downloads",
                  dir.filePath("a/dl"), "--server", server.Address()})) {
        std::fprintf(stderr, "set-up failed\n%s\n%s\n", a.LogTail().constData(),
                     b.LogTail().constData());
        return 1;
    }
    const QString remote = QString(source.fileName()).replace('/', '\\');
    ::sync();
    QElapsedTimer clock;
    clock.start();
    a.Send(QString("download\tbob\t%1\t%2").arg(remote).arg(size));
    const QStringList done = a.WaitFor("complete", 600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (done.isEmpty() || QFileInfo(done.value(2)).size() != size) {
        std::fprintf(stderr, "download failed\n%s\n", a.LogTail().constData());
        return 1;
    }
    a.Quit();
    b.Quit();
    QFile::remove(done.value(2));
    const double after = copy();
    const double plain = after > 0 ? std::min(before, after) : before;

    const double mib = double(size) / kMiB;
    const double ratio = plain / seconds * 100;
    std::printf("file: %.0f MiB\n", mib);
    std::printf("plain loopback copy: %.3f s before, %.3f s after, best %.1f MiB/s\n", before,
                after, mib / plain);
    std::printf("client download:     %.3f s, %.1f MiB/s\n", seconds, mib / seconds);
    std::printf("download / plain copy: %.1f %%\n", ratio);
    if (!quick)
        std::printf("goal at least 50 %%: %s\n", ratio >= 50 ? "met" : "NOT met");
    return 0;
}
