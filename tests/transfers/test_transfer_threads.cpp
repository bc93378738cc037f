// Transfer threads over real loopback sockets, each against a scripted peer
// that speaks the raw file-connection bytes from the test's main thread.

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <QtTest>
#include <climits>
#include <memory>

#include "transfers/RateLimiter.h"
#include "transfers/TransferThreads.h"

namespace {

QByteArray RandomBytes(int size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(rng.generate() & 0xff);
    return bytes;
}

QByteArray Offset(qint64 offset) {
    QByteArray bytes(8, Qt::Uninitialized);
    qToLittleEndian<qint64>(offset, bytes.data());
    return bytes;
}

// What a thread reported, collected on the main thread.
struct Outcome {
    bool done = false;
    bool ok = false;
    QString error;
    QList<qint64> progress;
    bool socketHome = false;
    int finals = 0;
};

// One file connection: `local` goes to the thread, `peer` stays here.
struct Connection {
    QTcpSocket* local = nullptr;
    std::unique_ptr<QTcpSocket> peer;
    QByteArray received;  // everything the peer got
    bool peerClosed = false;
};

class Harness : public QObject {
public:
    Harness() { QVERIFY(m_server.listen(QHostAddress::LocalHost)); }

    std::unique_ptr<Connection> Connect() {
        auto c = std::make_unique<Connection>();
        c->local = new QTcpSocket;
        c->local->connectToHost(QHostAddress::LocalHost, m_server.serverPort());
        if (!c->local->waitForConnected(3000) || !m_server.waitForNewConnection(3000))
            return nullptr;
        c->peer.reset(m_server.nextPendingConnection());
        c->peer->setParent(nullptr);
        Connection* raw = c.get();
        QObject::connect(raw->peer.get(), &QTcpSocket::disconnected, this,
                         [raw] { raw->peerClosed = true; });
        return c;
    }

    void Watch(UploadThread* t, Connection* c, Outcome* o) {
        QObject::connect(t, &UploadThread::UploadProgress, this,
                         [o](qint64 offset, int) { o->progress << offset; });
        QObject::connect(t, &UploadThread::UploadComplete, this, [=] { Final(c, o, true, {}); });
        QObject::connect(t, &UploadThread::UploadError, this,
                         [=](const QString& e) { Final(c, o, false, e); });
    }

    void Watch(DownloadThread* t, Connection* c, Outcome* o) {
        QObject::connect(t, &DownloadThread::DownloadProgress, this,
                         [o](qint64 offset, int) { o->progress << offset; });
        QObject::connect(t, &DownloadThread::DownloadComplete, this,
                         [=] { Final(c, o, true, {}); });
        QObject::connect(t, &DownloadThread::DownloadError, this,
                         [=](const QString& e) { Final(c, o, false, e); });
    }

private:
    static void Final(Connection* c, Outcome* o, bool ok, const QString& error) {
        o->done = true;
        o->ok = ok;
        o->error = error;
        o->socketHome = c->local->thread() == QThread::currentThread();
        ++o->finals;
    }

    QTcpServer m_server;
};

// A downloader: collects the token, answers with `offset` (split in two
// packets when `split` is between 1 and 7), and closes once `expect` data
// bytes are in. A negative `expect` never closes.
void PlayDownloader(Connection* c, qint64 offset, int split, qint64 expect) {
    QObject::connect(c->peer.get(), &QTcpSocket::readyRead, c->peer.get(), [=] {
        const bool hadToken = c->received.size() >= 4;
        c->received += c->peer->readAll();
        if (!hadToken && c->received.size() >= 4) {
            const QByteArray bytes = Offset(offset);
            if (split > 0 && split < 8) {
                c->peer->write(bytes.left(split));
                c->peer->flush();
                QTimer::singleShot(30, c->peer.get(), [=] { c->peer->write(bytes.mid(split)); });
            } else {
                c->peer->write(bytes);
            }
        }
        if (expect >= 0 && c->received.size() >= 4 + expect)
            c->peer->disconnectFromHost();
    });
}

}  // namespace

class TestTransferThreads : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rateLimiterArithmetic();
    void uploadSendsFileFromOffset();
    void uploadFailures();
    void uploadOffsetFuzz();
    void downloadAppendsToPartial();
    void downloadFailures();
    void rateLimitShared();
    void stopIsPrompt();

