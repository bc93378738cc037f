// Upload threads over 127.0.0.1: the throughput of one and of ten uploads of
// a cached sparse file against a plain send loop of the same bytes, the CPU
// they cost, and how closely the shared upload limiter holds 10,000 KB/s with
// 1, 4 and 20 transfers, also right after it is switched on under running
// unlimited transfers. The downloading side is a blocking reader per
// connection that reads 1 MiB at a time, so it never is the slow end.
//
// Usage: bench_transfers [--quick]
//   full:    1 GiB file, 10 s per limited run, 60 s unlimited before the switch
//   --quick: 64 MiB file, 1 s per limited run, 1.5 s unlimited

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "transfers/RateLimiter.h"
#include "transfers/TransferThreads.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kChunk = kMiB;
constexpr int kLimitKBps = 10000;
constexpr qint64 kLimitBytesPerSecond = qint64(kLimitKBps) * 1024;
// Limited runs read from a file that no run can finish; holes cost no disk.
constexpr qint64 kEndlessSize = qint64(1) << 40;
constexpr int kSwitchTransfers = 4;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool Fail(QString* why, const QString& reason) {
    *why = reason;
    return false;
}

bool SendAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

class Listener {
public:
    ~Listener() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool Open() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 64) != 0)
            return false;
        socklen_t length = sizeof address;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        return true;
    }

    quint16 Port() const { return m_port; }

    // The next connection, or -1 after timeoutMs.
    int Accept(int timeoutMs) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return -1;
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// The downloading side of one connection, on its own thread. With a handshake
// it takes the token and asks for the file from offset 0. It closes once
// `expect` data bytes are in; a negative `expect` reads until the sender
// closes.
class Reader {
public:
    Reader(int fd, bool handshake, qint64 expect)
        : m_fd(fd), m_handshake(handshake), m_expect(expect), m_thread([this] { Run(); }) {}
    ~Reader() { Join(); }

    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 Received() const { return m_received.load(std::memory_order_relaxed); }
    bool Finished() const { return m_finished.load(std::memory_order_acquire); }
    // Valid once Finished().
    bool Ok() const { return m_ok; }
    Clock::time_point End() const { return m_end; }

private:
    void Run() {
        m_ok = Handshake() && Drain();
        m_end = Clock::now();
        ::close(m_fd);
        m_finished.store(true, std::memory_order_release);
    }

    bool Handshake() {
        if (!m_handshake)
            return true;
        char token[4];
        qint64 got = 0;
        while (got < qint64(sizeof token)) {
            const ssize_t n = ::recv(m_fd, token + got, sizeof token - size_t(got), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            got += n;
        }
        const char offset[8] = {};  // start offset 0, little-endian
        return SendAll(m_fd, offset, sizeof offset);
    }

    bool Drain() {
        std::vector<char> buffer(kChunk);
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            const qint64 total = m_received.fetch_add(n, std::memory_order_relaxed) + n;
            if (m_expect >= 0 && total >= m_expect)
                break;
        }
        return m_expect < 0 || Received() == m_expect;
    }

    int m_fd;
    bool m_handshake;
    qint64 m_expect;
    std::atomic<qint64> m_received{0};
    std::atomic<bool> m_finished{false};
    bool m_ok = false;
    Clock::time_point m_end;
    std::thread m_thread;  // last: starts once the rest is set
};

// The reference: the file read and sent in 1 MiB chunks, nothing else.
void PlainWrite(int fd, const QString& path) {
    const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(kChunk);
    if (file >= 0) {
        for (;;) {
            const ssize_t n = ::read(file, buffer.data(), buffer.size());
            if (n <= 0 || !SendAll(fd, buffer.data(), n))
                break;
        }
        ::close(file);
    }
    ::close(fd);
}

struct Transfer {
    std::unique_ptr<QFile> file;
    QTcpSocket* socket = nullptr;
    UploadThread* thread = nullptr;
    std::unique_ptr<Reader> reader;
    int plainFd = -1;
    std::thread writer;
    // Set on the upload thread, read after it ended or through the atomic.
    std::atomic<int> state{0};  // 0 running, 1 complete, 2 error
    QString error;
};

