// Transfer threads over real loopback sockets, the other end played step by
// step by a raw peer on the test's thread; and the rate limiter's arithmetic
// on a driven clock.

#include <sys/resource.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>

#include "support/Fuzz.h"
#include "support/RawPeer.h"
#include "support/TestFiles.h"
#include "transfers/RateLimiter.h"
#include "transfers/TransferThreads.h"

namespace {

constexpr int kWait = 10000;

// What a thread reported, as received on the test's thread.
struct Report {
    bool done = false, ok = false, socketHome = false;
    int finals = 0;
    QString error;
    QList<qint64> progress;
};

// A file that calls `onRead` before each read from the disk, on the
// reading thread.
class HookedFile : public QFile {
public:
    HookedFile(const QString& name, QObject* parent, std::function<void()> onRead)
        : QFile(name, parent), m_onRead(std::move(onRead)) {}

protected:
    qint64 readData(char* data, qint64 max) override {
        if (m_onRead)
            m_onRead();
        return QFile::readData(data, max);
    }

private:
    std::function<void()> m_onRead;
};

}  // namespace

class TestTransferThreads : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    RateLimiter m_uploads, m_downloads;  // unlimited unless a test sets them
    std::atomic<qint64> m_now{0};        // their clock, when a test drives it
    std::unique_ptr<RawPeer> m_peer;
    std::function<void()> m_onRead;  // at each read of the files Open makes
    QFile* Open(const QString& name, const QByteArray& bytes, QIODevice::OpenMode mode) {
        auto* file = new HookedFile(m_dir.filePath(name), this, m_onRead);
        if (!Write(file->fileName(), bytes) || !file->open(mode))
            qFatal("cannot prepare %s", qPrintable(name));
        return file;
    }
    // The thread's end of a new connection; the peer's end becomes current.
    QTcpSocket* Dial() {
        auto* socket = new QTcpSocket;
        socket->connectToHost(QHostAddress::LocalHost, m_peer->Port());
        if (!socket->waitForConnected(kWait) || !m_peer->WaitForIncoming(kWait))
            qFatal("no loopback connection");
        return socket;
    }
    void Final(Report* r, QTcpSocket* socket, bool ok, const QString& error) {
        r->done = true, r->ok = ok, r->error = error, ++r->finals;
        r->socketHome = socket->thread() == QThread::currentThread();
    }
    template <class T>
    T* Go(T* t, QTcpSocket* s, Report* r, int waitMs = 200, int waits = 10) {
        t->SetWaitLimits(waitMs, waits);
        if constexpr (std::is_same_v<T, UploadThread>) {
            connect(t, &T::UploadProgress, this, [r](qint64 at, int) { r->progress << at; });
            connect(t, &T::UploadComplete, this, [=] { Final(r, s, true, {}); });
            connect(t, &T::UploadError, this, [=](const QString& e) { Final(r, s, false, e); });
        } else {
            connect(t, &T::DownloadProgress, this, [r](qint64 at, int) { r->progress << at; });
            connect(t, &T::DownloadComplete, this, [=] { Final(r, s, true, {}); });
            connect(t, &T::DownloadError, this, [=](const QString& e) { Final(r, s, false, e); });
        }
        StartTransferThread(t, s);
        return t;
    }
    // Waits for the final report, then stops and frees the thread and socket.
    static void End(QThread* t, QTcpSocket* s, const Report& r) {
        QVERIFY(QTest::qWaitFor([&r] { return r.done; }, 60000));
        StopAndWait(t);
        delete t;
        delete s;
    }
    // An upload of `bytes` whose downloader answers the token with `offset`,
    // the answer cut in two writes after `cut` bytes.
    Report Upload(const QByteArray& bytes, int token, qint64 offset, int cut, bool closeAtEnd) {
        Report r;
        QTcpSocket* s = Dial();
        auto* t = Go(new UploadThread(s, Open("up", bytes, QIODevice::ReadOnly), token), s, &r);
        bool right = m_peer->ReadRaw(4, kWait) == RawPeer::U32(quint32(token));
        m_peer->SendRaw(RawPeer::I64(offset).left(cut));
        m_peer->WaitForWritten();
        m_peer->SendRaw(RawPeer::I64(offset).mid(cut));
        if (offset >= 0 && offset < bytes.size())
            right = right &&
                    m_peer->ReadRaw(bytes.size() - int(offset), kWait) == bytes.mid(int(offset));
        if (closeAtEnd)
            m_peer->Close();
        End(t, s, r);
        if (!right)
            r.ok = false, r.error += " (wrong token or bytes)";
        return r;
    }
    // A download into a partial holding `partial`; the uploader sends `send`.
    Report Download(const QByteArray& partial, qint64 size, qint64 start, const QByteArray& send,
                    bool close = false, int waitMs = 200) {
        Report r;
        QTcpSocket* s = Dial();
        QFile* file = Open("partial", partial, QIODevice::Append);
        auto* t = Go(new DownloadThread(s, file, size, start), s, &r, waitMs);
        m_peer->SendRaw(send);
        if (close)
            m_peer->Close();
        End(t, s, r);
        if (file->isOpen())
            r.ok = false, r.error = "file left open";
        return r;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        InstallUploadRateLimiter(&m_uploads);
        InstallDownloadRateLimiter(&m_downloads);
    }
    void init() {
        for (RateLimiter* limiter : {&m_uploads, &m_downloads}) {
            limiter->Reset();
            limiter->SetClock({}, {});
        }
        m_onRead = nullptr;
        m_peer.reset(new RawPeer);
        QVERIFY(m_peer->Listen());
    }
    void cleanupTestCase() {
        InstallUploadRateLimiter(nullptr);
        InstallDownloadRateLimiter(nullptr);
    }
    void rateLimiterArithmetic() {
        RateLimiter limiter;
        QCOMPARE(RateLimiter::PerTransferShare(100, 200), 1);
        // The pool pays what it holds, and never holds more than a second.
        limiter.SetLimits(100, 50);
        limiter.Credit(1000);
        QCOMPARE(limiter.Take(300), qint64(0));
        QCOMPARE(limiter.Take(1000), qint64(300));
        limiter.Credit(qint64(1) << 40);
        QCOMPARE(limiter.Pool(), qint64(100 * 1024));
        QVERIFY(!limiter.Determine(100, false, 1) && limiter.Pool() == 100 * 1024);
        limiter.SetLimits(100, 100);
        QCOMPARE(limiter.Pool(), qint64(0));
        qint64 now = 1000, slept = 0;
        const auto clock = [&now] { return now; };
        const auto sleep = [&](qint64 ms) { slept += ms, now += ms; };
        const auto never = [] { return false; };
        // Unlimited for an hour, then switched on: neither the hour nor the
        // bytes moved meanwhile count, and the first block under the limit is
        // paid for by sleeping its time before it moves.
        limiter.SetLimits(0, 0);
        Throttle t(limiter, clock, sleep);
        t.Start();
        for (int i = 0; i < 10; ++i, now += 1)
            QVERIFY(t.BeforeBlock(8192, never));
        QCOMPARE(slept, qint64(0));
        now += 3600 * 1000;
        limiter.SetLimits(100, 100);
        bool changed = false;
        QVERIFY(t.BeforeBlock(8192, never, &changed) && changed);
        QCOMPARE(slept, qint64(8192 / 100));
        QVERIFY(t.BeforeBlock(8192, never, &changed) && !changed);
        QVERIFY(slept >= qint64(2 * 8192 * 1000 / (100 * 1024)));
        // Idling earns at most a second.
        now += 60 * 1000;
        QVERIFY(t.BeforeBlock(0, never));
        QCOMPARE(limiter.Pool(), qint64(100 * 1024));
        // Blocks worth less than a millisecond each still take their time.
        limiter.SetLimits(20000, 20000);
        Throttle fast(limiter, clock, sleep);
        fast.Start();
        const qint64 began = now;
        for (int i = 0; i < 1000; ++i)
            QVERIFY(fast.BeforeBlock(8192, never));
        QVERIFY(now - began >= qint64(1000) * 8192 * 1000 / (20000 * 1024) - 1);
        // A huge limit over a long gap neither overflows nor goes negative.
        limiter.SetLimits(INT_MAX, INT_MAX);
        Throttle huge(limiter, clock, sleep);
        huge.Start();
        now += qint64(1) << 40;
        QVERIFY(huge.BeforeBlock(0, never));
        QCOMPARE(limiter.Pool(), qint64(INT_MAX) * 1024);
        // A stop request cuts an eight-second sleep short.
        limiter.SetLimits(1, 1);
        Throttle slow(limiter, clock, sleep);
        slow.Start();
        int asked = 0;
        slept = 0;
        QVERIFY(!slow.BeforeBlock(8192, [&asked] { return ++asked > 2; }));
        QVERIFY(slept <= 300);
    }
    // What a transfer still owes when it ends is paid by the next one, and a
    // new limit keeps it owed; a limit raised or removed while a block's
    // eight seconds are slept off shortens them at once.
    void rateLimiterDebtAndChanges() {
        RateLimiter limiter;
        qint64 now = 0, slept = 0;
        std::function<void()> onSleep;
        limiter.SetClock([&now] { return now; },
                         [&](qint64 ms) {
                             slept += ms, now += ms;
                             if (onSleep)
                                 onSleep();
                         });
        const auto never = [] { return false; };
        // Files of one block, each worth half a millisecond.
        limiter.SetLimits(1000, 1000);
        for (int i = 0; i < 100; ++i) {
            Throttle one(limiter);
            one.Start();
            QVERIFY(one.BeforeBlock(500, never));
            one.Finish();
        }
        QVERIFY2(now >= 100 * 500 * 1000 / (1000 * 1024) - 1, qPrintable(QString::number(now)));
        // Owed at most a second of a transfer's share; spare bytes go with a
        // new limit, owed ones stay.
        limiter.Owe(qint64(1) << 40);
        QCOMPARE(limiter.Pool(), qint64(-1000 * 1024));
        limiter.SetLimits(40, 10);
        QCOMPARE(limiter.Pool(), qint64(-10 * 1024));
        limiter.Credit(30 * 1024);
        limiter.SetLimits(40, 10);
        QCOMPARE(limiter.Pool(), qint64(0));
        limiter.SetLimits(0, 0);
        limiter.Owe(5);
        QCOMPARE(limiter.Pool(), qint64(0));
        // Changed after the first slice of the sleep.
        for (const int to : {0, 1000}) {
            limiter.SetLimits(1, 1);
            Throttle t(limiter);
            t.Start();
            slept = 0;
            onSleep = [&] {
                if (limiter.PerTransferLimit() == 1)
                    limiter.SetLimits(to, to);
            };
            bool changed = false;
            QVERIFY(t.BeforeBlock(8192, never, &changed) && changed);
            QVERIFY2(slept < 200, qPrintable(QString::number(slept)));
            QCOMPARE(t.LastLimit(), to);
            onSleep = nullptr;
        }
    }
    // The edges, then random offsets and answer cuts: either the tail of the
    // file arrives exactly after the little-endian token, or the offset is
    // refused.
    void uploadOffsets() {
        fuzz::Rng rng(20240501u);
        const QByteArray bytes = Pattern(20000);
        const qint64 edges[] = {0, 3000, 19999, 20000, 20001, -1, LLONG_MIN};
        for (int i = 0; i < 20; ++i) {
            const qint64 offset = i < 7 ? edges[i] : fuzz::Below(rng, 20000);
            const bool valid = offset >= 0 && offset < bytes.size();
            const Report r = Upload(bytes, -2 - i, offset, 1 + fuzz::Below(rng, 8), valid);
            QVERIFY(r.done && r.socketHome && r.finals == 1);
            if (valid) {
                QVERIFY2(r.ok, qPrintable(r.error));
                QCOMPARE(r.progress.last(), qint64(bytes.size()));
            } else {
                QCOMPARE(r.error,
                         QString("Won't seek to offset %1 in file of size 20000").arg(offset));
            }
        }
        QCOMPARE(Upload(QByteArray(), 1, 0, 8, false).error,
                 QString("Won't seek to offset 0 in file of size 0"));
    }
    void uploadPeerFaults() {
        const QByteArray small = Pattern(100), large = Pattern(16 * 1024 * 1024);
        // Closes before the offset; stalls before the offset.
        for (bool close : {true, false}) {
            QTcpSocket* s = Dial();
            Report before;
            auto* t = Go(new UploadThread(s, Open("up", small, QIODevice::ReadOnly), 5), s, &before,
                         50, 4);
            if (close && m_peer->ReadRaw(4, kWait).size() == 4)
                m_peer->Close();
            End(t, s, before);
            QVERIFY(before.error.startsWith("Waiting for initialization data to read failed."));
        }
        // Takes every byte but never closes: no success, and no reason.
        const Report r = Upload(small, 5, 0, 8, false);
        QVERIFY(!r.ok && r.error.isEmpty() && r.progress.last() == 100);
        // Closes after 64 KiB of a large file and 1 MiB more under a limit.
        QTcpSocket* s = Dial();
        Report early;
        auto* t = Go(new UploadThread(s, Open("up", large, QIODevice::ReadOnly), 5), s, &early);
        m_peer->ReadRaw(4, kWait);
        m_peer->SendRaw(RawPeer::I64(0));
        QCOMPARE(m_peer->ReadRaw(64 * 1024, kWait), large.left(64 * 1024));
        m_uploads.SetLimits(1 << 20, 1 << 20);  // what was read ahead goes out limited
        QCOMPARE(m_peer->ReadRaw(1 << 20, kWait), large.mid(64 * 1024, 1 << 20));
        m_peer->Close();
        End(t, s, early);
        QVERIFY(!early.ok && !early.error.isEmpty() && early.socketHome);
        // Stops reading: what is written is never taken.
        QTcpServer quiet;
        QVERIFY(quiet.listen(QHostAddress::LocalHost));
        s = new QTcpSocket;
        s->connectToHost(QHostAddress::LocalHost, quiet.serverPort());
        QVERIFY(s->waitForConnected(kWait) && quiet.waitForNewConnection(kWait));
        QTcpSocket* reader = quiet.nextPendingConnection();
        reader->setReadBufferSize(16 * 1024);
        reader->write(RawPeer::I64(0));
        Report stuck;
        End(Go(new UploadThread(s, Open("up", large, QIODevice::ReadOnly), 5), s, &stuck, 100, 3),
            s, stuck);
        QVERIFY(stuck.error.startsWith("Waiting for bytes to be written to socket failed."));
    }
    // A downloader that reads steadily, far slower than the socket would
    // carry, takes the whole file although the system wakes the writer
    // only after many single waits: each of them sees bytes leave its send
    // queue. One that reads in bursts, pausing for fewer waits than the
    // limit each time, takes it too: only idle waits in a row count. One
    // that reads nothing fails as before. The system's send buffer is fixed,
    // so that the writer's wake-ups are far apart. Progress says what the
    // reader took, never what waits for it in the system's queue.
    void slowAndSilentReaders_data() {
        QTest::addColumn<int>("perTick");
        QTest::addColumn<int>("burstTicks");
        QTest::addColumn<int>("pauseTicks");
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<int>("waits");
        // Idle for 8 single waits of 50 ms: far less than the wake-ups' spacing.
        QTest::newRow("steady reader") << 8 * 1024 << 1 << 0 << 50 << 8;
        // Each pause is 2 single waits, a send takes several pauses; ten idle
        // in a row fail.
        QTest::newRow("reads in bursts") << 16 * 1024 << 2 << 20 << 100 << 10;
        QTest::newRow("never reads") << 0 << 1 << 0 << 50 << 8;
    }
    void slowAndSilentReaders() {
        QFETCH(int, perTick);
        QFETCH(int, burstTicks);
        QFETCH(int, pauseTicks);
        QFETCH(int, waitMs);
        QFETCH(int, waits);
        // A bursty reader takes its buffer's worth per read, behind small
        // buffers on both sides, so that its pauses hold the writer up.
        const bool bursty = pauseTicks > 0;
        const QByteArray bytes = Pattern((bursty ? 1 : 4) * 1024 * 1024);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        auto* s = new QTcpSocket;
        s->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(s->waitForConnected(kWait) && listener.waitForNewConnection(kWait));
        const int sendBuffer = bursty ? 64 * 1024 : 1 << 20, window = 16 * 1024;
        QVERIFY(::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &sendBuffer,
                             sizeof sendBuffer) == 0);
        std::unique_ptr<QTcpSocket> reader(listener.nextPendingConnection());
        // A small receive window, as behind a slow link: every read makes
        // room for more at once.
        QVERIFY(::setsockopt(int(reader->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &window,
                             sizeof window) == 0);
        reader->setReadBufferSize(bursty ? perTick : 64 * 1024);
        reader->write(RawPeer::I64(0));
        QByteArray got;
        // Bursts and pauses by the clock, so that a busy machine's late
        // ticks do not stretch the pauses.
        QElapsedTimer clock;
        clock.start();
        QTimer pace;
        connect(&pace, &QTimer::timeout, this, [&] {
            if (!reader->isOpen())
                return;
            if (clock.elapsed() / 10 % (burstTicks + pauseTicks) < burstTicks)
                got += reader->read(perTick);
            if (got.size() == bytes.size() + 4)
                reader->close();
        });
        pace.start(10);
        Report r;
        auto* t = new UploadThread(s, Open("up", bytes, QIODevice::ReadOnly), 5);
        // Beyond what the reader took, at most its buffer and the system's
        // receive queue.
        qint64 ahead = 0;
        connect(t, &UploadThread::UploadProgress, this,
                [&](qint64 at, int) { ahead = std::max(ahead, at - qMax(0, got.size() - 4)); });
        End(Go(t, s, &r, waitMs, waits), s, r);
        if (perTick > 0) {
            QVERIFY2(r.ok, qPrintable(r.error));
            QVERIFY(got.mid(4) == bytes);
            QVERIFY2(ahead <= 256 * 1024, qPrintable(QString::number(ahead)));
            QCOMPARE(r.progress.last(), qint64(bytes.size()));
        } else {
            QVERIFY(r.error.startsWith("Waiting for bytes to be written to socket failed."));
            QVERIFY(r.progress.isEmpty() || r.progress.last() <= 256 * 1024);
        }
    }
    // Files moved one after another under a 4 KB/s limit, measured on the
    // limiter's clock over all of them: a folder of small files, one of
    // sizes around a block's, and one file as large as the folder. Each takes
    // its time at the limit, its last block included, and no longer. A limit
    // switched on while an unlimited upload reads its file ahead holds for
    // the bytes read ahead too.
    void limitsOverAFolder_data() {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<bool>("setWhileRead");
        const QList<int> folder = QVector<int>(12, 8000).toList();
        const QList<int> mixed{1, 100, 8191, 8192, 8193, 10000, 20000, 3000};
        for (const bool upload : {true, false}) {
            const char* way = upload ? "upload" : "download";
            QTest::addRow("%s, small files", way) << upload << folder << false;
            QTest::addRow("%s, sizes around a block", way) << upload << mixed << false;
            QTest::addRow("%s, one file", way) << upload << QList<int>{96000} << false;
        }
        QTest::newRow("upload, limit set while the file is read ahead")
            << true << QList<int>{96000} << true;
    }
    void limitsOverAFolder() {
        QFETCH(bool, upload);
        QFETCH(QList<int>, sizes);
        QFETCH(bool, setWhileRead);
        RateLimiter& limiter = upload ? m_uploads : m_downloads;
        m_now = 0;
        limiter.SetClock([this] { return m_now.load(); }, [this](qint64 ms) { m_now += ms; });
        if (setWhileRead)
            m_onRead = [&limiter] { limiter.SetLimits(4, 4); };
        else
            limiter.SetLimits(4, 4);
        qint64 total = 0;
        int token = 100;
        for (const int size : sizes) {
            const QByteArray bytes = Pattern(size);
            const Report r =
                upload ? Upload(bytes, ++token, 0, 8, true) : Download({}, size, 0, bytes);
            QVERIFY2(r.ok, qPrintable(r.error));
            if (!upload)
                QCOMPARE(ReadFile(m_dir.filePath("partial")), bytes);
            total += size;
        }
        const qint64 atLimit = total * 1000 / (4 * 1024);
        const QString figures = QString("%1 ms for %2 ms").arg(m_now.load()).arg(atLimit);
        QVERIFY2(m_now >= atLimit - 1, qPrintable(figures));
        QVERIFY2(m_now <= atLimit + atLimit / 40 + 10, qPrintable(figures));
    }
    void downloads() {
        const QByteArray whole = Pattern(600000);
        // Resumed after 5,000 bytes, unlimited (several reads' worth); from
        // nothing, limited (block by block, just over two); a partial already
        // whole.
        for (const int held : {5000, 0, 600000}) {
            const int size = held == 0 ? 16500 : 600000;
            m_downloads.SetLimits(held == 0 ? 1 << 20 : 0, held == 0 ? 1 << 20 : 0);
            const Report r = Download(whole.left(held), size, held, whole.mid(held, size - held));
            QVERIFY2(r.ok && r.finals == 1 && r.socketHome, qPrintable(r.error));
            QCOMPARE(ReadFile(m_dir.filePath("partial")), whole.left(size));
            QCOMPARE(r.progress.last(), qint64(size));
            QVERIFY(m_peer->WaitForDisconnect(kWait));  // we close once done
        }
        // Never a success: a partial larger than the file, a negative size,
        // a partial not holding what we were told, too many bytes, an early
        // close (what came is kept for the resume) and a stall.
        QCOMPARE(Download(whole, 500, 30000, {}).error,
                 QString("Won't resume at position 30000 of a file of size 500"));
        QVERIFY(!Download({}, -1, 0, {}).ok);
        QCOMPARE(Download(whole.left(10), 1000, 20, {}).error,
                 QString("The partial file holds 10 bytes, not 20"));
        QCOMPARE(Download({}, 1000, 0, whole.left(1010)).error,
                 QString("Received more than the file size of 1000 bytes"));
        QCOMPARE(QFileInfo(m_dir.filePath("partial")).size(), qint64(1000));
        Report r = Download({}, 1000, 0, whole.left(600), true);
        QVERIFY(!r.ok && r.error.startsWith("Waiting for data to read failed."));
        QCOMPARE(ReadFile(m_dir.filePath("partial")), whole.left(600));
        r = Download({}, 1000, 0, whole.left(10), false, 50);
        QVERIFY(!r.ok && r.error.startsWith("Waiting for data to read failed."));

        // The disk fills mid-download (here a file size limit, which fails
        // the writes with EFBIG as a full disk would with ENOSPC): the first
        // failure says why in the system's words, not as "Unknown error".
        rlimit old{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit tight = old;
        tight.rlim_cur = 300001;  // within a write, so that it gets part of its bytes out
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        const bool limited = setrlimit(RLIMIT_FSIZE, &tight) == 0;
        if (limited)
            r = Download({}, 600000, 0, whole);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        QVERIFY(limited);
        QCOMPARE(r.error, "Writing to file failed. Error string: " + QString(std::strerror(EFBIG)));
    }
    // A flowing download, an upload asleep in the throttle of a 1 KB/s
    // limit, one never given an offset and a download never given data, all
    // with waits that would run for minutes: asked together, they all end.
    void stopIsPrompt() {
        m_uploads.SetLimits(8, 8);  // the first block in a second, then 1 KB/s
        QTcpSocket* s[4] = {Dial(), Dial(), Dial(), Dial()};  // peer indexes 0..3
        QThread* t[4] = {
            new DownloadThread(s[0], Open("flowing", {}, QIODevice::Append), qint64(1) << 40, 0),
            new UploadThread(s[1], Open("up", Pattern(64 * 1024), QIODevice::ReadOnly), 1),
            new UploadThread(s[2], Open("up2", Pattern(64 * 1024), QIODevice::ReadOnly), 2),
            new DownloadThread(s[3], Open("down", {}, QIODevice::Append), 1000, 0)};
        Report r[4];
        int destroyed = 0;
        for (int i = 0; i < 4; ++i) {
            connect(t[i], &QObject::destroyed, [&destroyed] { ++destroyed; });
            if (i % 3 == 0)
                Go(static_cast<DownloadThread*>(t[i]), s[i], &r[i], 1000, 600);
            else
                Go(static_cast<UploadThread*>(t[i]), s[i], &r[i], 1000, 600);
        }
        QTimer pacer;
        connect(&pacer, &QTimer::timeout, [&] { m_peer->SendRawOn(0, QByteArray(8192, 'f')); });
        pacer.start(10);
        QCOMPARE(m_peer->ReadRawOn(1, 4, kWait).size(), 4);
        m_peer->SendRawOn(1, RawPeer::I64(0));
        QCOMPARE(m_peer->ReadRawOn(1, 8192, kWait), Pattern(8192));
        m_uploads.SetLimits(1, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!r[0].progress.isEmpty(), 30000);
        QElapsedTimer timer;
        timer.start();
        StopAllAndWait({t[0], t[1], t[2], t[3]});
        // Without the stop the throttle alone would need a minute.
        QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
        for (const Report& each : r) {
            QTRY_VERIFY(each.done);
            QCOMPARE(each.error, QString("Exit requested."));
            QVERIFY(each.socketHome && each.finals == 1);
        }
        // The throttled upload sent its first blocks only, far from 64 KiB.
        QVERIFY(m_peer->ReadRawOn(1, 64 * 1024 - 8192, 0).isEmpty());
        // Released once each, after their final signals were delivered.
        for (QThread* each : t)
            StopAndRelease(each);
        QTRY_COMPARE(destroyed, 4);
        for (QTcpSocket* each : s)
            delete each;
    }

    // A file of one send's worth (32 blocks of 8 KiB) to a slow downloader
    // takes seconds to go: the progress that moves the Uploads row comes
    // meanwhile, rising, never ahead of what she took, not only once the
    // send is over. Behind a small send buffer the wait is for the socket's
    // own buffer; behind the system's, for the downloader's close.
    void progressDuringOneLargeSend_data() {
        QTest::addColumn<int>("sendBuffer");
        QTest::newRow("small send buffer") << 32 * 1024;
        QTest::newRow("the system's send buffer") << 0;
    }
    void progressDuringOneLargeSend() {
        QFETCH(int, sendBuffer);
        const QByteArray bytes = Pattern(256 * 1024);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        auto* s = new QTcpSocket;
        s->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(s->waitForConnected(kWait) && listener.waitForNewConnection(kWait));
        QVERIFY(sendBuffer == 0 || ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_SNDBUF,
                                                &sendBuffer, sizeof sendBuffer) == 0);
        std::unique_ptr<QTcpSocket> reader(listener.nextPendingConnection());
        const int window = 16 * 1024;
        QVERIFY(::setsockopt(int(reader->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &window,
                             sizeof window) == 0);
        reader->setReadBufferSize(4096);
        reader->write(RawPeer::I64(0));
        // About 50 KB/s.
        QByteArray got;
        QTimer pace;
        connect(&pace, &QTimer::timeout, this, [&] {
            if (!reader->isOpen())
                return;
            got += reader->read(512);
            if (got.size() == bytes.size() + 4)
                reader->close();
        });
        pace.start(10);
        Report r;
        auto* t = new UploadThread(s, Open("up", bytes, QIODevice::ReadOnly), 5);
        qint64 ahead = 0;
        int early = 0;
        connect(t, &UploadThread::UploadProgress, this, [&](qint64 at, int speed) {
            const qint64 took = qMax(0, got.size() - 4);
            ahead = std::max(ahead, at - took);
            early += at > 0 && speed > 0 && took < bytes.size() / 2;
        });
        End(Go(t, s, &r, 100, 50), s, r);
        QVERIFY2(r.ok, qPrintable(r.error));
        QVERIFY(got.mid(4) == bytes);
        QVERIFY2(ahead <= 4 * window, qPrintable(QString::number(ahead)));
        // Positions and speeds while she had taken less than half of it.
        QVERIFY2(early >= 3, qPrintable(QString::number(early)));
        QVERIFY(std::is_sorted(r.progress.begin(), r.progress.end()));
        QCOMPARE(r.progress.last(), qint64(bytes.size()));
    }
};

QTEST_GUILESS_MAIN(TestTransferThreads)
#include "test_transfer_threads.moc"
