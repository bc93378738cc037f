#ifndef TAVENOOK_TRANSFERS_PARTIALJOURNAL_H
#define TAVENOOK_TRANSFERS_PARTIALJOURNAL_H

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The partial-file records of downloads as they change between saves: the
// store reaches the disk only at a quit and hourly, and a crash in between
// must not cost a download the partial it wrote. Each record is appended and
// synced by a thread of its own; after the next start's load the records are
// read back into their entries, and each save empties the file, since it then
// holds them all. The layout is in docs/protocol.md ("Partials journal").
class PartialJournal {
public:
    // One entry's partial file as recorded, its finished file (complete), or
    // (forget) the entry's removal. As read back, `removed` says that the
    // entry was removed since the store the journal follows was saved: the
    // store's entry of that key is no longer the download's.
    struct Record {
        bool forget = false;
        bool complete = false;
        bool removed = false;
        QString user;
        std::string remoteFolder;
        std::string fileName;
        qint64 fileSize = 0;
        bool single = false;
        int level = 0;
        QString path;
        QString identity;
        qint64 size = 0;
        QString head;
    };

    PartialJournal() = default;
    // Writes what is queued, then stops the writer.
    ~PartialJournal();
    PartialJournal(const PartialJournal&) = delete;
    PartialJournal& operator=(const PartialJournal&) = delete;

    // Reads the file and starts the writer. Returns the last record of each
    // entry (a forget record when its removal came last), when the file
    // follows the store file `storeNumber` or a later one; a journal of an
    // older store is stale (its records are in the store) and yields
    // nothing. The file is then rewritten with just those records, dropping
    // a torn end. A file that cannot be read is set aside, beside it with
    // kUnreadableSuffix, rather than written over.
    std::vector<Record> Open(const QString& path, std::uint64_t storeNumber);
    bool IsOpen() const { return m_writer.joinable(); }
    const QString& Path() const { return m_path; }

    // Queues a record; its number for WaitWritten, 0 when not open.
    std::uint64_t Append(const Record& record);
    // After the save numbered `storeNumber`: the file starts over, empty.
    void Restart(std::uint64_t storeNumber);
    // Any thread: returns once record `number` is on disk (true), the write
    // of it failed, the writer stopped, or `giveUp` says so (asked every
    // 100 ms); *why then says which. A failed record is written again by
    // itself (after kRetryFirst, then at doubling intervals up to
    // kRetryLast) or with the next record, and a later wait for it can
    // return true: a wait that finds it failed has it written again at
    // once, and only a failure of that write ends it false.
    bool WaitWritten(std::uint64_t number, const std::function<bool()>& giveUp,
                     QString* why = nullptr);
    // How the reason of a wait ended by a failed write begins.
    static constexpr const char* kWriteFailed = "Could not write the partials journal";
    // Whether the last write failed and none succeeded since.
    bool Failing();

    // Test hook, set before Open: stands in for the writer's wait of `wait`
    // before it writes again after a failure, and it then writes at once.
    void SetRetryWait(std::function<void(std::chrono::milliseconds wait)> hook) {
        m_retryWait = std::move(hook);
    }

    // One record as framed in the file; empty when it cannot be written so
    // that it reads back the same (too long, or text that is no Unicode).
    static QByteArray Encode(const Record& record);
    // The download a record is of: user, remote folder and remote name, each
    // kept apart whatever bytes they hold.
    static std::string KeyOf(const QString& user, const std::string& remoteFolder,
                             const std::string& fileName);
    static std::string KeyOf(const Record& record) {
        return KeyOf(record.user, record.remoteFolder, record.fileName);
    }
    // The records of a journal image, in order, up to the first that does not
    // read whole (a torn end); false with a note when the header does not
    // read, with a note when records were dropped.
    static bool Parse(const QByteArray& bytes, std::uint64_t* storeNumber,
                      std::vector<Record>* records, QString* note);
    static QByteArray Header(std::uint64_t storeNumber);

    static constexpr int kHeaderSize = 24;
    static constexpr int kMaxRecordBody = 65536;
    // Beyond this and twice the live records, the file is rewritten with
    // only the live ones.
    static constexpr qint64 kCompactBytes = 1 << 20;
    // More than any journal this client writes holds: the rest is not read.
    static constexpr qint64 kMaxReadBytes = qint64(64) << 20;
    static constexpr const char* kUnreadableSuffix = ".unreadable";
    static constexpr std::chrono::milliseconds kRetryFirst{1000};
    static constexpr std::chrono::milliseconds kRetryLast{60000};

private:
    // What a rewrite keeps of one entry: its removal since the file started
    // over, and the last record after it.
    struct Live {
        QByteArray forget;
        QByteArray last;
        qint64 Size() const { return forget.size() + last.size(); }
    };
    struct Command {
        enum Kind { Append, Restart, Rewrite };
        explicit Command(Kind k) : kind(k) {}
        Kind kind;
        std::uint64_t storeNumber = 0;
        std::string key;
        bool forget = false;
        QByteArray bytes;
        std::vector<std::pair<std::string, Live>> live;
    };
    void Run();
    void Queue(Command command);
    void Close();
    // The file's bytes (none when there is no file). Something at the path
    // that cannot be read is set aside; false when that failed too, and the
    // file must then not be written.
    bool ReadFile(QByteArray* bytes);

    QString m_path;
    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Command> m_queue;
    std::uint64_t m_queued = 0;
    std::uint64_t m_written = 0;
    // The last record of a batch whose write failed, and why it failed.
    std::uint64_t m_failedThrough = 0;
    QString m_error;
    // Writes tried, and a waiter's call for one now after an old failure.
    std::uint64_t m_attempts = 0;
    bool m_retryNow = false;
    bool m_stop = false;
    std::function<void(std::chrono::milliseconds)> m_retryWait;
};

#endif