private:
    QString WriteFile(const QString& name, const QByteArray& bytes) {
        const QString path = m_dir->filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        return path;
    }

    // Runs one upload of `bytes` against a downloader asking for `offset`.
    Outcome RunUpload(const QByteArray& bytes, qint64 offset, int split, int token,
                      QByteArray* received);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Harness> m_harness;
    RateLimiter m_uploads;
    RateLimiter m_downloads;
};

void TestTransferThreads::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_harness = std::make_unique<Harness>();
    m_uploads.Reset();
    m_downloads.Reset();
    InstallUploadRateLimiter(&m_uploads);
    InstallDownloadRateLimiter(&m_downloads);
}

void TestTransferThreads::cleanup() {
    InstallUploadRateLimiter(nullptr);
    InstallDownloadRateLimiter(nullptr);
    m_harness.reset();
    m_dir.reset();
}

void TestTransferThreads::rateLimiterArithmetic() {
    // Shares of a total limit.
    QCOMPARE(RateLimiter::PerTransferShare(100, 4), 25);
    QCOMPARE(RateLimiter::PerTransferShare(100, 200), 1);
    QCOMPARE(RateLimiter::PerTransferShare(100, 0), 100);

    RateLimiter limiter;
    QVERIFY(limiter.Determine(100, true, 4));
    QCOMPARE(limiter.TotalLimit(), 100);
    QCOMPARE(limiter.PerTransferLimit(), 25);
    QVERIFY(!limiter.Determine(0, true, 4));  // enabled with 0: unlimited
    QCOMPARE(limiter.PerTransferLimit(), 0);

    // Take pays from the pool; the rest is the overdraft. The pool holds at
    // most one second of the limit, however much was earned.
    limiter.SetLimits(100, 50);
    limiter.Credit(1000);
    QCOMPARE(limiter.Take(300), qint64(0));
    QCOMPARE(limiter.Pool(), qint64(700));
    QCOMPARE(limiter.Take(1000), qint64(300));
    QCOMPARE(limiter.Pool(), qint64(0));
    limiter.Credit(qint64(1) << 40);
    QCOMPARE(limiter.Pool(), qint64(100 * 1024));
    // Switching off keeps the pool; setting a limit empties it.
    QVERIFY(!limiter.Determine(100, false, 1));
    QCOMPARE(limiter.TotalLimit(), 0);
    QCOMPARE(limiter.Pool(), qint64(100 * 1024));
    limiter.SetLimits(100, 100);
    QCOMPARE(limiter.Pool(), qint64(0));

    // A throttle on a fake clock.
    qint64 now = 1000;
    qint64 slept = 0;
    const auto clock = [&now] { return now; };
    const auto sleep = [&](qint64 ms) {
        slept += ms;
        now += ms;
    };
    const auto never = [] { return false; };

    // Unlimited: no sleep, the pool is not touched.
    limiter.SetLimits(0, 0);
    limiter.Credit(0);
    Throttle unlimited(limiter, clock, sleep);
    unlimited.Start();
    for (int i = 0; i < 10; ++i) {
        QVERIFY(unlimited.BeforeBlock(never));
        unlimited.Moved(8192);
        now += 1;
    }
    QCOMPARE(slept, qint64(0));

    // An hour later the limit is switched on: neither the hour nor the bytes
    // moved while unlimited count, and the clock restarts.
    now += 3600 * 1000;
    limiter.SetLimits(100, 100);
    bool changed = false;
    QVERIFY(unlimited.BeforeBlock(never, &changed));
    QVERIFY(changed);
    QCOMPARE(slept, qint64(0));
    QCOMPARE(limiter.Pool(), qint64(0));

    // One block of debt with an empty pool is paid by sleeping O / L ms.
    unlimited.Moved(8192);
    QVERIFY(unlimited.BeforeBlock(never, &changed));
    QVERIFY(!changed);
    QCOMPARE(slept, qint64(8192 / 100));
    // What it earned while sleeping beyond the overdraft went to the pool.
    QCOMPARE(limiter.Pool(), qint64(100 * 1024 * 81 / 1000 - 8192));

    // Idling earns at most one second of the limit.
    now += 60 * 1000;
    QVERIFY(unlimited.BeforeBlock(never));
    QCOMPARE(limiter.Pool(), qint64(100 * 1024));

    // A block worth less than a millisecond of the limit is still paid for:
    // 1,000 blocks at 20,000 KB/s take at least their time at that rate.
    limiter.SetLimits(20000, 20000);
    Throttle fast(limiter, clock, sleep);
    fast.Start();
    const qint64 began = now;
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(fast.BeforeBlock(never));
        fast.Moved(8192);
    }
    QVERIFY(fast.BeforeBlock(never));
    const qint64 needed = qint64(1000) * 8192 * 1000 / (20000 * 1024);
    QVERIFY2(now - began >= needed - 1, qPrintable(QString::number(now - began)));

    // A huge limit over a long gap neither overflows nor goes negative.
    limiter.SetLimits(INT_MAX, INT_MAX);
    Throttle huge(limiter, clock, sleep);
    huge.Start();
    now += qint64(1) << 40;
    QVERIFY(huge.BeforeBlock(never));
    QCOMPARE(limiter.Pool(), qint64(INT_MAX) * 1024);

    // A stop request cuts a long sleep short.
    limiter.SetLimits(1, 1);
    Throttle slow(limiter, clock, sleep);
    slow.Start();
    slow.Moved(8192);
    int asked = 0;
    slept = 0;
    QVERIFY(!slow.BeforeBlock([&asked] { return ++asked > 2; }));
    QVERIFY(slept <= 300);
}

