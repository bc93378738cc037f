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
#include "net/SocketQueue.h"
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
    // A link backing off after losses is slow, not deaf; past
    // kStalledFrameMs it is closed all the same.
    return c.socket && c.socket->bytesToWrite() > 0 &&
           now - c.outputMoved >= PeerLimits::kStuckOutputMs && !SocketQueue::Recovering(c.socket);
}

namespace {

// Drops records older than `keepMs`; past `most`, the oldest go too.
template <class Map, class Time>
void Prune(Map& records, qint64 now, qint64 keepMs, std::size_t most, Time time) {
    for (auto it = records.begin(); it != records.end();)
        it = now - time(it->second) > keepMs ? records.erase(it) : std::next(it);
    while (records.size() > most)
        records.erase(std::min_element(
            records.begin(), records.end(),
            [&](const auto& a, const auto& b) { return time(a.second) < time(b.second); }));
}

}  // namespace

void PeerMessenger::WantRoom(const QString& user, qint64 now) {
    const auto it = m_roomWanted.find(user);
    if (it != m_roomWanted.end() && now - it->second.last <= PeerLimits::kRoomWantedMs) {
        it->second.last = now;
        return;
    }
    m_roomWanted[user] = {now, now};
    if (m_roomWanted.size() > PeerLimits::kMaxRoomRecords)
        Prune(m_roomWanted, now, PeerLimits::kRoomWantedMs, PeerLimits::kMaxRoomRecords,
              [](const RoomWanted& w) { return w.last; });
}

void PeerMessenger::GaveWay(const QString& user, qint64 now) {
    m_gaveWay[user] = now;
    if (m_gaveWay.size() > PeerLimits::kMaxRoomRecords)
        Prune(m_gaveWay, now, PeerLimits::kGaveWayMemoryMs, PeerLimits::kMaxRoomRecords,
              [](qint64 at) { return at; });
}

bool PeerMessenger::FirstForRoom(const QString& user, qint64 now) {
    const auto behind = [&](const QString& u) {
        const auto it = m_gaveWay.find(u);
        return it != m_gaveWay.end() && now - it->second < PeerLimits::kGaveWayMemoryMs;
    };
    const auto own = m_roomWanted.find(user);
    const bool ownAlive =
        own != m_roomWanted.end() && now - own->second.last <= PeerLimits::kRoomWantedMs;
    // A user asking anew asks last.
    const qint64 since = ownAlive ? own->second.since : now;
    const bool back = behind(user);
    for (auto it = m_roomWanted.begin(); it != m_roomWanted.end();) {
        if (now - it->second.last > PeerLimits::kRoomWantedMs) {
            it = m_roomWanted.erase(it);
            continue;
        }
        if (it->first != user) {
            const bool otherBack = behind(it->first);
            if ((back && !otherBack) || (back == otherBack && it->second.since > since))
                return false;
        }
        ++it;
    }
    return true;
}

qint64 PeerMessenger::MakeRoom(const QString& user, const ConnectionPtr& target, qint64 bytes,
                               qint64 now) {
    qint64 waiting = WaitingOutput();
    if (waiting + bytes <= m_maxWaitingOutput)
        return waiting;
    // Stuck output goes first, the largest first; then output that has
    // waited past kOutputGivesWayMs, the longest waiting first, for the user
    // first in line.
    struct Held {
        bool stuck;
        qint64 since;
        qint64 bytes;
        ConnectionPtr c;
    };
    std::vector<Held> held;
    bool first = false, asked = false;
    for (const auto& entry : m_connections) {
        const ConnectionPtr& c = entry.second;
        if (c == target || c->state != Connection::Messaging || !c->socket)
            continue;
        const qint64 bytesWaiting = c->socket->bytesToWrite();
        const qint64 since = c->outputAge.OldestSince(bytesWaiting);
        if (OutputStuck(*c, now)) {
            held.push_back({true, since, bytesWaiting, c});
        } else if (since >= 0 && now - since >= PeerLimits::kOutputGivesWayMs) {
            if (!asked) {
                asked = true;
                first = FirstForRoom(user, now);
            }
            if (first)
                held.push_back({false, since, bytesWaiting, c});
        }
    }
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) {
        if (a.stuck != b.stuck)
            return a.stuck;
        return a.stuck ? a.bytes > b.bytes : a.since < b.since;
    });
    for (const Held& h : held) {
        if (waiting + bytes <= m_maxWaitingOutput)
            break;
        waiting -= h.bytes;
        Log(kArea, 1,
            h.stuck ? QString("%1 does not read what we send (%2 bytes waiting); closed to "
                              "make room for others.")
                          .arg(h.c->user)
                          .arg(h.bytes)
                    : QString("%1 reads too slowly (%2 bytes waiting for %3 s); closed to "
                              "make room for others.")
                          .arg(h.c->user)
                          .arg(h.bytes)
                          .arg((now - h.since) / 1000));
        GaveWay(h.c->user, now);
        Close(h.c, h.stuck ? "unsent output stuck while the output cap is full"
                           : "unsent output waited too long while the output cap is full");
    }
    return waiting;
}

bool PeerMessenger::RoomForOptional(const QString& user, qint64 bytes) {
    const qint64 now = Now();
    const ConnectionPtr target = NewestMessaging(user);
    const bool stuck = target && OutputStuck(*target, now);
    const qint64 waiting = stuck ? WaitingOutput() : MakeRoom(user, target, bytes, now);
    if (!stuck && waiting + bytes <= m_maxWaitingOutput) {
        m_roomWanted.erase(user);
        return true;
    }
    if (!stuck)
        WantRoom(user, now);
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
    const qint64 waiting = MakeRoom(user, target, bytes, now);
    // One answer larger than the cap goes when nothing else waits.
    if (waiting > 0 && waiting + bytes > m_maxWaitingOutput) {
        WantRoom(user, now);
        return Answer::NoRoom;
    }
    m_roomWanted.erase(user);
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
