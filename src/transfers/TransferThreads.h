#ifndef TAVENOOK_TRANSFERS_TRANSFERTHREADS_H
#define TAVENOOK_TRANSFERS_TRANSFERTHREADS_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <functional>

class QFile;
class QTcpSocket;
class RateLimiter;

// One thread per running transfer moves the file data over a file connection
// after its "F" set-up. The bytes are unframed: the uploader sends the 4-byte
// token (u32 LE), the downloader answers with the 8-byte start offset (i64 LE),
// the uploader sends the file from that offset to its end, and the downloader
// closes once the last byte is in. Data is paid for under the direction's
// RateLimiter in blocks of at most 8,192 bytes, which a limited transfer moves
// one at a time, each once paid for; an unlimited one moves up to 32 blocks
// per file read, socket write or file write.
//
// Life cycle, all on the creating (main) thread: construct with an open file
// and a connected socket created on this thread, hand both to
// StartTransferThread, take the final signal (queued), then release the thread
// with StopAndRelease. Just before its final signal the thread moves the
// socket back to the thread that created the transfer thread, so the receiver
// may close and delete it. The socket and the file are never owned.
//
// Every wait on the socket is a series of single waits (1,000 ms) that also
// ends when the socket disconnects. It fails after 30 of them in a row in
// which nothing came or, waiting for the peer to take our bytes, in which it
// took none, from the socket or from the system's send queue. A stop request
// is seen before each single wait and before each block, so SignalExit ends
// a transfer within about one second.

// What both directions share: the connection and file they are given, the
// exit flag the main thread sets, the socket wait limits and the error text.
class TransferThread : public QThread {
    Q_OBJECT

public:
    // Main thread: asks the thread to end with "Exit requested.".
    void SignalExit();
    bool AskedToExit();

    // Test hook, before start: the length of one socket wait and how many of
    // them make up a wait series.
    void SetWaitLimits(int singleWaitMs, int maxWaits);

protected:
    TransferThread(QTcpSocket* socket, QFile* file, RateLimiter& limiter);
    bool Fail(const QString& reason);

    QTcpSocket* m_socket;
    QFile* m_file;
    QMutex m_exitMutex;
    bool m_exit = false;
    QString m_errorText;

    RateLimiter& m_limiter;
    int m_singleWaitMs = 1000;
    int m_maxWaits = 30;
};

class UploadThread : public TransferThread {
    Q_OBJECT

public:
    // `file` is open for reading; `token` is the transfer request number.
    UploadThread(QTcpSocket* socket, QFile* file, int token);

signals:
    // offset counts from the start of the file.
    void UploadProgress(qint64 offset, int bytesPerSecond);
    // The whole file was sent and the peer closed the connection.
    void UploadComplete();
    void UploadError(QString reason);

protected:
    void run() override;

private:
    bool PerformUpload();

    int m_token;
};

class DownloadThread : public TransferThread {
    Q_OBJECT

public:
    // `file` is the partial file, open for appending and holding exactly
    // `startPosition` bytes; `fileSize` is the full size expected.
    DownloadThread(QTcpSocket* socket, QFile* file, qint64 fileSize, qint64 startPosition);
    // Before start: run on this thread before the first byte goes to the file
    // (the wait until the file's record is on disk). A text returned is why
    // the download must not write: it fails with it.
    void SetBeforeFirstWrite(std::function<QString()> wait) {
        m_beforeFirstWrite = std::move(wait);
    }

signals:
    // offset is the partial file's size.
    void DownloadProgress(qint64 offset, int bytesPerSecond);
    // The whole file was received; the file has been closed.
    void DownloadComplete();
    // The file has been closed as well.
    void DownloadError(QString reason);

protected:
    void run() override;

private:
    bool PerformDownload();

    qint64 m_fileSize;
    qint64 m_position;
    std::function<QString()> m_beforeFirstWrite;
};

// Hands the socket (detached from any parent) to the thread and starts it with
// the priority of the calling thread. Main thread, before the thread runs.
void StartTransferThread(QThread* thread, QTcpSocket* socket);

// Asks an UploadThread or DownloadThread to exit, then waits for it without a
// time limit. Every wait on a transfer thread goes through here (or
// StopAllAndWait): a wait without the exit request can block the caller for
// as long as the peer keeps the transfer going.
void StopAndWait(QThread* thread);

// Shutdown: asks every thread to exit first, then waits for each, so the
// waits overlap instead of adding up.
void StopAllAndWait(const QList<QThread*>& threads);

// StopAndWait, then deleteLater: the thread's final signal may still be queued
// for the receiver, and it must find its sender alive rather than a new
// thread that reuses the address. Null is ignored.
void StopAndRelease(QThread* thread);

#endif
