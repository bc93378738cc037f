#include <QElapsedTimer>

#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "store/Log.h"

// Budgets per user for requests that cost us work or output, and the
// requests that wait for theirs.

namespace {

const char* const kArea = "Peer Messenger";

}  // namespace

bool PeerMessenger::AdmitRequest(const QString& user, quint32 code, const MemStream& payload) {
    const int size = int(qMax<qint64>(0, payload.BytesLeft()));
    const qint64 now = Now();
    const char* bytes = size > 0 ? payload.GetBuffer() + payload.GetReadPos() : nullptr;
    // Budgets are kept per connection: whoever asks under a name spends his own.
    switch (m_requestBudgets.Admit(user, m_asker, code, bytes, size, now)) {
        case RequestBudgets::Verdict::Admit:
            return true;
        case RequestBudgets::Verdict::Wait:
            ScheduleWaitingRequests();
            return false;
        case RequestBudgets::Verdict::Drop:
            break;
    }
    // A queue request has an answer that says no, and the downloader's row
    // says why instead of waiting for a place that never comes.
    MemStream request(QByteArray(bytes, size));
    QString file;
    if (code == PM_QUEUE_UPLOAD && request.Read(file) &&
        m_requestBudgets.Take(user, m_asker, code, now, &PeerLimits::kQueueDenials)) {
        int unlogged = 0;
        if (m_deniedRequests.Drop(now, unlogged, user, code))
            LogDeniedRequests(unlogged, user);
        DenyUpload(user, file, QStringLiteral("Too many files"));
        return false;
    }
    CountDroppedRequests(user, code, 1);
    return false;
}

void PeerMessenger::CountDroppedRequests(const QString& user, quint32 code, int n) {
    for (int k = 0; k < n; ++k) {
        int unlogged = 0;
        if (m_droppedRequests.Drop(Now(), unlogged, user, code))
            LogDroppedRequests(unlogged, user, code);
    }
}

void PeerMessenger::LogDroppedRequests(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 requests past their user's budget dropped, the last code %2 from %3.")
            .arg(n)
            .arg(code)
            .arg(user));
}

void PeerMessenger::LogDeniedRequests(int n, const QString& user) {
    Log(kArea, 1,
        QString("%1 queue requests past their user's budget denied, the last from %2.")
            .arg(n)
            .arg(user));
}

void PeerMessenger::ScheduleWaitingRequests() {
    const qint64 due = m_requestBudgets.NextDue();
    if (due < 0) {
        m_waitTimer.stop();
        return;
    }
    // The clock may be a hand-driven one: a wait is never longer than the
    // longest refill, so the timer looks again at least that often.
    const qint64 wait = qBound<qint64>(0, due - Now(), 1000);
    if (!m_waitTimer.isActive() || m_waitTimer.remainingTime() > wait)
        m_waitTimer.start(int(wait));
}

void PeerMessenger::ServeWaitingRequests() {
    QElapsedTimer slice;
    slice.start();
    QString user;
    quint64 via = 0;
    quint32 code = 0;
    QByteArray bytes;
    while (slice.elapsed() < PeerLimits::kRequestSliceMs &&
           m_requestBudgets.TakeDue(Now(), user, via, code, bytes)) {
        // The answer belongs on the connection it was asked on: one who
        // left asks again when back.
        if (via != 0 ? !IsOpen(via) : !IsMessaging(user)) {
            CountDroppedRequests(user, code, 1 + m_requestBudgets.DropWaiting(user, via, code));
            continue;
        }
        MemStream payload(bytes);
        const AskedOn asked(this, via, user);
        Handle(user, code, payload);
    }
    if (m_requestBudgets.NextDue() >= 0 && m_requestBudgets.NextDue() <= Now())
        m_waitTimer.start(0);
    else
        ScheduleWaitingRequests();
}
