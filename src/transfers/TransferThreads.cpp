#include "transfers/TransferThreads.h"

#include <sys/socket.h>

#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QtEndian>
#include <algorithm>
#include <climits>
#include <functional>
#include <memory>

#include "net/SocketQueue.h"
#include "store/PlainFile.h"
#include "transfers/RateLimiter.h"

namespace {

constexpr qint64 kBlockSize = 8192;
// Unlimited transfers move their blocks up to 32 at a time: a file read, a
// socket write and a wait for every 8 KiB block cost more than half of what
// a loopback link carries. Limited ones move every block as it is paid for.
constexpr qint64 kBlocksPerSend = 32;
constexpr qint64 kSendSize = kBlockSize * kBlocksPerSend;
constexpr qint64 kProgressIntervalMs = 499;
// A downloader reads at the throttled pace; a bounded socket buffer makes the
// sender feel it instead of piling the data up in memory.
constexpr qint64 kDownloadReadBuffer = 64 * 1024;

enum class Wait { Done, Failed, Exit };

// One series of socket waits, as shared by both directions.
struct SocketWaits {
    QTcpSocket* socket;
    int singleWaitMs;
    int maxWaits;
    std::function<bool()> asked;
    // Called after each single wait for the peer to take our bytes.
    std::function<void()> waited = [] {};

    bool Connected() const { return socket->state() == QAbstractSocket::ConnectedState; }

    Wait ForData() const {
        for (int i = 0; i < maxWaits; ++i) {
            if (socket->bytesAvailable() > 0)
                return Wait::Done;
            if (asked())
                return Wait::Exit;
            if (!Connected())
                break;
            socket->waitForReadyRead(singleWaitMs);
        }
        return socket->bytesAvailable() > 0 ? Wait::Done : Wait::Failed;
    }

    // Only waits in a row in which the peer took nothing count towards the
    // limit, what it took from the system's queue included: a peer that
    // reads slowly but steadily is not a stalled one.
    Wait ForWritten() const {
        SocketQueue::Progress progress;
        progress.Moved(socket);
        for (int idle = 0; idle < maxWaits && socket->bytesToWrite() > 0;) {
            if (asked())
                return Wait::Exit;
            if (!Connected())
                break;
            socket->waitForBytesWritten(singleWaitMs);
            idle = progress.Moved(socket) ? 0 : idle + 1;
            waited();
        }
        return socket->bytesToWrite() > 0 ? Wait::Failed : Wait::Done;
    }

