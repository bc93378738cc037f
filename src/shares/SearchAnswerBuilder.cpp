#include "shares/SearchAnswerBuilder.h"

#include <algorithm>
#include <thread>

#include "net/PeerMessenger.h"
#include "store/MemStream.h"

Packing PackSearchAnswer(const SearchAnswerCopy& copy, QByteArray& message,
                         const std::atomic<bool>* stop) {
    std::vector<FileInfo> files;
    files.reserve(copy.records.size());
    for (const SearchAnswerCopy::Record& record : copy.records) {
        std::string path = copy.folders[record.folder];
        path += '\\';
        path.append(copy.names, record.nameOffset, record.nameSize);
        files.emplace_back(std::move(path), record.size, record.audio.Attributes());
    }
    std::sort(files.begin(), files.end(),
              [](const FileInfo& a, const FileInfo& b) { return a.GetName() < b.GetName(); });
    if (stop && stop->load(std::memory_order_relaxed))
        return Packing::Stopped;
    MemStream payload;
    payload.Write(copy.user);
    payload.Write(copy.ticket);
    bool ok = payload.Write(quint32(files.size()));
    for (auto file = files.begin(); ok && file != files.end(); ++file)
        ok = file->Write(payload);
    payload.Write(quint8(copy.freeSlot ? 1 : 0));
    payload.Write(copy.uploadSpeed);
    payload.Write(copy.queueLength);
    payload.Write(quint32(0));
    files = std::vector<FileInfo>();
    return PackAnswer(PeerMessenger::PM_FILE_SEARCH_RESULT, payload.GetWrittenBytes(), message,
                      stop);
}

// ---------------------------------------------------------------------------

struct SearchAnswerQueue::Job {
    QString user;
    QString search;
    SearchAnswerCopy copy;
    std::atomic<bool> stop{false};
    Packing result = Packing::Failed;
    QByteArray message;
    std::thread thread;
};

SearchAnswerQueue::SearchAnswerQueue(QObject* parent) : QObject(parent) {}

SearchAnswerQueue::~SearchAnswerQueue() {
    if (m_job) {
        m_job->stop = true;
        if (m_job->thread.joinable())
            m_job->thread.join();
    }
}

bool SearchAnswerQueue::Has(const QString& user) const {
    if (m_job && m_job->user == user)
        return true;
    return std::any_of(m_waiting.begin(), m_waiting.end(),
                       [&user](const Waiting& waiting) { return waiting.user == user; });
}

bool SearchAnswerQueue::Add(const QString& user, const QString& search, SearchAnswerCopy copy) {
    if (Has(user) || IsFull())
        return false;
    m_waiting.push_back(Waiting{user, search, std::move(copy)});
    StartNext();
    return true;
}

void SearchAnswerQueue::StartNext() {
    if (m_job || m_waiting.empty())
        return;
    m_job = std::make_unique<Job>();
    m_job->user = m_waiting.front().user;
    m_job->search = m_waiting.front().search;
    m_job->copy = std::move(m_waiting.front().copy);
    m_waiting.pop_front();
    Job* job = m_job.get();
    job->thread = std::thread([this, job] {
        job->result = PackSearchAnswer(job->copy, job->message, &job->stop);
        job->copy = SearchAnswerCopy();
        QMetaObject::invokeMethod(this, &SearchAnswerQueue::OnPacked, Qt::QueuedConnection);
    });
}

void SearchAnswerQueue::OnPacked() {
    if (!m_job)
        return;
    m_job->thread.join();
    const QString user = m_job->user;
    const QString search = m_job->search;
    const Packing result = m_job->result;
    const QByteArray message = result == Packing::Packed ? m_job->message : QByteArray();
    m_job.reset();
    LogPackingFailure(PeerMessenger::PM_FILE_SEARCH_RESULT, result);
    // The next one starts first: sending may lead anywhere.
    StartNext();
    emit Finished(user, search, message);
}
