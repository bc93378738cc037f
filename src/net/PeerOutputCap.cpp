#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "net/Obfuscation.h"
#include "net/PeerConnection.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/SocketQueue.h"
#include "store/Log.h"

// The cap over all output waiting for peers.

namespace {

const char* const kArea = "Peer Messenger";

// Moves the connection's entry in an order of waiting output to a new key
// (-1: out of the order).
void Rekey(std::set<std::pair<qint64, quint64>>& order, qint64& key, qint64 to, quint64 id) {
    if (to == key)
        return;
    if (key >= 0)
        order.erase({key, id});
    if (to >= 0)
        order.insert({to, id});
    key = to;
}

}  // namespace

// Output as it is written and taken: counted as it changes, so that the
// cap and the orders of waiting output cost a constant per event.

bool PeerMessenger::TooMuchUnsent(const ConnectionPtr& c) {
    // Answers to a peer that asks and never reads would pile up here.
    const qint64 unsent = c->socket->bytesToWrite() + c->pendingOwn;
    if (unsent <= PeerLimits::kMaxUnsentOutput)
        return false;
    Log(kArea, 1,
        QString("%1 does not read what we send (%2 bytes waiting).").arg(c->user).arg(unsent));
    Close(c, "too much unsent output");
    return true;
}

void PeerMessenger::Pump(const ConnectionPtr& c) {
    while (!c->closed && c->socket && !c->pending.empty() &&
           c->socket->bytesToWrite() < kAnswerPieceBytes) {
        Connection::Pending& next = c->pending.front();
        const qint64 frame = 4 + qint64(next.body.size());
        QByteArray piece;
        if (!next.shared) {
            piece = QByteArray(4, '\0');
            qToLittleEndian<quint32>(quint32(next.body.size()), piece.data());
            piece += next.body;
            if (c->obfuscated)
                piece = Obfuscation::Encode(piece);
            next.sent = frame;
            c->pendingOwn -= frame;
        } else {
            const qint64 n = std::min(kAnswerPieceBytes, frame - next.sent);
            piece.resize(int(n));
            char* out = piece.data();
            qint64 at = next.sent, left = n;
            if (at < 4) {
                char head[4];
                qToLittleEndian<quint32>(quint32(next.body.size()), head);
                const qint64 k = std::min<qint64>(4 - at, left);
                std::memcpy(out, head + at, std::size_t(k));
                out += k;
                at += k;
                left -= k;
            }
            if (left > 0)
                std::memcpy(out, next.body.constData() + (at - 4), std::size_t(left));
            if (c->obfuscated) {
                Obfuscation::Apply(piece.data(), n, next.key, next.sent);
                if (next.sent == 0) {
                    char key[4];
                    qToLittleEndian<quint32>(next.key, key);
                    piece.prepend(key, 4);
                }
            }
            next.sent += n;
        }
        const quint32 answer = next.sent == frame ? next.answer : 0;
        const bool reply = next.sent == frame && next.reply;
        if (next.sent == frame)
            c->pending.pop_front();
        if (!WriteOut(c, piece))
            return;
        if (reply)
            c->replies.emplace_back(c->written, frame);
        // Handed to the socket whole: it waits for the system from now on.
        if (answer != 0)
            c->answersUnwritten[answer] = c->socket->bytesToWrite();
    }
}

void PeerMessenger::OnBytesWritten(quint64 id, qint64 written) {
    const ConnectionPtr c = FindConnection(id);
    if (!c)
        return;
    bool answerWent = false;
    for (auto& unwritten : c->answersUnwritten) {
        const bool was = unwritten.second > 0;
        unwritten.second = std::max<qint64>(0, unwritten.second - written);
        answerWent = answerWent || (was && unwritten.second == 0);
    }
    FollowOutput(*c, Now());
    Pump(c);
    if (c->closed)
        return;
    Recount(*c);
    // Taking what she asked for is what a user who gave way owes; only her
    // own reading counts.
    if (answerWent && c->vouched && !m_gaveWay.empty())
        m_gaveWay.erase(c->user);
    if (answerWent || !m_roomWanted.empty())
        PostOutputRoom();
}

