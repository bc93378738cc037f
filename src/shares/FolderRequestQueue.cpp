#include "shares/FolderRequestQueue.h"

#include <algorithm>

#include "net/PeerLimits.h"

namespace {

// How soon to look again when every waiting user was busy.
constexpr int kBusyRetryMs = 100;
constexpr qint64 kSecondNs = 1000 * 1000 * 1000;
constexpr qint64 kMsNs = 1000 * 1000;

}  // namespace

FolderRequestQueue::FolderRequestQueue(Answerer answer, Ready ready)
    : m_answer(std::move(answer)), m_ready(std::move(ready)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &FolderRequestQueue::Serve);
    m_clock.start();
}

qint64 FolderRequestQueue::BytesOf(const Request& r) {
    return 2 * qint64(r.folder.size()) + 2 * qint64(r.user.size()) + 64;
}

bool FolderRequestQueue::Add(const QString& user, quint32 req, const QString& folder, quint64 via) {
    Request request{user, req, folder, via};
    const QString asker = request.Asker();
    Queue& queue = m_queues[asker];
    if (!queue.requests.empty() && queue.requests.back().req == req &&
        queue.requests.back().folder == folder)
        return true;
    const qint64 bytes = BytesOf(request);
    if (int(queue.requests.size()) >= PeerLimits::kMaxFolderRequestsPerUser ||
        queue.bytes + bytes > PeerLimits::kMaxFolderRequestBytesPerUser ||
        m_bytes + bytes > PeerLimits::kMaxFolderRequestBytesTotal) {
        if (queue.requests.empty())
            m_queues.erase(asker);
        return false;
    }
    if (queue.requests.empty())
        m_turns.push_back(asker);
    queue.requests.push_back(std::move(request));
    queue.bytes += bytes;
    m_bytes += bytes;
    ++m_waiting;
    if (!m_timer.isActive())
        m_timer.start(0);
    return true;
}

void FolderRequestQueue::Serve() {
    const qint64 start = m_clock.nsecsElapsed();
    if (start - m_secondStartNs >= kSecondNs) {
        m_secondStartNs = start;
        m_secondSpentNs = 0;
    }
    const qint64 sliceEnd =
        start + std::min(PeerLimits::kFolderAnswerSliceMs * kMsNs,
                         PeerLimits::kFolderAnswerMsPerSecond * kMsNs - m_secondSpentNs);
    bool served = false;
    // One pass over the users at most without an answer: then all are busy.
    std::size_t idle = 0;
    while (!m_turns.empty() && idle < m_turns.size() && m_clock.nsecsElapsed() < sliceEnd) {
        const QString asker = m_turns.front();
        m_turns.pop_front();
        Queue& queue = m_queues[asker];
        Turn turn = Turn::Later;
        if (m_ready(queue.requests.front())) {
            turn = m_answer(queue.requests.front());
            if (turn == Turn::Done) {
                const qint64 bytes = BytesOf(queue.requests.front());
                queue.bytes -= bytes;
                m_bytes -= bytes;
                queue.requests.pop_front();
                --m_waiting;
            }
        }
        if (turn != Turn::Later) {
            served = true;
            idle = 0;
        } else {
            ++idle;
        }
        // To the back of the turns: a flood waits behind everyone else.
        if (queue.requests.empty())
            m_queues.erase(asker);
        else
            m_turns.push_back(asker);
    }
    m_secondSpentNs += m_clock.nsecsElapsed() - start;
    Schedule(served);
}

void FolderRequestQueue::Wake() {
    if (!m_turns.empty() && m_timer.remainingTime() != 0 &&
        m_secondSpentNs < PeerLimits::kFolderAnswerMsPerSecond * kMsNs)
        m_timer.start(0);
}

void FolderRequestQueue::Schedule(bool served) {
    if (m_turns.empty())
        return;
    const qint64 now = m_clock.nsecsElapsed();
    // An answer that ran past the end of its second leaves nothing to wait
    // for; a negative interval would leave the timer stopped.
    if (m_secondSpentNs >= PeerLimits::kFolderAnswerMsPerSecond * kMsNs)
        m_timer.start(int(std::max<qint64>(0, (m_secondStartNs + kSecondNs - now) / kMsNs + 1)));
    else
        m_timer.start(served ? 0 : kBusyRetryMs);
}