Outcome TestTransferThreads::RunUpload(const QByteArray& bytes, qint64 offset, int split, int token,
                                       QByteArray* received) {
    Outcome o;
    QFile file(WriteFile("upload", bytes));
    if (!file.open(QIODevice::ReadOnly))
        return o;
    auto c = m_harness->Connect();
    if (!c)
        return o;
    const bool valid = offset >= 0 && offset < bytes.size();
    PlayDownloader(c.get(), offset, split, valid ? bytes.size() - offset : -1);
    auto* t = new UploadThread(c->local, &file, token);
    t->SetWaitLimits(200, 10);
    m_harness->Watch(t, c.get(), &o);
    StartTransferThread(t, c->local);
    (void)QTest::qWaitFor([&o] { return o.done; }, 10000);
    StopAndWait(t);
    delete t;
    delete c->local;
    *received = c->received;
    return o;
}

void TestTransferThreads::uploadSendsFileFromOffset() {
    // From the start, a 10,000-byte file (blocks of 8,192 and 1,808), offset
    // in two packets; the token goes out little-endian.
    QByteArray got;
    const QByteArray small = RandomBytes(10000, 1);
    Outcome o = RunUpload(small, 0, 3, 0x01020304, &got);
    QVERIFY2(o.ok, qPrintable(o.error));
    QCOMPARE(o.finals, 1);
    QVERIFY(o.socketHome);
    QCOMPARE(got.left(4), QByteArray("\x04\x03\x02\x01", 4));
    QCOMPARE(got.mid(4), small);
    QCOMPARE(o.progress.last(), qint64(10000));

    // Resumed from an offset; a negative token is sent as its u32 pattern.
    const QByteArray big = RandomBytes(100000, 2);
    o = RunUpload(big, 3000, 0, -2, &got);
    QVERIFY2(o.ok, qPrintable(o.error));
    QCOMPARE(got.left(4), QByteArray("\xfe\xff\xff\xff", 4));
    QCOMPARE(got.mid(4), big.mid(3000));
    QCOMPARE(o.progress.last(), qint64(100000));
    for (int i = 1; i < o.progress.size(); ++i)
        QVERIFY(o.progress[i] > o.progress[i - 1]);

    // The last byte alone.
    o = RunUpload(big, 99999, 0, 7, &got);
    QVERIFY2(o.ok, qPrintable(o.error));
    QCOMPARE(got.mid(4), big.right(1));
}