void PeerMessenger::PostOutputRoom() {
    if (m_outputRoomPosted)
        return;
    m_outputRoomPosted = true;
    QTimer::singleShot(PeerLimits::kOutputRoomMs, this, [this] {
        m_outputRoomPosted = false;
        emit OutputRoom();
    });
}

void PeerMessenger::Recount(Connection& c) {
    ReleaseReplies(c);
    const qint64 held = c.closed || !c.socket ? 0 : c.socket->bytesToWrite() + c.pendingOwn;
    m_heldOutput += held - c.counted;
    c.counted = held;
    Reindex(c);
}

void PeerMessenger::Reindex(Connection& c) {
    const bool waiting = !c.closed && c.socket && c.state == Connection::Messaging &&
                         (c.socket->bytesToWrite() > 0 || !c.pending.empty());
    const qint64 quiet = waiting ? c.outputMoved : -1;
    const qint64 age = waiting ? c.outputAge.OldestSince(c.socket->bytesToWrite()) : -1;
    Rekey(m_quietOrder, c.quietKey, quiet, c.id);
    Rekey(m_ageOrder, c.ageKey, age, c.id);
}

void PeerMessenger::Unindex(Connection& c) {
    if (c.unidentified) {
        c.unidentified = false;
        m_unidentified.erase(c.id);
    }
    if (c.idleListed) {
        (c.inUse ? m_idleInUse : m_idleHello).erase(c.idlePlace);
        c.idleListed = false;
        const auto user = m_messagingByUser.find(c.user);
        if (user != m_messagingByUser.end() && user->second.erase(c.id) && user->second.empty())
            m_messagingByUser.erase(user);
    }
    c.pending.clear();
    c.pendingOwn = 0;
    c.replies.clear();
    m_replyBytes -= c.replyBytes;
    c.replyBytes = 0;
    m_heldOutput -= c.counted;
    c.counted = 0;
    c.closed = true;
    Reindex(c);
    if (!m_roomWanted.empty())
        PostOutputRoom();
}

void PeerMessenger::ReleaseReplies(Connection& c) {
    if (c.replies.empty())
        return;
    const qint64 taken = c.socket ? c.written - c.socket->bytesToWrite() : c.written;
    while (!c.replies.empty() && c.replies.front().first <= taken) {
        c.replyBytes -= c.replies.front().second;
        m_replyBytes -= c.replies.front().second;
        c.replies.pop_front();
    }
}

bool PeerMessenger::RoomForReply(const ConnectionPtr& c, qint64 bytes) {
    const auto fits = [&] {
        return c->replyBytes + bytes <= PeerLimits::kMaxReplyBytesPerPeer &&
               (c->replyBytes == 0 || m_replyBytes + bytes <= m_maxReplyBytes);
    };
    if (fits())
        return true;
    // What the system takes now is no longer ours to hold.
    if (c->socket && c->socket->bytesToWrite() > 0) {
        c->socket->flush();
        if (!c->closed)
            Recount(*c);
    }
    return !c->closed && fits();
}

qint64 PeerMessenger::HeldReplyBytes(const QString& user) const {
    qint64 held = 0;
    const auto ids = m_messagingByUser.find(user);
    if (ids != m_messagingByUser.end())
        for (const quint64 id : ids->second)
            if (const ConnectionPtr c = FindConnection(id))
                held += c->replyBytes;
    return held;
}

void PeerMessenger::Touch(Connection& c, qint64 now) {
    c.lastActivity = now;
    if (c.idleListed) {
        std::list<quint64>& order = c.inUse ? m_idleInUse : m_idleHello;
        order.splice(order.end(), order, c.idlePlace);
    }
}

