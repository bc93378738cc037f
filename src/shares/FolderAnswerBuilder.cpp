#include "shares/FolderAnswerBuilder.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <string_view>
#include <thread>

#include "net/PeerMessenger.h"
#include "store/MemStream.h"

Packing PackFolderContents(const FolderContentsCopy& copy, QByteArray& message,
                           const std::atomic<bool>* stop) {
    // The records in the order of SharedFolderInfo's set, each once: by name
    // bytes, then size. Sorted as indices, which take a fraction of the set's
    // memory for a large folder.
    const auto name = [&copy](std::size_t k) {
        const FolderContentsCopy::File& file = copy.files[k];
        return std::string_view(copy.names).substr(file.nameOffset, file.nameSize);
    };
    std::vector<std::size_t> order(copy.files.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int byName = name(a).compare(name(b));
        return byName != 0 ? byName < 0 : copy.files[a].size < copy.files[b].size;
    });
    order.erase(std::unique(order.begin(), order.end(),
                            [&](std::size_t a, std::size_t b) {
                                return copy.files[a].size == copy.files[b].size &&
                                       name(a) == name(b);
                            }),
                order.end());
    if (stop && stop->load(std::memory_order_relaxed))
        return Packing::Stopped;
    MemStream payload;
    payload.Write(quint32(copy.req));
    payload.Write(copy.folder);
    payload.Write(quint32(1));
    payload.Write(copy.folder);
    // As SharedFolderInfo writes: a record that cannot be written ends it.
    bool ok = payload.Write(quint32(order.size()));
    for (auto k = order.begin(); ok && k != order.end(); ++k)
        ok = FileInfo(std::string(name(*k)), copy.files[*k].size).Write(payload);
    if (ok)
        payload.Write(quint32(0));
    order = std::vector<std::size_t>();
    return PackAnswer(PeerMessenger::PM_SHARED_FILES_IN_FOLDER, payload.GetWrittenBytes(), message,
                      stop);
}

// ---------------------------------------------------------------------------

struct FolderAnswerBuilder::Job {
    QString user;
    bool large = false;
    quint64 generation = 0;
    State state = State::Copying;
    // The folder, its files taken from the index a step at a time after
    // the last one copied, so that a large folder costs little to begin.
    ItemSet folder;
    std::uint64_t lastFile = 0;
    FolderContentsCopy copy;
    // Set off the main thread until the thread is joined.
    std::atomic<bool> stop{false};
    Packing result = Packing::Failed;
    QByteArray message;
    std::thread thread;
};

FolderAnswerBuilder::FolderAnswerBuilder(QObject* parent) : QObject(parent) {}

FolderAnswerBuilder::~FolderAnswerBuilder() {
    while (!m_jobs.empty())
        Drop(QString(m_jobs.begin()->first));
    for (auto& job : m_dropped)
        job->thread.join();
}

FolderAnswerBuilder::State FolderAnswerBuilder::StateOf(const QString& user, quint32 req,
                                                        const QString& folder) {
    const auto found = m_jobs.find(user);
    if (found == m_jobs.end())
        return State::None;
    const Job& job = *found->second;
    if (job.copy.req == req && job.copy.folder == folder)
        return job.state;
    Drop(user);
    return State::None;
}

bool FolderAnswerBuilder::Begin(const QString& user, quint32 req, const QString& folder,
                                const ItemPtr& folderItem) {
    const bool large = folderItem.GetItemObject()->LinkCount() > kLinksAtOnce;
    Drop(user);
    if (large && Large() >= kMaxLarge)
        return false;
    auto job = std::make_unique<Job>();
    job->user = user;
    job->large = large;
    job->generation = m_generation;
    job->copy.req = req;
    job->copy.folder = folder;
    job->folder.Insert(folderItem);
    m_jobs[user] = std::move(job);
    return true;
}