void TestTransferThreads::uploadFailures() {
    QByteArray got;
    const QByteArray hundred = RandomBytes(100, 3);

    // Offsets the file cannot serve, and an empty file.
    Outcome o = RunUpload(hundred, 100, 0, 1, &got);
    QCOMPARE(o.ok, false);
    QCOMPARE(o.error, QString("Won't seek to offset 100 in file of size 100"));
    QVERIFY(o.socketHome);
    o = RunUpload(hundred, -1, 0, 1, &got);
    QCOMPARE(o.error, QString("Won't seek to offset -1 in file of size 100"));
    o = RunUpload(QByteArray(), 0, 0, 1, &got);
    QCOMPARE(o.ok, false);
    QCOMPARE(o.error, QString("Won't seek to offset 0 in file of size 0"));

    // Script a peer by hand for the rest.
    const auto run = [this](const QByteArray& bytes, int waitMs, int waits,
                            const std::function<void(Connection*)>& script) {
        Outcome out;
        QFile file(WriteFile("upload", bytes));
        if (!file.open(QIODevice::ReadOnly))
            return out;
        auto c = m_harness->Connect();
        if (!c)
            return out;
        script(c.get());
        auto* t = new UploadThread(c->local, &file, 5);
        t->SetWaitLimits(waitMs, waits);
        m_harness->Watch(t, c.get(), &out);
        StartTransferThread(t, c->local);
        (void)QTest::qWaitFor([&out] { return out.done; }, 15000);
        StopAndWait(t);
        delete t;
        delete c->local;
        return out;
    };

    // The peer closes before it sends the offset.
    o = run(hundred, 200, 10, [](Connection* c) {
        QObject::connect(c->peer.get(), &QTcpSocket::readyRead, c->peer.get(),
                         [c] { c->peer->close(); });
    });
    QVERIFY(!o.ok);
    QVERIFY2(o.error.startsWith("Waiting for initialization data to read failed. Error string: "),
             qPrintable(o.error));

    // The peer stalls before the offset: the wait series runs out.
    QElapsedTimer timer;
    timer.start();
    o = run(hundred, 50, 4, [](Connection*) {});
    QVERIFY(!o.ok);
    QVERIFY2(o.error.startsWith("Waiting for initialization data to read failed."),
             qPrintable(o.error));
    QVERIFY(timer.elapsed() < 5000);

    // The peer takes every byte but never closes: no success, empty text.
    o = run(hundred, 50, 4, [](Connection* c) { PlayDownloader(c, 0, 0, -1); });
    QVERIFY(!o.ok);
    QCOMPARE(o.error, QString());
    QCOMPARE(o.progress.last(), qint64(100));

    // The peer closes after the first 64 KiB of a large file.
    const QByteArray large = RandomBytes(16 * 1024 * 1024, 4);
    o = run(large, 200, 10, [](Connection* c) { PlayDownloader(c, 0, 0, 64 * 1024); });
    QVERIFY(!o.ok);
    QVERIFY(!o.error.isEmpty());
    QVERIFY(o.socketHome);

    // The peer stops reading: the written bytes are never taken.
    o = run(large, 100, 3, [](Connection* c) {
        c->peer->setReadBufferSize(16 * 1024);
        c->peer->write(Offset(0));
    });
    QVERIFY(!o.ok);
    QVERIFY2(o.error.startsWith("Waiting for bytes to be written to socket failed. Error string: "),
             qPrintable(o.error));
}

void TestTransferThreads::uploadOffsetFuzz() {
    // Random offsets, valid or not, in random packet splits: either the tail
    // of the file arrives exactly, or the offset is refused.
    QRandomGenerator rng(20240501);
    const QByteArray bytes = RandomBytes(20000, 5);
    for (int i = 0; i < 25; ++i) {
        qint64 offset;
        switch (rng.bounded(4)) {
            case 0:
                offset = rng.bounded(20000);
                break;
            case 1:
                offset = qint64(rng.generate64());
                break;
            case 2:
                offset = 20000 + rng.bounded(3);
                break;
            default:
                offset = -qint64(rng.bounded(3));
                break;
        }
        QByteArray got;
        const Outcome o = RunUpload(bytes, offset, rng.bounded(9), i, &got);
        QVERIFY(o.done);
        if (offset >= 0 && offset < bytes.size()) {
            QVERIFY2(o.ok, qPrintable(o.error));
            QCOMPARE(got.mid(4), bytes.mid(int(offset)));
        } else {
            QCOMPARE(o.error, QString("Won't seek to offset %1 in file of size 20000").arg(offset));
        }
    }
}

