#include <QTcpSocket>
#include <algorithm>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "net/PeerConnection.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "store/Log.h"

// The cap over all output waiting for peers.

namespace {

const char* const kArea = "Peer Messenger";

}  // namespace

qint64 PeerMessenger::WaitingOutput() const {
    qint64 total = m_unsentBytes;
    for (const auto& entry : m_connections)
        if (const QTcpSocket* socket = entry.second->socket)
            total += socket->bytesToWrite();
    return total;
}

bool PeerMessenger::OutputStuck(Connection& c, qint64 now) {
    FollowOutput(c, now);
    return c.socket && c.socket->bytesToWrite() > 0 &&
           now - c.outputMoved >= PeerLimits::kStuckOutputMs;
}

bool PeerMessenger::RoomForOptional(const QString& user, qint64 bytes) {
    const qint64 now = Now();
    const ConnectionPtr target = NewestMessaging(user);
    qint64 waiting = WaitingOutput();
    const bool stuck = target && OutputStuck(*target, now);
    if (!stuck && waiting + bytes > m_maxWaitingOutput) {
        std::vector<std::pair<qint64, ConnectionPtr>> held;
        for (const auto& entry : m_connections) {
            const ConnectionPtr& c = entry.second;
            if (c != target && c->state == Connection::Messaging && OutputStuck(*c, now))
                held.emplace_back(c->socket->bytesToWrite(), c);
        }
        std::sort(held.begin(), held.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& entry : held) {
            if (waiting + bytes <= m_maxWaitingOutput)
                break;
            waiting -= entry.first;
            Log(kArea, 1,
                QString("%1 does not read what we send (%2 bytes waiting); closed to make "
                        "room for others.")
                    .arg(entry.second->user)
                    .arg(entry.first));
            Close(entry.second, "unsent output stuck while the output cap is full");
        }
    }
    if (!stuck && waiting + bytes <= m_maxWaitingOutput)
        return true;
    ++m_optionalRefused;
    if (m_optionalLoggedAt < 0 || now - m_optionalLoggedAt >= kOptionalLogMs) {
        Log(kArea, 1,
            QString("%1 optional messages dropped, the last of %2 bytes to %3: %4.")
                .arg(m_optionalRefused)
                .arg(bytes)
                .arg(user)
                .arg(stuck ? QString("they do not read what we send")
                           : QString("%1 bytes wait for peers already").arg(waiting)));
        m_optionalRefused = 0;
        m_optionalLoggedAt = now;
    }
    return false;
}

bool PeerMessenger::SendOptionalMessage(const QString& user, MemStream& message) {
    // The length field comes on top.
    if (!RoomForOptional(user, message.GetWritePos() + 4))
        return false;
    SendMessage(user, message);
    return true;
}

void PeerMessenger::TrimReleasedOutput() {
    // The output of closed connections is freed in pieces; those in the
    // middle of the heap are otherwise kept by the allocator. Trimming walks
    // the heap, so it waits until much was freed.
    constexpr qint64 kTrimAfterBytes = qint64(8) * 1024 * 1024;
    if (m_releasedOutput < kTrimAfterBytes)
        return;
    m_releasedOutput = 0;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