    // The peer's close after the last byte, which it reads only once the
    // system's queue has drained to it. Anything it sends meanwhile is
    // dropped so that it cannot grow the buffer.
    Wait ForClose() const {
        SocketQueue::Progress progress;
        progress.Moved(socket);
        for (int idle = 0; idle < maxWaits;) {
            if (!Connected())
                return Wait::Done;
            if (socket->waitForDisconnected(singleWaitMs) || !Connected())
                return Wait::Done;
            socket->readAll();
            if (asked())
                return Wait::Exit;
            idle = progress.Moved(socket) ? 0 : idle + 1;
            waited();
        }
        return Connected() ? Wait::Failed : Wait::Done;
    }
};

// Bytes per second since the measurement started, 0 before a millisecond.
int Speed(qint64 bytes, const QElapsedTimer& since) {
    const qint64 ms = since.elapsed();
    if (ms <= 0)
        return 0;
    return int(std::min<qint64>(bytes * 1000 / ms, INT_MAX));
}

const QString kExitRequested = QStringLiteral("Exit requested.");

QString SocketError(const QString& what, QTcpSocket* socket) {
    return what + QStringLiteral(" Error string: ") + socket->errorString();
}

QString FileError(const QString& what, QFile* file) {
    return what + QStringLiteral(" Error string: ") + file->errorString();
}

QString WriteError(const QString& why) {
    return QStringLiteral("Writing to file failed. Error string: ") + why;
}

// The error text of a wait that did not end well; a null string when it did.
QString WaitError(Wait w, const QString& what, QTcpSocket* socket) {
    if (w == Wait::Exit)
        return kExitRequested;
    if (w == Wait::Failed)
        return SocketError(what, socket);
    return QString();
}

// Reads exactly n bytes, waiting as needed; the error text, or a null string.
QString ReadExactly(const SocketWaits& waits, char* buffer, qint64 n, const QString& waitFailure) {
    QTcpSocket* socket = waits.socket;
    for (qint64 received = 0; received < n;) {
        if (socket->bytesAvailable() <= 0) {
            const QString error = WaitError(waits.ForData(), waitFailure, socket);
            if (!error.isNull())
                return error;
        }
        const qint64 got = socket->read(buffer + received, n - received);
        if (got < 0)
            return SocketError(QStringLiteral("Socket read failed."), socket);
        received += got;
    }
    return QString();
}

// While the socket has nothing buffered or queued, the bulk of the data goes
// straight through its descriptor, never waiting: a copy through the socket's
// own buffer costs as much as the rest of the trip on loopback. Whatever the
// descriptor does not take or give at once, and every close or error, is
// left to the socket, which reports it at its next wait.
qint64 ReadDirect(QTcpSocket* socket, char* buffer, qint64 n) {
    if (n <= 0 || socket->bytesAvailable() > 0)
        return 0;
    const ssize_t got = ::recv(int(socket->socketDescriptor()), buffer, size_t(n), MSG_DONTWAIT);
    return got > 0 ? got : 0;
}

qint64 SendDirect(QTcpSocket* socket, const char* data, qint64 n) {
    if (n <= 0 || socket->bytesToWrite() > 0)
        return 0;
    const ssize_t put =
        ::send(int(socket->socketDescriptor()), data, size_t(n), MSG_DONTWAIT | MSG_NOSIGNAL);
    return put > 0 ? put : 0;
}

// Bytes beyond what was read, buffered or not.
bool MoreArrived(QTcpSocket* socket) {
    char byte;
    return socket->bytesAvailable() > 0 ||
           ::recv(int(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Reads what has arrived, at most n bytes, waiting only when nothing has;
// the count, or -1 with the error text set.
qint64 ReadSome(const SocketWaits& waits, char* buffer, qint64 n, const QString& waitFailure,
                QString* error) {
    QTcpSocket* socket = waits.socket;
    qint64 got = ReadDirect(socket, buffer, n);
    if (n > 0 && got == 0) {
        if (socket->bytesAvailable() <= 0) {
            *error = WaitError(waits.ForData(), waitFailure, socket);
            if (!error->isNull())
                return -1;
        }
        got = socket->read(buffer, n);
        if (got < 0) {
            *error = SocketError(QStringLiteral("Socket read failed."), socket);
            return -1;
        }
    }
    return got + ReadDirect(socket, buffer + got, n - got);
}

// The speed measurement and the progress cadence of one transfer, on the
// transfer's position in the file.
class Meter {
public:
    explicit Meter(qint64 position) : m_from(position) {
        m_speedClock.start();
        m_progressClock.start();
    }
    void Restart(qint64 position) {
        m_speedClock.restart();
        m_from = position;
    }
    // True when progress is due: about twice a second, and always at the end.
    bool Due(bool atEnd) {
        if (!atEnd && m_progressClock.elapsed() <= kProgressIntervalMs)
            return false;
        m_progressClock.restart();
        return true;
    }
    int BytesPerSecond(qint64 position) const {
        return Speed(std::max<qint64>(0, position - m_from), m_speedClock);
    }

private:
    QElapsedTimer m_speedClock;
    QElapsedTimer m_progressClock;
    qint64 m_from;
};

}  // namespace

// --- TransferThread ---

TransferThread::TransferThread(QTcpSocket* socket, QFile* file, RateLimiter& limiter)
    : m_socket(socket), m_file(file), m_limiter(limiter) {}

void TransferThread::SignalExit() {
    QMutexLocker lock(&m_exitMutex);
    m_exit = true;
}

bool TransferThread::AskedToExit() {
    QMutexLocker lock(&m_exitMutex);
    return m_exit;
}

void TransferThread::SetWaitLimits(int singleWaitMs, int maxWaits) {
    m_singleWaitMs = std::max(1, singleWaitMs);
    m_maxWaits = std::max(1, maxWaits);
}

bool TransferThread::Fail(const QString& reason) {
    m_errorText = reason;
    return false;
}

// --- UploadThread ---

UploadThread::UploadThread(QTcpSocket* socket, QFile* file, int token)
    : TransferThread(socket, file, UploadRateLimiter()), m_token(token) {}

void UploadThread::run() {
    const bool ok = PerformUpload();
    if (m_socket)
        m_socket->moveToThread(thread());
    if (ok)
        emit UploadComplete();
    else
        emit UploadError(m_errorText);
}

bool UploadThread::PerformUpload() {
    if (!m_socket || !m_file || !m_file->isOpen())
        return Fail(QStringLiteral("No open file or socket to upload with."));
    SocketWaits waits{m_socket, m_singleWaitMs, m_maxWaits, [this] { return AskedToExit(); }};

    char token[4];
    qToLittleEndian<quint32>(quint32(m_token), token);
    if (m_socket->write(token, sizeof token) != qint64(sizeof token))
        return Fail(SocketError(QStringLiteral("Writing to socket failed."), m_socket));
    m_socket->flush();

    char offsetBytes[8];
    const QString readError =
        ReadExactly(waits, offsetBytes, sizeof offsetBytes,
                    QStringLiteral("Waiting for initialization data to read failed."));
    if (!readError.isNull())
        return Fail(readError);
    qint64 offset = qFromLittleEndian<qint64>(offsetBytes);

    // The file on disk, not the size announced earlier, ends the transfer.
    const qint64 fileSize = m_file->size();
    if (offset < 0 || offset >= fileSize)
        return Fail(
            QStringLiteral("Won't seek to offset %1 in file of size %2").arg(offset).arg(fileSize));
    if (!m_file->seek(offset))
        return Fail(
            FileError(QStringLiteral("Seeking to starting offset %1 failed.").arg(offset), m_file));

    // What the downloader took is what left the system's send queue, not
    // what was handed to the socket, which on a slow link runs far ahead.
    const qint64 start = offset;
    qint64 handed = start;
    const auto taken = [&] { return std::max(start, handed - SocketQueue::Unsent(m_socket)); };
    Meter meter(start);
    const auto report = [&](bool atEnd) {
        if (meter.Due(atEnd)) {
            const qint64 at = taken();
            emit UploadProgress(at, meter.BytesPerSecond(at));
        }
    };
    waits.waited = [&] { report(false); };
    Throttle throttle(m_limiter);
    throttle.Start();
    const auto asked = [this] { return AskedToExit(); };

    // One send's blocks lie side by side in this buffer: [0, filled) read from
    // the file, [0, pending) counted, [0, sent) handed to the socket.
    // Unlimited, a whole send's worth is read at once and sent in one write;
    // limited, each block is sent once paid for, read ahead or not.
    const std::unique_ptr<char[]> blocks(new char[kSendSize]);
    qint64 sent = 0, pending = 0, filled = 0;
    while (offset < fileSize) {
        if (AskedToExit())
            return Fail(kExitRequested);
        // Limited, a block is paid for before it goes, and so are blocks read
        // ahead while unlimited that have not gone yet: the last block of a
        // file is paid for like any other.
        const qint64 size = std::min(kBlockSize, fileSize - offset);
        bool limitChanged = false;
        if (!throttle.BeforeBlock(size + pending - sent, asked, &limitChanged))
            return Fail(kExitRequested);
        if (limitChanged)
            meter.Restart(taken());

        if (pending + size > filled) {
            const qint64 end = throttle.LastLimit() != 0
                                   ? pending + size
                                   : std::min(kSendSize, pending + fileSize - offset);
            for (qint64 got; filled < end; filled += got)
                if ((got = m_file->read(blocks.get() + filled, end - filled)) <= 0)
                    return Fail(FileError(QStringLiteral("Reading from file failed."), m_file));
        }

        pending += size;
        const bool sendNow =
            pending == kSendSize || offset + size == fileSize || throttle.LastLimit() != 0;
        while (sendNow && sent < pending) {
            const qint64 direct = SendDirect(m_socket, blocks.get() + sent, pending - sent);
            sent += direct;
            handed += direct;
            if (sent == pending)
                break;
            const qint64 put = m_socket->write(blocks.get() + sent, pending - sent);
            if (put < 0)
                return Fail(SocketError(QStringLiteral("Writing to socket failed."), m_socket));
            sent += put;
            handed += put;
            const QString error = WaitError(
                waits.ForWritten(),
                QStringLiteral("Waiting for bytes to be written to socket failed."), m_socket);
            if (!error.isNull())
                return Fail(error);
        }
        if (sent == filled)
            sent = pending = filled = 0;
        // The downloader has nothing more to say; keep its noise out of memory.
        if (m_socket->bytesAvailable() > 0)
            m_socket->readAll();

        offset += size;
        report(offset == fileSize);
    }
    throttle.Finish();

    // A file that changed under us was sent inconsistently: never call that
    // a success.
    if (m_file->size() != fileSize)
        return Fail(QStringLiteral("File size changed from %1 to %2 during the upload")
                        .arg(fileSize)
                        .arg(m_file->size()));

    const Wait w = waits.ForClose();
    // The peer closes once it has the last byte.
    const qint64 end = w == Wait::Done ? fileSize : taken();
    if (meter.Due(true))
        emit UploadProgress(end, meter.BytesPerSecond(end));
    if (w == Wait::Exit)
        return Fail(kExitRequested);
    if (w == Wait::Failed)
        return Fail(QString());
    return true;
}

// --- DownloadThread ---

DownloadThread::DownloadThread(QTcpSocket* socket, QFile* file, qint64 fileSize,
                               qint64 startPosition)
    : TransferThread(socket, file, DownloadRateLimiter()),
      m_fileSize(fileSize),
      m_position(startPosition) {}

void DownloadThread::run() {
    bool ok = PerformDownload();
    if (m_socket)
        m_socket->moveToThread(thread());
    // Some disks say only at the close that a write was lost: the file is
    // not whole then.
    QString why;
    if (m_file && !CloseOut(*m_file, &why) && ok)
        ok = Fail(WriteError(why));
    if (ok)
        emit DownloadComplete();
    else
        emit DownloadError(m_errorText);
}

bool DownloadThread::PerformDownload() {
    if (!m_socket || !m_file || !m_file->isOpen())
        return Fail(QStringLiteral("No open file or socket to download with."));
    // Never report a file complete unless the byte counts agree: a partial
    // larger than the file, or one that does not hold what we were told, is
    // not resumed.
    if (m_fileSize < 0 || m_position < 0 || m_position > m_fileSize)
        return Fail(QStringLiteral("Won't resume at position %1 of a file of size %2")
                        .arg(m_position)
                        .arg(m_fileSize));
    if (m_file->size() != m_position)
        return Fail(QStringLiteral("The partial file holds %1 bytes, not %2")
                        .arg(m_file->size())
                        .arg(m_position));

    m_socket->setReadBufferSize(kDownloadReadBuffer);
    const SocketWaits waits{m_socket, m_singleWaitMs, m_maxWaits, [this] { return AskedToExit(); }};

    Meter meter(m_position);
    Throttle throttle(m_limiter);
    throttle.Start();
    const auto asked = [this] { return AskedToExit(); };
    const QString waitFailure = QStringLiteral("Waiting for data to read failed.");

    // Limited, every block is paid for before it is read, the last one too,
    // so a slow limit never bursts; unlimited, whatever has arrived goes to
    // the file in one write. Neither reads past the file size.
    const std::unique_ptr<char[]> buffer(new char[kSendSize]);
    QString why;
    for (;;) {
        if (AskedToExit())
            return Fail(kExitRequested);

        bool limitChanged = false;
        if (!throttle.BeforeBlock(std::min(kBlockSize, m_fileSize - m_position), asked,
                                  &limitChanged))
            return Fail(kExitRequested);
        const bool limited = throttle.LastLimit() != 0;
        if (limitChanged)
            meter.Restart(m_position);

        qint64 size = std::min(limited ? kBlockSize : kSendSize, m_fileSize - m_position);
        QString readError;
        if (limited)
            readError = ReadExactly(waits, buffer.get(), size, waitFailure);
        else
            size = ReadSome(waits, buffer.get(), size, waitFailure, &readError);
        if (!readError.isNull())
            return Fail(readError);

        if (size > 0 && m_beforeFirstWrite) {
            const std::function<QString()> wait = std::move(m_beforeFirstWrite);
            m_beforeFirstWrite = nullptr;
            const QString refused = wait();
            if (!refused.isEmpty())
                return Fail(AskedToExit() ? kExitRequested : WriteError(refused));
        }
        m_position += size;
        if (size > 0 && !WriteOut(*m_file, buffer.get(), size, &why))
            return Fail(WriteError(why));

        if (meter.Due(m_position == m_fileSize)) {
            // A reported position is on disk: the main thread records it and
            // the file's first bytes, and a crash after that keeps them.
            if (!WriteOut(*m_file, nullptr, 0, &why))
                return Fail(WriteError(why));
            emit DownloadProgress(m_position, meter.BytesPerSecond(m_position));
        }

        if (m_position == m_fileSize) {
            // More data than the file holds: the uploader's file is not the
            // one we expect, so what we have is not it either.
            if (MoreArrived(m_socket))
                return Fail(
                    QStringLiteral("Received more than the file size of %1 bytes").arg(m_fileSize));
            if (!WriteOut(*m_file, nullptr, 0, &why))
                return Fail(WriteError(why));
            throttle.Finish();
            m_socket->close();
            return true;
        }
    }
}

// --- Helpers ---

namespace {

void RequestExit(QThread* thread) {
    if (auto* transfer = qobject_cast<TransferThread*>(thread))
        transfer->SignalExit();
}

}  // namespace

void StartTransferThread(QThread* thread, QTcpSocket* socket) {
    if (socket) {
        socket->setParent(nullptr);
        socket->moveToThread(thread);
    }
    thread->start(QThread::InheritPriority);
}

void StopAndWait(QThread* thread) {
    if (!thread)
        return;
    RequestExit(thread);
    thread->wait();
}

void StopAllAndWait(const QList<QThread*>& threads) {
    for (QThread* thread : threads)
        if (thread)
            RequestExit(thread);
    for (QThread* thread : threads)
        if (thread)
            thread->wait();
}

void StopAndRelease(QThread* thread) {
    if (!thread)
        return;
    StopAndWait(thread);
    thread->deleteLater();
}