// A set of concurrent copies; the destructor stops and releases all of it.
class Batch {
public:
    explicit Batch(Listener& listener) : m_listener(listener) {}
    ~Batch() { Finish(); }

    bool AddUpload(const QString& path, qint64 expect, QString* why) {
        m_transfers.push_back(std::make_unique<Transfer>());
        Transfer* t = m_transfers.back().get();
        t->file = std::make_unique<QFile>(path);
        if (!t->file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return Fail(why, QStringLiteral("cannot open ") + path);
        t->socket = new QTcpSocket;
        t->socket->connectToHost(QHostAddress::LocalHost, m_listener.Port());
        if (!t->socket->waitForConnected(3000))
            return Fail(why, QStringLiteral("connect timed out"));
        const int fd = m_listener.Accept(3000);
        if (fd < 0)
            return Fail(why, QStringLiteral("accept timed out"));
        t->reader = std::make_unique<Reader>(fd, true, expect);
        t->thread = new UploadThread(t->socket, t->file.get(), int(m_transfers.size()));
        QObject::connect(t->thread, &UploadThread::UploadComplete, [t] { t->state = 1; });
        QObject::connect(t->thread, &UploadThread::UploadError, [t](const QString& e) {
            t->error = e;
            t->state = 2;
        });
        return true;
    }

    bool AddPlain(const QString& path, qint64 expect, QString* why) {
        m_transfers.push_back(std::make_unique<Transfer>());
        Transfer* t = m_transfers.back().get();
        t->plainFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_listener.Port());
        if (t->plainFd < 0 ||
            ::connect(t->plainFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return Fail(why, QStringLiteral("plain connect failed"));
        const int fd = m_listener.Accept(3000);
        if (fd < 0)
            return Fail(why, QStringLiteral("accept timed out"));
        t->reader = std::make_unique<Reader>(fd, false, expect);
        m_plainPath = path;
        return true;
    }

    void Start() {
        for (auto& t : m_transfers) {
            if (t->thread) {
                StartTransferThread(t->thread, t->socket);
            } else {
                const int fd = t->plainFd;
                t->plainFd = -1;
                t->writer = std::thread(PlainWrite, fd, m_plainPath);
            }
        }
    }

    qint64 Received() const {
        qint64 total = 0;
        for (const auto& t : m_transfers)
            total += t->reader->Received();
        return total;
    }

    bool WaitReaders(Clock::time_point deadline) {
        for (;;) {
            bool all = true;
            for (const auto& t : m_transfers)
                all = all && t->reader->Finished();
            if (all)
                return true;
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // After WaitReaders: every reader got exactly its bytes.
    bool ReadersOk(QString* why) const {
        for (const auto& t : m_transfers)
            if (!t->reader->Ok())
                return Fail(why, QStringLiteral("wrong byte count: %1").arg(t->reader->Received()));
        return true;
    }

    Clock::time_point LastEnd() const {
        Clock::time_point last{};
        for (const auto& t : m_transfers)
            last = std::max(last, t->reader->End());
        return last;
    }

    // The upload threads end by themselves, each with UploadComplete.
    bool WaitUploads(Clock::time_point deadline, QString* why) {
        for (auto& t : m_transfers) {
            if (!t->thread)
                continue;
            const qint64 ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (!t->thread->wait(ulong(std::max<qint64>(ms, 1))))
                return Fail(why, QStringLiteral("upload thread did not end"));
            if (t->state != 1)
                return Fail(why, QStringLiteral("upload failed: ") + t->error);
        }
        return true;
    }

    // An upload that ended while it should still be running.
    bool AnyEnded(QString* why) const {
        for (const auto& t : m_transfers)
            if (t->state != 0)
                return Fail(why, QStringLiteral("upload ended early: ") +
                                     (t->state == 1 ? QStringLiteral("complete") : t->error));
        return false;
    }

    void Finish() {
        QList<QThread*> threads;
        for (const auto& t : m_transfers)
            if (t->thread)
                threads << t->thread;
        StopAllAndWait(threads);
        // The sockets are back on this thread; closing them ends the readers.
        for (auto& t : m_transfers) {
            delete t->socket;
            t->socket = nullptr;
            if (t->plainFd >= 0)
                ::close(t->plainFd);
            t->plainFd = -1;
            if (t->writer.joinable())
                t->writer.join();
            if (t->reader)
                t->reader->Join();
            delete t->thread;
            t->thread = nullptr;
        }
        m_transfers.clear();
    }

private:
    Listener& m_listener;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
    QString m_plainPath;
};

struct CopyResult {
    double seconds = 0;
    double cpu = 0;
    qint64 bytes = 0;
    double MiBps() const { return double(bytes) / kMiB / seconds; }
    double CpuPerGiB() const { return cpu / (double(bytes) / (1024 * kMiB)); }
};

bool RunCopiesOnce(Listener& listener, const QString& path, qint64 size, bool upload, int count,
                   std::chrono::seconds timeout, CopyResult* result, QString* why) {
    Batch batch(listener);
    for (int i = 0; i < count; ++i)
        if (!(upload ? batch.AddUpload(path, size, why) : batch.AddPlain(path, size, why)))
            return false;
    const double cpu0 = CpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout;
    batch.Start();
    if (!batch.WaitReaders(deadline)) {
        *why = QStringLiteral("timed out");
        return false;
    }
    const double cpu1 = CpuSeconds();
    if (!batch.ReadersOk(why))
        return false;
    if (upload && !batch.WaitUploads(deadline, why))
        return false;
    result->seconds = Seconds(batch.LastEnd() - start);
    result->cpu = cpu1 - cpu0;
    result->bytes = size * count;
    return true;
}

// The fastest of three: a shared machine's noise only ever slows a run down.
bool RunCopies(Listener& listener, const QString& path, qint64 size, bool upload, int count,
               std::chrono::seconds timeout, CopyResult* best, QString* why) {
    for (int run = 0; run < 3; ++run) {
        CopyResult result;
        if (!RunCopiesOnce(listener, path, size, upload, count, timeout, &result, why))
            return false;
        if (run == 0 || result.seconds < best->seconds)
            *best = result;
    }
    return true;
}

// One download of the file, sent by the plain send loop, into a new file
// `target`: through a DownloadThread, or a plain loop that receives 1 MiB at a
// time and writes what came. Timed until the whole file is written.
bool RunDownloadOnce(Listener& listener, const QString& path, const QString& target, qint64 size,
                     bool thread, CopyResult* result, QString* why) {
    QFile::remove(target);
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return Fail(why, QStringLiteral("cannot open ") + target);
    // The thread reads a QTcpSocket; the plain loop the accepted descriptor.
    std::unique_ptr<QTcpSocket> socket;
    int sending = -1, receiving = -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(listener.Port());
    if (thread) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, listener.Port());
        if (!socket->waitForConnected(3000) || (sending = listener.Accept(3000)) < 0)
            return Fail(why, QStringLiteral("connect timed out"));
    } else {
        sending = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sending < 0 ||
            ::connect(sending, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            (receiving = listener.Accept(3000)) < 0)
            return Fail(why, QStringLiteral("plain connect failed"));
    }
    const double cpu0 = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::thread sender(PlainWrite, sending, path);
    bool ok = false;
    if (thread) {
        DownloadThread download(socket.get(), &file, size, 0);
        QObject::connect(&download, &DownloadThread::DownloadComplete, [&ok] { ok = true; });
        QObject::connect(&download, &DownloadThread::DownloadError,
                         [why](const QString& e) { *why = e; });
        StartTransferThread(&download, socket.get());
        download.wait(300000);
        StopAndWait(&download);
        socket.reset();  // a failed download must not leave the sender blocked
    } else {
        std::vector<char> buffer(kChunk);
        qint64 got = 0;
        for (ssize_t n; (n = ::recv(receiving, buffer.data(), kChunk, 0)) > 0; got += n)
            if (file.write(buffer.data(), n) != n)
                break;
        ok = got == size;
        ::close(receiving);
        file.close();
    }
    result->seconds = Seconds(Clock::now() - start);
    result->cpu = CpuSeconds() - cpu0;
    result->bytes = size;
    sender.join();
    ok = ok && QFileInfo(target).size() == size;
    QFile::remove(target);
    return ok || Fail(why, why->isEmpty() ? QStringLiteral("wrong byte count") : *why);
}

// The fastest of three, as for the uploads.
bool RunDownloads(Listener& listener, const QString& path, const QString& target, qint64 size,
                  bool thread, CopyResult* best, QString* why) {
    for (int run = 0; run < 3; ++run) {
        CopyResult result;
        if (!RunDownloadOnce(listener, path, target, size, thread, &result, why))
            return false;
        if (run == 0 || result.seconds < best->seconds)
            *best = result;
    }
    return true;
}

struct LimitedResult {
    double unlimitedRate = 0;  // bytes/s before the switch, if any
    double rate = 0;           // bytes/s over the whole limited period
    double settledRate = 0;    // bytes/s after the first `settle`
};

Clock::time_point After(Clock::time_point t, double seconds) {
    return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Sleeps until `until`, dropping the endless file's pages from the cache as
// it goes: tens of GB of zero pages would otherwise push everything else out.
void SleepDropping(Clock::time_point until, int fd) {
    for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
        std::this_thread::sleep_until(std::min(until, now + std::chrono::milliseconds(250)));
        if (fd >= 0)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
}

// `count` uploads of the endless file: unlimited for `unlimited` first (if
// any), then under the limit as the manager sets it, measured for `period`.
bool RunLimited(Listener& listener, const QString& endless, int count, double unlimited,
                double period, double settle, LimitedResult* result, QString* why) {
    RateLimiter& limiter = UploadRateLimiter();
    limiter.Determine(unlimited > 0 ? 0 : kLimitKBps, true, count);
    Batch batch(listener);
    for (int i = 0; i < count; ++i)
        if (!batch.AddUpload(endless, -1, why))
            return false;
    const int cacheFd = ::open(QFile::encodeName(endless).constData(), O_RDONLY | O_CLOEXEC);
    const Clock::time_point started = Clock::now();
    batch.Start();
    if (unlimited > 0) {
        SleepDropping(After(started, unlimited), cacheFd);
        result->unlimitedRate = double(batch.Received()) / Seconds(Clock::now() - started);
        limiter.Determine(kLimitKBps, true, count);
    }
    const Clock::time_point t0 = Clock::now();
    const qint64 c0 = batch.Received();
    SleepDropping(After(t0, settle), cacheFd);
    const Clock::time_point ts = Clock::now();
    const qint64 cs = batch.Received();
    SleepDropping(After(t0, period), cacheFd);
    const Clock::time_point t1 = Clock::now();
    const qint64 c1 = batch.Received();
    const bool ended = batch.AnyEnded(why);
    batch.Finish();
    limiter.Determine(0, true, 0);
    if (cacheFd >= 0) {
        ::posix_fadvise(cacheFd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(cacheFd);
    }
    if (ended)
        return false;
    result->rate = double(c1 - c0) / Seconds(t1 - t0);
    result->settledRate = double(c1 - cs) / Seconds(t1 - ts);
    return true;
}

bool MakeSparse(const QString& path, qint64 size) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// Reads the file once so that every run finds it in the page cache.
bool Warm(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    std::vector<char> buffer(kChunk);
    while (file.read(buffer.data(), kChunk) > 0) {
    }
    return true;
}

// Verdicts belong to full runs only: a quick run's short periods measure
// start-up effects as much as the steady state.
bool g_quick = false;

void PrintTarget(const char* target, bool met) {
    if (!g_quick)
        std::printf("   target %s: %s", target, met ? "met" : "MISSED");
}

int Failed(const char* what, const QString& why) {
    std::fprintf(stderr, "bench_transfers: %s failed: %s\n", what, qPrintable(why));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    g_quick = quick;
    const qint64 fileSize = quick ? 64 * kMiB : 1024 * kMiB;
    const double period = quick ? 1.0 : 10;
    const double unlimited = quick ? 1.5 : 60;
    const double settle = quick ? 0.25 : 1;
    const std::chrono::seconds timeout(quick ? 20 : 300);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("shared.bin"));
    const QString endless = dir.filePath(QStringLiteral("endless.bin"));
    if (!dir.isValid() || !MakeSparse(path, fileSize) || !MakeSparse(endless, kEndlessSize) ||
        !Warm(path))
        return Failed("set-up", QStringLiteral("cannot create the sparse files"));
    Listener listener;
    if (!listener.Open())
        return Failed("set-up", QStringLiteral("cannot listen on 127.0.0.1"));
    UploadRateLimiter().Determine(0, true, 0);

    std::printf("bench_transfers%s: %lld MiB sparse file (cached), 127.0.0.1, %d cores\n",
                quick ? " --quick" : "", fileSize / kMiB, QThread::idealThreadCount());
    std::printf("\nThroughput (one file per transfer)      MiB/s  vs plain   CPU s/GiB\n");
    QString why;
    for (const int count : {1, 10}) {
        CopyResult plain;
        CopyResult upload;
        if (!RunCopies(listener, path, fileSize, false, count, timeout, &plain, &why))
            return Failed("plain copy", why);
        if (!RunCopies(listener, path, fileSize, true, count, timeout, &upload, &why))
            return Failed("upload", why);
        const double ratio = upload.MiBps() / plain.MiBps();
        std::printf("  plain send loop x%-2d                 %9.1f         -  %10.2f\n", count,
                    plain.MiBps(), plain.CpuPerGiB());
        std::printf("  UploadThread x%-2d                    %9.1f  %6.1f %%  %10.2f", count,
                    upload.MiBps(), 100 * ratio, upload.CpuPerGiB());
        if (count == 1)
            PrintTarget(">= 50 %", ratio >= 0.5);
        std::printf("\n");
    }

    // Written to disk: the page cache takes it, so the file system costs
    // both sides the same.
    const QString target = dir.filePath(QStringLiteral("partial.bin"));
    CopyResult plain;
    CopyResult download;
    if (!RunDownloads(listener, path, target, fileSize, false, &plain, &why))
        return Failed("plain receive", why);
    if (!RunDownloads(listener, path, target, fileSize, true, &download, &why))
        return Failed("download", why);
    std::printf("  plain receive-and-write loop x1      %9.1f         -  %10.2f\n", plain.MiBps(),
                plain.CpuPerGiB());
    std::printf("  DownloadThread x1                    %9.1f  %6.1f %%  %10.2f\n",
                download.MiBps(), 100 * download.MiBps() / plain.MiBps(), download.CpuPerGiB());

    std::printf("\nUpload limit %d KB/s (1 KB = 1,024 bytes), total achieved, %.2f s each\n",
                kLimitKBps, period);
    for (const int count : {1, 4, 20}) {
        LimitedResult r;
        if (!RunLimited(listener, endless, count, 0, period, settle, &r, &why))
            return Failed("limited run", why);
        const double share = r.rate / kLimitBytesPerSecond;
        std::printf("  %2d transfer%s                         %7.0f KB/s  %6.1f %%", count,
                    count == 1 ? " " : "s", r.rate / 1024, 100 * share);
        PrintTarget("within 5 %", std::fabs(share - 1) <= 0.05);
        std::printf("\n");
    }
    LimitedResult r;
    if (!RunLimited(listener, endless, kSwitchTransfers, unlimited, period, settle, &r, &why))
        return Failed("switch-on run", why);
    const double share = r.rate / kLimitBytesPerSecond;
    std::printf("  %2d transfers, switched on after %.1f s unlimited (%.0f MiB/s then):\n",
                kSwitchTransfers, unlimited, r.unlimitedRate / kMiB);
    std::printf("     whole period                      %7.0f KB/s  %6.1f %%", r.rate / 1024,
                100 * share);
    PrintTarget("within 5 %", std::fabs(share - 1) <= 0.05);
    std::printf("\n");
    std::printf("     after its first %.2f s             %7.0f KB/s  %6.1f %%\n", settle,
                r.settledRate / 1024, 100 * r.settledRate / kLimitBytesPerSecond);
    return 0;
}