void TestTransferThreads::downloadAppendsToPartial() {
    const QByteArray whole = RandomBytes(30000, 6);
    const auto run = [this](const QByteArray& partial, qint64 size, const QByteArray& send) {
        Outcome out;
        const QString path = WriteFile("partial", partial);
        QFile file(path);
        if (!file.open(QIODevice::Append))
            return out;
        auto c = m_harness->Connect();
        if (!c)
            return out;
        // The uploader sends in uneven pieces, a few milliseconds apart.
        auto* pacer = new QTimer(c->peer.get());
        auto sent = std::make_shared<int>(0);
        QTcpSocket* peer = c->peer.get();
        QObject::connect(pacer, &QTimer::timeout, peer, [=] {
            const QByteArray piece = send.mid(*sent, 7000);
            *sent += piece.size();
            if (!piece.isEmpty())
                peer->write(piece);
        });
        pacer->start(5);
        auto* t = new DownloadThread(c->local, &file, size, partial.size());
        t->SetWaitLimits(200, 10);
        m_harness->Watch(t, c.get(), &out);
        StartTransferThread(t, c->local);
        (void)QTest::qWaitFor([&out] { return out.done; }, 10000);
        if (out.ok && !QTest::qWaitFor([&c] { return c->peerClosed; }, 5000))
            out.ok = false;
        if (file.isOpen()) {
            out.ok = false;
            out.error = "file left open";
        }
        StopAndWait(t);
        delete t;
        delete c->local;
        return out;
    };

    // Resumed: data appended after the 5,000 bytes already held.
    Outcome o = run(whole.left(5000), whole.size(), whole.mid(5000));
    QVERIFY2(o.ok, qPrintable(o.error));
    QCOMPARE(o.finals, 1);
    QVERIFY(o.socketHome);
    QFile result(m_dir->filePath("partial"));
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), whole);
    result.close();
    QVERIFY(!o.progress.isEmpty());
    QCOMPARE(o.progress.last(), qint64(30000));
    for (int i = 0; i < o.progress.size(); ++i)
        QVERIFY(o.progress[i] > 5000 && (i == 0 || o.progress[i] > o.progress[i - 1]));

    // From nothing, exactly two blocks.
    const QByteArray aligned = RandomBytes(16384, 7);
    o = run(QByteArray(), aligned.size(), aligned);
    QVERIFY2(o.ok, qPrintable(o.error));
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), aligned);
    result.close();

    // Already whole: nothing to receive.
    o = run(whole, whole.size(), QByteArray());
    QVERIFY2(o.ok, qPrintable(o.error));
    QCOMPARE(o.progress.last(), qint64(30000));
}

void TestTransferThreads::downloadFailures() {
    const QByteArray whole = RandomBytes(1000, 8);
    const auto run = [this](const QByteArray& partial, qint64 size, qint64 start, int waitMs,
                            const std::function<void(Connection*)>& script) {
        Outcome out;
        QFile file(WriteFile("partial", partial));
        if (!file.open(QIODevice::Append))
            return out;
        auto c = m_harness->Connect();
        if (!c)
            return out;
        script(c.get());
        auto* t = new DownloadThread(c->local, &file, size, start);
        t->SetWaitLimits(waitMs, 4);
        m_harness->Watch(t, c.get(), &out);
        StartTransferThread(t, c->local);
        (void)QTest::qWaitFor([&out] { return out.done; }, 10000);
        StopAndWait(t);
        delete t;
        delete c->local;
        return out;
    };
    const auto none = [](Connection*) {};

    // A partial larger than the file, a negative size, and a partial that
    // does not hold what we were told.
    Outcome o = run(whole, 500, 1000, 50, none);
    QVERIFY(!o.ok);
    QCOMPARE(o.error, QString("Won't resume at position 1000 of a file of size 500"));
    QVERIFY(o.socketHome);
    o = run(QByteArray(), -1, 0, 50, none);
    QVERIFY(!o.ok);
    o = run(whole.left(10), 1000, 20, 50, none);
    QCOMPARE(o.error, QString("The partial file holds 10 bytes, not 20"));

    // The uploader sends more than the file holds.
    o = run(QByteArray(), whole.size(), 0, 200,
            [&whole](Connection* c) { c->peer->write(whole + "0123456789"); });
    QVERIFY(!o.ok);
    QCOMPARE(o.error, QString("Received more than the file size of 1000 bytes"));

    // The uploader closes early.
    o = run(QByteArray(), whole.size(), 0, 200, [&whole](Connection* c) {
        c->peer->write(whole.left(600));
        c->peer->disconnectFromHost();
    });
    QVERIFY(!o.ok);
    QVERIFY2(o.error.startsWith("Waiting for data to read failed. Error string: "),
             qPrintable(o.error));
    QFile partial(m_dir->filePath("partial"));
    QCOMPARE(partial.size(), qint64(0));  // no whole block arrived

    // The uploader stalls.
    o = run(QByteArray(), whole.size(), 0, 50,
            [&whole](Connection* c) { c->peer->write(whole.left(10)); });
    QVERIFY(!o.ok);
    QVERIFY2(o.error.startsWith("Waiting for data to read failed."), qPrintable(o.error));
}

