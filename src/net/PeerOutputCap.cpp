#include <QTcpSocket>
#include <QtEndian>
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

qint64 PeerMessenger::MakeRoom(const ConnectionPtr& target, qint64 bytes, qint64 now) {
    qint64 waiting = WaitingOutput();
    if (waiting + bytes <= m_maxWaitingOutput)
        return waiting;
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
    return waiting;
}

bool PeerMessenger::RoomForOptional(const QString& user, qint64 bytes) {
    const qint64 now = Now();
    const ConnectionPtr target = NewestMessaging(user);
    const bool stuck = target && OutputStuck(*target, now);
    const qint64 waiting = stuck ? WaitingOutput() : MakeRoom(target, bytes, now);
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

bool PeerMessenger::AnswerWaiting(const QString& user, quint32 code) {
    const auto held = m_heldAnswers.find({user, code});
    if (held != m_heldAnswers.end()) {
        if (m_unsent.count(user))
            return true;
        m_heldAnswers.erase(held);
    }
    const ConnectionPtr c = NewestMessaging(user);
    if (!c)
        return false;
    const auto unwritten = c->answersUnwritten.find(code);
    return unwritten != c->answersUnwritten.end() && unwritten->second > 0;
}

PeerMessenger::Answer PeerMessenger::SendAnswer(const QString& user, MemStream& message) {
    if (message.GetWritePos() < 4)
        return Answer::NoRoom;
    const quint32 code = qFromLittleEndian<quint32>(message.GetBuffer());
    if (AnswerWaiting(user, code))
        return Answer::Waiting;
    const qint64 now = Now();
    const qint64 bytes = message.GetWritePos() + 4;
    const ConnectionPtr target = NewestMessaging(user);
    if (target && OutputStuck(*target, now))
        return Answer::NoRoom;
    const qint64 waiting = MakeRoom(target, bytes, now);
    // One answer larger than the cap goes when nothing else waits.
    if (waiting > 0 && waiting + bytes > m_maxWaitingOutput)
        return Answer::NoRoom;
    SendMessage(user, message);
    const ConnectionPtr c = NewestMessaging(user);
    if (!c || !c->socket) {
        if (m_heldAnswers.size() > m_unsent.size())
            for (auto it = m_heldAnswers.begin(); it != m_heldAnswers.end();)
                it = m_unsent.count(it->first) ? std::next(it) : m_heldAnswers.erase(it);
        if (m_unsent.count(user))
            m_heldAnswers.insert({user, code});
        return Answer::Sent;
    }
    // Everything ahead of it goes to the system first.
    c->answersUnwritten[code] = c->socket->bytesToWrite();
    if (!c->answerWatched) {
        c->answerWatched = true;
        const std::weak_ptr<Connection> watched = c;
        connect(c->socket, &QIODevice::bytesWritten, c->socket, [watched](qint64 written) {
            if (const ConnectionPtr w = watched.lock())
                for (auto& unwritten : w->answersUnwritten)
                    unwritten.second = std::max<qint64>(0, unwritten.second - written);
        });
    }
    return Answer::Sent;
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
