#ifndef TAVENOOK_TRANSFERS_PARTIALJOURNAL_H
#define TAVENOOK_TRANSFERS_PARTIALJOURNAL_H

#include <QByteArray>
#include <QString>
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
    // One entry's partial file as recorded, or (forget) the entry's removal.
    struct Record {
        bool forget = false;
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
    // entry not forgotten since, when the file follows the store file
    // `storeNumber` or a later one; a journal of an older store is stale
    // (its records are in the store) and yields nothing. The file is then
    // rewritten with just those records, dropping a torn end.
    std::vector<Record> Open(const QString& path, std::uint64_t storeNumber);
    bool IsOpen() const { return m_writer.joinable(); }
    const QString& Path() const { return m_path; }

    // Queues a record; its number for WaitWritten, 0 when not open.
    std::uint64_t Append(const Record& record);
    // After the save numbered `storeNumber`: the file starts over, empty.
    void Restart(std::uint64_t storeNumber);
    // Any thread: returns once record `number` is on disk, the writer failed
    // or stopped, or `giveUp` says so (asked every 100 ms).
    void WaitWritten(std::uint64_t number, const std::function<bool()>& giveUp);

    // One record as framed in the file.
    static QByteArray Encode(const Record& record);
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

private:
    struct Command {
        enum Kind { Append, Restart, Rewrite };
        explicit Command(Kind k) : kind(k) {}
        Kind kind;
        std::uint64_t storeNumber = 0;
        std::string key;
        bool forget = false;
        QByteArray bytes;
        std::vector<std::pair<std::string, QByteArray>> live;
    };
    void Run();
    void Queue(Command command);
    void Close();

    QString m_path;
    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Command> m_queue;
    std::uint64_t m_queued = 0;
    std::uint64_t m_written = 0;
    bool m_stop = false;
    bool m_failed = false;
};

#endif