void TestTransferThreads::rateLimitShared() {
    // Two uploads share 128 KB/s, 64 each. Beyond one second of pool and one
    // free block each, the bytes must take limit x time.
    constexpr int kTotal = 128;
    constexpr int kFileSize = 160 * 1024;
    m_uploads.Determine(kTotal, true, 2);
    QCOMPARE(m_uploads.PerTransferLimit(), 64);

    const QByteArray a = RandomBytes(kFileSize, 9);
    const QByteArray b = RandomBytes(kFileSize, 10);
    QFile fa(WriteFile("a", a));
    QFile fb(WriteFile("b", b));
    QVERIFY(fa.open(QIODevice::ReadOnly) && fb.open(QIODevice::ReadOnly));
    auto ca = m_harness->Connect();
    auto cb = m_harness->Connect();
    QVERIFY(ca && cb);
    PlayDownloader(ca.get(), 0, 0, kFileSize);
    PlayDownloader(cb.get(), 0, 0, kFileSize);
    Outcome oa, ob;
    auto* ta = new UploadThread(ca->local, &fa, 1);
    auto* tb = new UploadThread(cb->local, &fb, 2);
    m_harness->Watch(ta, ca.get(), &oa);
    m_harness->Watch(tb, cb.get(), &ob);
    QElapsedTimer timer;
    timer.start();
    StartTransferThread(ta, ca->local);
    StartTransferThread(tb, cb->local);
    QTRY_VERIFY_WITH_TIMEOUT(oa.done && ob.done, 20000);
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(oa.ok && ob.ok, qPrintable(oa.error + ob.error));
    QCOMPARE(ca->received.mid(4), a);
    QCOMPARE(cb->received.mid(4), b);

    const qint64 limitBytes = qint64(kTotal) * 1024;
    const qint64 unpaid = limitBytes + 2 * 8192;
    const qint64 minimumMs = (2 * kFileSize - unpaid) * 1000 / limitBytes;
    QVERIFY2(elapsed * 10 >= minimumMs * 8,
             qPrintable(QString("%1 ms, at least %2 expected").arg(elapsed).arg(minimumMs)));
    QVERIFY2(elapsed < 10000, qPrintable(QString("%1 ms").arg(elapsed)));
    StopAllAndWait({ta, tb});
    delete ta;
    delete tb;
    delete ca->local;
    delete cb->local;

    // A download takes its bytes from the download limiter.
    m_downloads.Determine(64, true, 1);
    const QByteArray d = RandomBytes(96 * 1024, 11);
    QFile fd(WriteFile("d", QByteArray()));
    QVERIFY(fd.open(QIODevice::Append));
    auto cd = m_harness->Connect();
    QVERIFY(cd);
    cd->peer->write(d);
    Outcome od;
    auto* td = new DownloadThread(cd->local, &fd, d.size(), 0);
    m_harness->Watch(td, cd.get(), &od);
    timer.restart();
    StartTransferThread(td, cd->local);
    QTRY_VERIFY_WITH_TIMEOUT(od.done, 10000);
    QVERIFY2(od.ok, qPrintable(od.error));
    // 96 KB less 64 KB of pool and one free block, at 64 KB/s.
    QVERIFY2(timer.elapsed() >= 300, qPrintable(QString::number(timer.elapsed())));
    StopAndWait(td);
    delete td;
    delete cd->local;
}