void PeerMessenger::MarkInUse(Connection& c) {
    if (c.inUse)
        return;
    c.inUse = true;
    if (c.idleListed)
        m_idleInUse.splice(m_idleInUse.end(), m_idleHello, c.idlePlace);
}

qint64 PeerMessenger::WaitingOutput() const {
    return m_unsentBytes + m_heldOutput;
}

bool PeerMessenger::OutputStuck(Connection& c, qint64 now) {
    FollowOutput(c, now);
    c.lookedAt = now;
    // A link backing off after losses is slow, not deaf; past
    // kStalledFrameMs it is closed all the same.
    c.lookedStuck = c.socket && c.socket->bytesToWrite() > 0 &&
                    now - c.outputMoved >= PeerLimits::kStuckOutputMs &&
                    !SocketQueue::Recovering(c.socket);
    return c.lookedStuck;
}

bool PeerMessenger::OutputStuckLately(Connection& c, qint64 now) {
    if (c.lookedAt < 0 || now < c.lookedAt || now - c.lookedAt >= PeerLimits::kLookAgainMs)
        return OutputStuck(c, now);
    return c.lookedStuck && c.socket && c.socket->bytesToWrite() > 0;
}

bool PeerMessenger::ReadsSteadily(const Connection& c, qint64 now) const {
    if (c.drainPrevAt < 0 || now <= c.drainPrevAt)
        return false;
    const qint64 took = c.written - c.output.Last() - c.drainPrevBytes;
    return took * PeerLimits::kOutputGivesWayMs >=
           std::min(PeerLimits::kSteadyReadBytes, c.counted) * (now - c.drainPrevAt);
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

void PeerMessenger::ForgetRoomWanted(const QString& user) {
    const auto it = m_roomWanted.find(user);
    if (it == m_roomWanted.end())
        return;
    m_roomOrder.erase({it->second.back, -it->second.since, user});
    m_roomWanted.erase(it);
}

void PeerMessenger::WantRoom(const QString& user, qint64 now) {
    const auto it = m_roomWanted.find(user);
    if (it != m_roomWanted.end() && now - it->second.last <= PeerLimits::kRoomWantedMs) {
        it->second.last = now;
        return;
    }
    ForgetRoomWanted(user);
    const auto gave = m_gaveWay.find(user);
    const bool back = gave != m_gaveWay.end() && now - gave->second < PeerLimits::kGaveWayMemoryMs;
    m_roomWanted[user] = {now, now, back};
    m_roomOrder.insert({back, -now, user});
    if (m_roomWanted.size() > PeerLimits::kMaxRoomRecords) {
        Prune(m_roomWanted, now, PeerLimits::kRoomWantedMs, PeerLimits::kMaxRoomRecords,
              [](const RoomWanted& w) { return w.last; });
        m_roomOrder.clear();
        for (const auto& wanted : m_roomWanted)
            m_roomOrder.insert({wanted.second.back, -wanted.second.since, wanted.first});
    }
}

void PeerMessenger::GaveWay(const QString& user, qint64 now) {
    m_gaveWay[user] = now;
    if (m_gaveWay.size() > PeerLimits::kMaxRoomRecords)
        Prune(m_gaveWay, now, PeerLimits::kGaveWayMemoryMs, PeerLimits::kMaxRoomRecords,
              [](qint64 at) { return at; });
}

bool PeerMessenger::FirstForRoom(const QString& user, qint64 now) {
    // Those no longer asking leave the front of the line as it is reached.
    while (!m_roomOrder.empty()) {
        const QString& front = std::get<2>(*m_roomOrder.begin());
        const auto it = m_roomWanted.find(front);
        if (it != m_roomWanted.end() && now - it->second.last <= PeerLimits::kRoomWantedMs)
            break;
        if (it != m_roomWanted.end())
            m_roomWanted.erase(it);
        m_roomOrder.erase(m_roomOrder.begin());
    }
    if (m_roomOrder.empty())
        return true;
    const auto own = m_roomWanted.find(user);
    const bool ownAlive =
        own != m_roomWanted.end() && now - own->second.last <= PeerLimits::kRoomWantedMs;
    const bool back = ownAlive ? own->second.back : [&] {
        const auto gave = m_gaveWay.find(user);
        return gave != m_gaveWay.end() && now - gave->second < PeerLimits::kGaveWayMemoryMs;
    }();
    // A user asking anew asks last.
    const qint64 since = ownAlive ? own->second.since : now;
    const auto& front = *m_roomOrder.begin();
    return std::get<2>(front) == user ||
           std::make_pair(back, -since) <= std::make_pair(std::get<0>(front), std::get<1>(front));
}

qint64 PeerMessenger::MakeRoom(const QString& user, const ConnectionPtr& target, qint64 bytes,
                               qint64 now) {
    qint64 waiting = WaitingOutput();
    if (waiting + bytes <= m_maxWaitingOutput)
        return waiting;
    // Stuck output goes first, the largest first; then output that has
    // waited past kOutputGivesWayMs for a peer that does not read steadily,
    // the longest waiting first, for the user first in line. Only output
    // quiet or waiting as long is looked at, each at most once per
    // kLookAgainMs, so that the cost does not grow with the connections.
    struct Held {
        bool stuck;
        qint64 since;
        qint64 bytes;
        ConnectionPtr c;
    };
    std::vector<Held> held;
    std::vector<quint64> quiet, aged;
    for (auto it = m_quietOrder.begin();
         it != m_quietOrder.end() && it->first <= now - PeerLimits::kStuckOutputMs; ++it)
        quiet.push_back(it->second);
    for (auto it = m_ageOrder.begin();
         it != m_ageOrder.end() && it->first <= now - PeerLimits::kOutputGivesWayMs; ++it)
        aged.push_back(it->second);
    for (const quint64 id : quiet) {
        const ConnectionPtr c = FindConnection(id);
        if (c && c != target && c->socket && OutputStuckLately(*c, now))
            held.push_back({true, c->ageKey, c->counted, c});
    }
    bool first = false, asked = false;
    for (const quint64 id : aged) {
        const ConnectionPtr c = FindConnection(id);
        if (!c || c == target || !c->socket || c->lookedStuck || c->ageKey < 0 ||
            now - c->ageKey < PeerLimits::kOutputGivesWayMs)
            continue;
        if (!asked) {
            asked = true;
            first = FirstForRoom(user, now);
        }
        if (!first)
            break;
        if (c->lookedAt < 0 || now < c->lookedAt || now - c->lookedAt >= PeerLimits::kLookAgainMs) {
            OutputStuck(*c, now);
            if (c->lookedStuck)
                continue;
        }
        if (!ReadsSteadily(*c, now))
            held.push_back({false, c->ageKey, c->counted, c});
    }
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) {
        if (a.stuck != b.stuck)
            return a.stuck;
        return a.stuck ? a.bytes > b.bytes : a.since < b.since;
    });
    for (const Held& h : held) {
        if (waiting + bytes <= m_maxWaitingOutput)
            break;
        if (h.c->closed)
            continue;
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
        // A name in an incoming set-up is the peer's word: a stranger's
        // connection under it must not put the user back in the line.
        if (h.c->vouched)
            GaveWay(h.c->user, now);
        Close(h.c, h.stuck ? "unsent output stuck while the output cap is full"
                           : "unsent output waited too long while the output cap is full");
    }
    return WaitingOutput();
}