FolderAnswerBuilder::State FolderAnswerBuilder::Step(const QString& user) {
    const auto found = m_jobs.find(user);
    if (found == m_jobs.end())
        return State::None;
    Job& job = *found->second;
    if (job.state != State::Copying)
        return job.state;
    if (job.generation != m_generation) {
        m_jobs.erase(found);
        return State::None;
    }
    const std::size_t most = job.large ? kFilesPerStep : std::numeric_limits<std::size_t>::max();
    const Type* nameType = d.GetType("shared_file_name");
    const Type* sizeType = d.GetType("shared_file_size");
    FolderContentsCopy& copy = job.copy;
    std::size_t copied = 0;
    d.ForEachInSubset(
        job.folder, "shared_file",
        [&](const ItemPtr& file) {
            job.lastFile = file.GetId();
            const Item* name = file.HasItem(nameType).GetItemObject();
            const char* bytes = name ? name->ValueData() : "";
            const std::size_t size = name ? name->ValueSize() : 0;
            copy.files.push_back(FolderContentsCopy::File{copy.names.size(), size,
                                                          file.HasItem(sizeType).AsInt64()});
            copy.names.append(bytes, size);
            return ++copied < most;
        },
        job.lastFile);
    if (copied == most)
        return State::Copying;
    job.folder.Clear();
    if (!job.large) {
        job.result = PackFolderContents(copy, job.message);
        job.copy.files = std::vector<FolderContentsCopy::File>();
        job.copy.names = std::string();
        LogPackingFailure(PeerMessenger::PM_SHARED_FILES_IN_FOLDER, job.result);
        job.state = job.result == Packing::Packed ? State::Packed : State::Failed;
        return job.state;
    }
    // Copied: the rest needs no index and goes off this thread.
    job.state = State::Packing;
    Job* running = &job;
    job.thread = std::thread([this, running] {
        running->result = PackFolderContents(running->copy, running->message, &running->stop);
        running->copy.files = std::vector<FolderContentsCopy::File>();
        running->copy.names = std::string();
        QMetaObject::invokeMethod(
            this, [this, running] { OnPacked(running); }, Qt::QueuedConnection);
    });
    return job.state;
}

void FolderAnswerBuilder::OnPacked(Job* job) {
    const auto dropped = std::find_if(m_dropped.begin(), m_dropped.end(),
                                      [job](const auto& j) { return j.get() == job; });
    if (dropped != m_dropped.end()) {
        (*dropped)->thread.join();
        m_dropped.erase(dropped);
        emit Made();
        return;
    }
    const auto found = m_jobs.find(job->user);
    if (found == m_jobs.end() || found->second.get() != job)
        return;
    job->thread.join();
    LogPackingFailure(PeerMessenger::PM_SHARED_FILES_IN_FOLDER, job->result);
    job->state = job->result == Packing::Packed ? State::Packed : State::Failed;
    emit Made();
}

QByteArray FolderAnswerBuilder::Message(const QString& user) const {
    const auto found = m_jobs.find(user);
    return found != m_jobs.end() && found->second->state == State::Packed ? found->second->message
                                                                          : QByteArray();
}

void FolderAnswerBuilder::Drop(const QString& user) {
    const auto found = m_jobs.find(user);
    if (found == m_jobs.end())
        return;
    std::unique_ptr<Job> job = std::move(found->second);
    m_jobs.erase(found);
    if (job && job->state == State::Packing) {
        job->stop = true;
        m_dropped.push_back(std::move(job));
    }
}

void FolderAnswerBuilder::Unsent(const QString& user) {
    const auto found = m_jobs.find(user);
    if (found == m_jobs.end() || found->second->state != State::Packed)
        return;
    qint64 kept = 0;
    for (const auto& entry : m_jobs)
        if (entry.second->state == State::Packed)
            kept += entry.second->message.size();
    if (kept > kMaxKeptBytes)
        m_jobs.erase(found);
}

std::size_t FolderAnswerBuilder::Large() const {
    std::size_t large = m_dropped.size();
    for (const auto& entry : m_jobs)
        large += entry.second->large &&
                 (entry.second->state == State::Copying || entry.second->state == State::Packing);
    return large;
}
