#ifndef TAVENOOK_SHARES_FOLDERANSWERBUILDER_H
#define TAVENOOK_SHARES_FOLDERANSWERBUILDER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "shares/ShareListBuilder.h"
#include "store/Data.h"

// What a folder-contents answer (code 37) holds, as plain data that any
// thread may read: the request, and the folder's files in the order visited.
struct FolderContentsCopy {
    struct File {
        std::size_t nameOffset;
        std::size_t nameSize;
        qint64 size;
    };
    quint32 req = 0;
    QString folder;  // as asked
    std::string names;
    std::vector<File> files;
};

// The code-37 message of a copy; any thread, logs nothing.
Packing PackFolderContents(const FolderContentsCopy& copy, QByteArray& message,
                           const std::atomic<bool>* stop = nullptr);

// Folder-contents answers made without holding up the main thread, one per
// user at a time: the folder's files are copied from the index a step per
// call, and a large copy is written out and compressed on a thread of its
// own. The bytes are those the copy made at once would give.
//
// A copy stays consistent: StartOver (safe inside store events) drops every
// copy under way, so that an answer never mixes which files a folder held
// before and after a change; its user's next step begins anew.
//
// Main thread. Destruction calls off the answers being compressed and waits
// only for their current step.
class FolderAnswerBuilder : public QObject {
    Q_OBJECT

public:
    // Files copied per step: a millisecond or two.
    static constexpr std::size_t kFilesPerStep = 2048;
    // A folder with no more links than this is answered in its first step.
    static constexpr std::uint32_t kLinksAtOnce = 1024;
    // Larger answers made at once: each holds a copy of its folder.
    static constexpr std::size_t kMaxLarge = 2;
    // Made answers kept for users who cannot take them yet, in all.
    static constexpr qint64 kMaxKeptBytes = qint64(16) * 1024 * 1024;

    enum class State { None, Copying, Packing, Packed, Failed };

    explicit FolderAnswerBuilder(QObject* parent = nullptr);
    ~FolderAnswerBuilder() override;

    // The state of the user's answer to this request; an answer the user has
    // under way to another request is dropped (None).
    State StateOf(const QString& user, quint32 req, const QString& folder);
    // Begins the user's answer to this request from the folder's index
    // entry; false, beginning nothing, when it is large and kMaxLarge large
    // ones are under way.
    bool Begin(const QString& user, quint32 req, const QString& folder, const ItemPtr& folderItem);
    // Copies a step of the user's answer; a small one is made in full. The
    // answer's state after it (None when a change dropped the copy).
    State Step(const QString& user);
    // The message of a Packed answer.
    QByteArray Message(const QString& user) const;
    // Forgets the user's answer, calling off one being compressed.
    void Drop(const QString& user);
    // The user's Packed answer could not be sent: kept while the answers so
    // kept stay within kMaxKeptBytes, else dropped, to be made again. Kept
    // answers do not count against kMaxLarge, so that users who take
    // nothing cannot hold up the answers of others.
    void Unsent(const QString& user);
    // Which files a folder holds, or their names, changed.
    void StartOver() { ++m_generation; }
    // Large answers being copied or compressed, those being called off
    // included.
    std::size_t Large() const;

signals:
    // An answer was compressed off the main thread (or failed): its user
    // can be served again.
    void Made();

private:
    struct Job;

    void OnPacked(Job* job);

    std::map<QString, std::unique_ptr<Job>> m_jobs;
    quint64 m_generation = 0;
    // Called off while being compressed: joined once they notice.
    std::vector<std::unique_ptr<Job>> m_dropped;
};

#endif