void TestTransferThreads::stopIsPrompt() {
    const QByteArray chunk = RandomBytes(8192, 12);
    QElapsedTimer timer;

    // A download whose data keeps flowing.
    {
        QFile file(WriteFile("flowing", QByteArray()));
        QVERIFY(file.open(QIODevice::Append));
        auto c = m_harness->Connect();
        QVERIFY(c);
        auto* pacer = new QTimer(c->peer.get());
        QObject::connect(pacer, &QTimer::timeout, c->peer.get(), [&] { c->peer->write(chunk); });
        pacer->start(10);
        Outcome o;
        auto* t = new DownloadThread(c->local, &file, qint64(1) << 40, 0);
        m_harness->Watch(t, c.get(), &o);
        StartTransferThread(t, c->local);
        QTest::qWait(700);  // past the first progress report
        QVERIFY(!o.done);
        timer.start();
        t->SignalExit();
        QTRY_VERIFY_WITH_TIMEOUT(o.done, 3000);
        QVERIFY(timer.elapsed() < 1500);
        QCOMPARE(o.error, QString("Exit requested."));
        QVERIFY(!o.progress.isEmpty());
        StopAndWait(t);
        delete t;
        delete c->local;
    }

    // Stalled ones, with the real one-second waits and a throttle that
    // would sleep eight seconds per block: all asked first, then waited for.
    {
        m_uploads.SetLimits(1, 1);
        const QByteArray bytes = RandomBytes(64 * 1024, 13);
        QFile up(WriteFile("up", bytes));
        QFile upStalled(WriteFile("up2", bytes));
        QFile down(WriteFile("down", QByteArray()));
        QVERIFY(up.open(QIODevice::ReadOnly) && upStalled.open(QIODevice::ReadOnly) &&
                down.open(QIODevice::Append));
        auto c1 = m_harness->Connect();
        auto c2 = m_harness->Connect();
        auto c3 = m_harness->Connect();
        QVERIFY(c1 && c2 && c3);
        PlayDownloader(c1.get(), 0, 0, -1);  // throttled
        Outcome o1, o2, o3;
        auto* t1 = new UploadThread(c1->local, &up, 1);
        auto* t2 = new UploadThread(c2->local, &upStalled, 2);     // no offset ever
        auto* t3 = new DownloadThread(c3->local, &down, 1000, 0);  // no data ever
        m_harness->Watch(t1, c1.get(), &o1);
        m_harness->Watch(t2, c2.get(), &o2);
        m_harness->Watch(t3, c3.get(), &o3);
        int destroyed = 0;
        for (QThread* t :
             {static_cast<QThread*>(t1), static_cast<QThread*>(t2), static_cast<QThread*>(t3)})
            QObject::connect(t, &QObject::destroyed, [&destroyed] { ++destroyed; });
        StartTransferThread(t1, c1->local);
        StartTransferThread(t2, c2->local);
        StartTransferThread(t3, c3->local);
        QTRY_VERIFY_WITH_TIMEOUT(c1->received.size() >= 4 + 8192, 5000);  // now asleep
        QTest::qWait(200);
        timer.restart();
        StopAllAndWait({t1, t2, t3});
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QTRY_VERIFY(o1.done && o2.done && o3.done);
        QCOMPARE(o1.error, QString("Exit requested."));
        QCOMPARE(o2.error, QString("Exit requested."));
        QCOMPARE(o3.error, QString("Exit requested."));
        QVERIFY(o1.socketHome && o2.socketHome && o3.socketHome);

        // Released once each, after their final signals were delivered.
        StopAndRelease(t1);
        StopAndRelease(t2);
        StopAndRelease(t3);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTRY_COMPARE(destroyed, 3);
        QCOMPARE(o1.finals + o2.finals + o3.finals, 3);
        delete c1->local;
        delete c2->local;
        delete c3->local;
    }
}

QTEST_GUILESS_MAIN(TestTransferThreads)
#include "test_transfer_threads.moc"
