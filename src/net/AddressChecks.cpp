#include <algorithm>

#include "net/PeerConnection.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"

// What waits for the server's word on a name is bounded like every other
// cost a stranger can make us bear: names are free, so a flood of fresh ones
// must end its own checks, never an honest newcomer's from another address,
// and must not queue questions for the server without end.

void PeerMessenger::HoldCheck(const ConnectionPtr& c) {
    const qint64 bytes =
        qint64(c->held.size()) + 2 * qint64(c->user.size()) + PeerLimits::kCheckOverhead;
    for (;;) {
        const auto own = m_heldChecks.find(c->peerIp);
        quint32 from = c->peerIp;
        if (own != m_heldChecks.end() &&
            (int(own->second.checks.size()) >= PeerLimits::kMaxChecksPerAddress ||
             own->second.bytes + bytes > PeerLimits::kMaxCheckBytesPerAddress)) {
            // Its own address's oldest.
        } else if (m_checksHeld >= PeerLimits::kMaxChecks ||
                   m_checkBytesHeld + bytes > PeerLimits::kMaxCheckBytes) {
            // The oldest of the address holding the most: many hosts' worth
            // of addresses before it is one honest newcomer's.
            const bool byCount = m_checksHeld >= PeerLimits::kMaxChecks;
            const auto most = std::max_element(
                m_heldChecks.begin(), m_heldChecks.end(), [byCount](const auto& a, const auto& b) {
                    return byCount ? a.second.checks.size() < b.second.checks.size()
                                   : a.second.bytes < b.second.bytes;
                });
            if (most == m_heldChecks.end())
                break;
            from = most->first;
        } else {
            break;
        }
        EndOldestCheck(from);
    }
    // Ended meanwhile by what the ended checks' messages did.
    if (c->closed || c->check != Connection::Checking)
        return;
    HeldChecks& mine = m_heldChecks[c->peerIp];
    mine.checks.emplace_back(c->id, bytes);
    mine.bytes += bytes;
    ++m_checksHeld;
    m_checkBytesHeld += bytes;
    if (!mine.inTurn) {
        mine.inTurn = true;
        m_askTurns.push_back(c->peerIp);
    }
}

void PeerMessenger::EndOldestCheck(quint32 ip) {
    const auto held = m_heldChecks.find(ip);
    if (held == m_heldChecks.end() || held->second.checks.empty())
        return;
    const quint64 id = held->second.checks.front().first;
    if (const ConnectionPtr c = FindConnection(id)) {
        Unwait(*c);
        EndCheck(c);
    }
    DropHeld(ip, id);
}

void PeerMessenger::ReleaseCheck(const Connection& c) {
    DropHeld(c.peerIp, c.id);
}

void PeerMessenger::DropHeld(quint32 ip, quint64 id) {
    const auto held = m_heldChecks.find(ip);
    if (held == m_heldChecks.end())
        return;
    auto& checks = held->second.checks;
    const auto it = std::find_if(checks.begin(), checks.end(),
                                 [id](const auto& check) { return check.first == id; });
    if (it == checks.end())
        return;
    held->second.bytes -= it->second;
    m_checkBytesHeld -= it->second;
    --m_checksHeld;
    checks.erase(it);
    if (!checks.empty())
        return;
    const auto turn = std::find(m_askTurns.begin(), m_askTurns.end(), ip);
    if (turn != m_askTurns.end())
        m_askTurns.erase(turn);
    m_heldChecks.erase(held);
}

void PeerMessenger::AskAddresses() {
    while (gp_server && int(m_questions.size()) < PeerLimits::kMaxAddressQuestions &&
           !m_askTurns.empty()) {
        const quint32 ip = m_askTurns.front();
        const auto held = m_heldChecks.find(ip);
        if (held == m_heldChecks.end()) {
            m_askTurns.pop_front();
            continue;
        }
        // The oldest check of the address whose name is not asked about
        // yet, and whether another waits behind it.
        QString user;
        bool more = false;
        for (const auto& check : held->second.checks) {
            const ConnectionPtr c = FindConnection(check.first);
            if (!c || m_questions.count(c->user) || c->user == user || Proving(c->user))
                continue;
            if (!user.isNull()) {
                more = true;
                break;
            }
            user = c->user;
        }
        if (!user.isNull() && !gp_server->GetPeerAddress(user))
            return;  // the link is behind: asked again as it catches up
        // Looked up again: a link lost on the write may have ended checks.
        if (!m_askTurns.empty() && m_askTurns.front() == ip)
            m_askTurns.pop_front();
        const auto still = m_heldChecks.find(ip);
        if (still != m_heldChecks.end()) {
            still->second.inTurn = more;
            if (more)
                m_askTurns.push_back(ip);
        }
        if (user.isNull())
            continue;
        const quint64 number = ++m_questionCount;
        m_questions[user] = number;
        m_questionOrder.emplace(number, std::make_pair(Now(), user));
    }
}

bool PeerMessenger::Proving(const QString& user) const {
    // Asked to prove another address of hers: the server said its word
    // already, and asking again before her token comes would only repeat it.
    const auto asked = m_askedAt.find(user);
    return asked != m_askedAt.end() && Now() - asked->second < PeerLimits::kAddressCheckMs / 2;
}

void PeerMessenger::AddressAnswered(const QString& user) {
    const auto asked = m_questions.find(user);
    if (asked == m_questions.end())
        return;
    m_questionOrder.erase(asked->second);
    m_questions.erase(asked);
    AskAddresses();
}

void PeerMessenger::ExpireQuestions(qint64 now) {
    // A question the server never answered frees its place, and a name
    // still checked is asked again while its checks have time left.
    while (!m_questionOrder.empty() &&
           now - m_questionOrder.begin()->second.first >= PeerLimits::kAddressCheckMs / 2) {
        m_questions.erase(m_questionOrder.begin()->second.second);
        m_questionOrder.erase(m_questionOrder.begin());
    }
    AskAddresses();
}
