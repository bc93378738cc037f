#include "net/RequestBudgets.h"

#include <QHash>
#include <algorithm>
#include <cmath>
#include <cstring>

std::size_t RequestBudgets::KeyHash::operator()(const Key& k) const {
    // Seeded per process, so that names cannot be chosen to collide.
    return std::size_t(qHash(k.user, qGlobalQHashSeed())) ^ (std::size_t(k.code) * 0x9E3779B9u) ^
           std::size_t(qHash(k.via, qGlobalQHashSeed()));
}

const PeerLimits::RequestBudget* RequestBudgets::BudgetOf(quint32 code) {
    for (const PeerLimits::RequestBudget& budget : PeerLimits::kRequestBudgets)
        if (budget.code == code)
            return &budget;
    return nullptr;
}

void RequestBudgets::Refill(Entry& e, qint64 now) const {
    // By the fraction: a client asking at a steady pace under the budget's
    // never runs dry.
    if (now > e.at)
        e.left = std::min(double(e.budget->burst),
                          e.left + double(now - e.at) / double(e.budget->refillMs));
    e.at = std::max(e.at, now);
}

void RequestBudgets::Touch(List::iterator it) {
    m_lru.splice(m_lru.end(), m_lru, it);
}

void RequestBudgets::Unqueue(Entry& e) {
    if (e.queued)
        m_turns.erase(e.turn);
    e.queued = false;
}

void RequestBudgets::Requeue(Entry& e, qint64 now) {
    Unqueue(e);
    if (e.waiting.empty())
        return;
    const double missing = std::max(0.0, 1.0 - e.left);
    const qint64 due = now + qint64(std::ceil(missing * double(e.budget->refillMs)));
    e.turn = m_turns.emplace(due, &e);
    e.queued = true;
}

void RequestBudgets::Expire(qint64 now) {
    // A full budget with nothing waiting is as good as none kept. Those used
    // longest ago come first; one still refilling ends the look, and is
    // itself full within its code's refill time. Past the hard cap the
    // oldest goes even when not full; one with requests waiting goes to
    // the back instead, a few at a time.
    int passes = 0;
    while (!m_lru.empty()) {
        Entry& e = m_lru.front();
        const bool overCap = int(m_index.size()) > PeerLimits::kMaxKeptBudgets;
        if (e.waiting.empty()) {
            Refill(e, now);
            if (e.left < double(e.budget->burst) && !overCap)
                return;
            m_index.erase(e.key);
            m_lru.pop_front();
            continue;
        }
        if (!overCap || ++passes > 4)
            return;
        Touch(m_lru.begin());
    }
}

RequestBudgets::Entry& RequestBudgets::Find(const QString& user, quint64 via, quint32 code,
                                            const PeerLimits::RequestBudget* budget, qint64 now) {
    Expire(now);
    Key key{user, via, code};
    auto found = m_index.find(key);
    if (found == m_index.end()) {
        Entry fresh;
        fresh.key = key;
        fresh.budget = budget;
        fresh.left = budget->burst;
        fresh.at = now;
        m_lru.push_back(std::move(fresh));
        found = m_index.emplace(std::move(key), std::prev(m_lru.end())).first;
    } else {
        Touch(found->second);
    }
    Entry& e = *found->second;
    Refill(e, now);
    return e;
}

bool RequestBudgets::Take(const QString& user, quint64 via, quint32 code, qint64 now,
                          const PeerLimits::RequestBudget* own) {
    const PeerLimits::RequestBudget* budget = own ? own : BudgetOf(code);
    if (!budget)
        return true;
    // Codes are below 2^31: an own budget takes a key no code has.
    Entry& e = Find(user, via, own ? code | 0x80000000u : code, budget, now);
    if (!e.waiting.empty() || e.left < 1)
        return false;
    e.left -= 1;
    return true;
}

RequestBudgets::Verdict RequestBudgets::Admit(const QString& user, quint64 via, quint32 code,
                                              const char* payload, int size, qint64 now) {
    const PeerLimits::RequestBudget* budget = BudgetOf(code);
    if (!budget)
        return Verdict::Admit;
    Entry& e = Find(user, via, code, budget, now);
    // Those that wait go first, in the order asked.
    if (e.waiting.empty() && e.left >= 1) {
        e.left -= 1;
        return Verdict::Admit;
    }
    // The same request again is answered by the one waiting.
    if (!e.waiting.empty() && e.waiting.back().size() == size &&
        (size == 0 || std::memcmp(e.waiting.back().constData(), payload, std::size_t(size)) == 0))
        return Verdict::Wait;
    const qint64 bytes = qint64(size) + PeerLimits::kWaitingRequestOverhead;
    if (int(e.waiting.size()) >= budget->wait ||
        e.waitingBytes + bytes > PeerLimits::kMaxWaitingRequestBytesPerUser ||
        m_waitingBytes + bytes > PeerLimits::kMaxWaitingRequestBytesTotal)
        return Verdict::Drop;
    e.waiting.emplace_back(payload, size);
    e.waitingBytes += bytes;
    m_waitingBytes += bytes;
    ++m_waiting;
    if (!e.queued)
        Requeue(e, now);
    return Verdict::Wait;
}

bool RequestBudgets::TakeDue(qint64 now, QString& user, quint64& via, quint32& code,
                             QByteArray& payload) {
    while (!m_turns.empty() && m_turns.begin()->first <= now) {
        Entry& e = *m_turns.begin()->second;
        Refill(e, now);
        if (e.left < 1) {
            Requeue(e, now);
            continue;
        }
        e.left -= 1;
        user = e.key.user;
        via = e.key.via;
        code = e.key.code;
        payload = std::move(e.waiting.front());
        e.waiting.pop_front();
        const qint64 size = payload.size() + PeerLimits::kWaitingRequestOverhead;
        e.waitingBytes -= size;
        m_waitingBytes -= size;
        --m_waiting;
        Requeue(e, now);
        return true;
    }
    return false;
}

qint64 RequestBudgets::NextDue() const {
    return m_turns.empty() ? -1 : m_turns.begin()->first;
}

int RequestBudgets::DropWaiting(const QString& user, quint64 via, quint32 code) {
    const auto found = m_index.find(Key{user, via, code});
    if (found == m_index.end())
        return 0;
    Entry& e = *found->second;
    const int n = int(e.waiting.size());
    m_waiting -= n;
    m_waitingBytes -= e.waitingBytes;
    e.waiting.clear();
    e.waitingBytes = 0;
    Unqueue(e);
    return n;
}
