#ifndef TAVENOOK_SHARES_SEARCHANSWERBUILDER_H
#define TAVENOOK_SHARES_SEARCHANSWERBUILDER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "shares/ShareListBuilder.h"

// What a search answer (code 9) holds, copied from the index as plain data
// that any thread may read. The records are kept in the order they were
// chosen; the answer lists them in byte order of their paths.
struct SearchAnswerCopy {
    struct Record {
        std::size_t nameOffset;  // into names
        std::uint32_t nameSize;
        std::uint32_t folder;  // into folders
        qint64 size;
        AudioFacts audio;
    };
    QByteArray user;  // the own name
    quint32 ticket = 0;
    bool freeSlot = true;
    quint32 uploadSpeed = 0;
    quint32 queueLength = 0;
    std::vector<std::string> folders;  // as sent: "\" for "/"
    std::string names;
    std::vector<Record> records;
    // The payload's size with these records and the fixed fields.
    qint64 payloadBytes = 0;
    // A matching file was left out for want of room.
    bool full = false;

    // The fixed fields alone: user, ticket, count, then slot, speed, queue
    // and the extra count.
    static qint64 FixedBytes(const QByteArray& user) { return 4 + user.size() + 4 + 4 + 13; }
    // What one record takes in the payload: as AudioFacts::Attributes
    // writes, without making them.
    static qint64 RecordBytes(std::size_t pathBytes, const AudioFacts& audio) {
        const int pairs = audio.mp3 ? int(audio.hasBitrate) + int(audio.hasMode) : 0;
        return 1 + 4 + qint64(pathBytes) + 8 + 4 + (audio.mp3 ? 3 : 0) + 4 + 8 * pairs;
    }
};

// The code-9 message of a copy; any thread, logs nothing.
Packing PackSearchAnswer(const SearchAnswerCopy& copy, QByteArray& message,
                         const std::atomic<bool>* stop = nullptr);

// Writes out and compresses large search answers on a thread of its own,
// one at a time, so that a common word searched again and again costs the
// main thread only the copy. At most one answer per user and kMaxWaiting in
// all wait behind the one being made: each holds a copy of up to a frame.
//
// Main thread. Destruction calls off the answer being made and waits only
// for its compression step.
class SearchAnswerQueue : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxWaiting = 4;

    explicit SearchAnswerQueue(QObject* parent = nullptr);
    ~SearchAnswerQueue() override;

    // An answer to the user waits or is being made.
    bool Has(const QString& user) const;
    bool IsFull() const { return m_waiting.size() >= kMaxWaiting; }
    std::size_t WaitingCount() const { return m_waiting.size(); }
    // False, queueing nothing, when Has(user) or IsFull(). `search` is the
    // text asked for, handed back with the answer.
    bool Add(const QString& user, const QString& search, SearchAnswerCopy copy);

signals:
    // The code-9 message for the user; empty when it could not be made
    // (logged).
    void Finished(QString user, QString search, QByteArray message);

private:
    struct Job;

    void StartNext();
    void OnPacked();

    struct Waiting {
        QString user;
        QString search;
        SearchAnswerCopy copy;
    };
    std::deque<Waiting> m_waiting;
    std::unique_ptr<Job> m_job;
};

#endif