bool PeerMessenger::RoomForOptional(const QString& user, qint64 bytes) {
    const qint64 now = Now();
    const ConnectionPtr target = NewestMessaging(user);
    const bool stuck = (target && OutputStuck(*target, now)) ||
                       (DeafLately(user, now) && !DeafTrialDue(user, target, now));
    const qint64 waiting = stuck ? WaitingOutput() : MakeRoom(user, target, bytes, now);
    if (!stuck && waiting + bytes <= m_maxWaitingOutput) {
        ForgetRoomWanted(user);
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

void PeerMessenger::RememberIfDeaf(const Connection& c, qint64 now) {
    if (c.state != Connection::Messaging || c.user.isEmpty())
        return;
    // As the last look left it: once the peer reset the connection its
    // queue in the system is gone, which a new look would take for progress.
    const bool waiting = c.counted > 0 || (c.socket && c.socket->bytesToWrite() > 0);
    if (!waiting || now - c.outputMoved < PeerLimits::kStuckOutputMs)
        return;
    // A name in an incoming set-up is the peer's word: its mark only holds
    // answers to one at a time while ours wait, which costs a reader nothing,
    // and never weakens a mark the user's own stall left.
    const auto it = m_deafLately.find(c.user);
    if (!c.vouched && it != m_deafLately.end() && it->second.vouched &&
        now - it->second.at < PeerLimits::kDeafMemoryMs)
        return;
    m_deafLately[c.user] = {now, -1, c.vouched};
    if (m_deafLately.size() > PeerLimits::kMaxRoomRecords)
        Prune(m_deafLately, now, PeerLimits::kDeafMemoryMs, PeerLimits::kMaxRoomRecords,
              [](const Deaf& deaf) { return deaf.at; });
}

bool PeerMessenger::DeafLately(const QString& user, qint64 now, bool vouchedOnly) const {
    const auto it = m_deafLately.find(user);
    return it != m_deafLately.end() && (it->second.vouched || !vouchedOnly) &&
           now - it->second.at < PeerLimits::kDeafMemoryMs;
}

bool PeerMessenger::DeafTrialDue(const QString& user, const ConnectionPtr& target,
                                 qint64 now) const {
    // Only her reading can clear the mark, so something must go to her now
    // and then; one at a time, so that one who does not read holds little.
    const auto it = m_deafLately.find(user);
    if (it == m_deafLately.end() ||
        (it->second.vouched &&
         now - std::max(it->second.at, it->second.tried) < PeerLimits::kDeafTrialMs) ||
        m_unsent.count(user))
        return false;
    return !target || !target->socket ||
           (target->socket->bytesToWrite() == 0 && target->pending.empty());
}

bool PeerMessenger::OutputWaitingFor(const QString& user) const {
    if (m_unsent.count(user) || DeafLately(user, Now(), true))
        return true;
    const ConnectionPtr c = NewestMessaging(user);
    return c && c->socket && (c->socket->bytesToWrite() > 0 || !c->pending.empty());
}

bool PeerMessenger::AnswerWaiting(const QString& user, quint32 code, quint64 via) {
    bool gone = false;
    const ConnectionPtr c = ReplyTarget(user, via, gone);
    return !gone && AnswerWaitingOn(user, code, c);
}

bool PeerMessenger::AnswerWaitingOn(const QString& user, quint32 code, const ConnectionPtr& c) {
    if (!c) {
        const auto held = m_heldAnswers.find({user, code});
        if (held == m_heldAnswers.end())
            return false;
        if (m_unsent.count(user))
            return true;
        m_heldAnswers.erase(held);
        return false;
    }
    const auto unwritten = c->answersUnwritten.find(code);
    return unwritten != c->answersUnwritten.end() && unwritten->second > 0;
}

namespace {

// Marks an answer still behind others in our own queue: it is not counted
// down by what the system takes until it is in the socket whole.
constexpr qint64 kAnswerQueued = std::numeric_limits<qint64>::max() / 4;

}  // namespace

PeerMessenger::Answer PeerMessenger::SendAnswer(const QString& user, MemStream& message,
                                                quint64 via) {
    if (message.GetWritePos() < 4)
        return Answer::NoRoom;
    const quint32 code = qFromLittleEndian<quint32>(message.GetBuffer());
    bool gone = false;
    const ConnectionPtr target = ReplyTarget(user, via, gone);
    // The one who asked left: one who comes back asks again.
    if (gone)
        return Answer::Sent;
    if (AnswerWaitingOn(user, code, target))
        return Answer::Waiting;
    const qint64 now = Now();
    const qint64 bytes = message.GetWritePos() + 4;
    if (target && OutputStuck(*target, now)) {
        ++m_answersRefusedRoom;
        return Answer::NoRoom;
    }
    const qint64 waiting = MakeRoom(user, target, bytes, now);
    // One answer larger than the cap goes when nothing else waits.
    if (waiting > 0 && waiting + bytes > m_maxWaitingOutput) {
        WantRoom(user, now);
        ++m_answersRefusedRoom;
        return Answer::NoRoom;
    }
    ForgetRoomWanted(user);
    const QByteArray body = message.GetWrittenBytes();
    if (!Sendable(user, body))
        return Answer::Sent;
    SendOn(target, user, body);
    const ConnectionPtr c = target && !target->closed ? target : nullptr;
    if (!c || !c->socket) {
        if (m_heldAnswers.size() > m_unsent.size())
            for (auto it = m_heldAnswers.begin(); it != m_heldAnswers.end();)
                it = m_unsent.count(it->first) ? std::next(it) : m_heldAnswers.erase(it);
        if (m_unsent.count(user))
            m_heldAnswers.insert({user, code});
        return Answer::Sent;
    }
    // Everything ahead of it goes to the system first.
    if (!c->pending.empty()) {
        c->pending.back().answer = code;
        c->answersUnwritten[code] = kAnswerQueued;
    } else {
        c->answersUnwritten[code] = c->socket->bytesToWrite();
    }
    return Answer::Sent;
}

PeerMessenger::Answer PeerMessenger::SendSharedAnswer(const QString& user,
                                                      const QByteArray& message, quint64 via) {
    bool gone = false;
    const ConnectionPtr target = ReplyTarget(user, via, gone);
    if (gone)
        return Answer::Sent;
    // Small ones, and those held until a connection opens, go whole.
    if (message.size() < 2 * kAnswerPieceBytes || !target || !target->socket ||
        quint64(message.size()) > PeerLimits::kMaxFrameLength) {
        MemStream whole(message);
        return SendAnswer(user, whole, via);
    }
    const quint32 code = qFromLittleEndian<quint32>(message.constData());
    if (AnswerWaitingOn(user, code, target))
        return Answer::Waiting;
    const qint64 now = Now();
    if (OutputStuck(*target, now)) {
        ++m_answersRefusedRoom;
        return Answer::NoRoom;
    }
    // Room for its first piece: the rest is the caller's until it goes.
    const qint64 bytes = kAnswerPieceBytes;
    const qint64 waiting = MakeRoom(user, target, bytes, now);
    if (target->closed || (waiting > 0 && waiting + bytes > m_maxWaitingOutput)) {
        WantRoom(user, now);
        ++m_answersRefusedRoom;
        return Answer::NoRoom;
    }
    ForgetRoomWanted(user);
    MarkInUse(*target);
    Connection::Pending answer;
    answer.body = message;
    answer.shared = true;
    answer.answer = code;
    answer.key = QRandomGenerator::global()->generate();
    target->pending.push_back(answer);
    target->answersUnwritten[code] = kAnswerQueued;
    Pump(target);
    if (!target->closed)
        Recount(*target);
    return Answer::Sent;
}

bool PeerMessenger::SendOptionalMessage(const QString& user, MemStream& message) {
    // The length field comes on top.
    if (!RoomForOptional(user, message.GetWritePos() + 4))
        return false;
    const auto deaf = m_deafLately.find(user);
    if (deaf != m_deafLately.end())
        deaf->second.tried = Now();
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
