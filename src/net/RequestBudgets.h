#ifndef TAVENOOK_NET_REQUESTBUDGETS_H
#define TAVENOOK_NET_REQUESTBUDGETS_H

#include <QByteArray>
#include <QString>
#include <deque>
#include <list>
#include <map>
#include <unordered_map>

#include "net/PeerLimits.h"

// Budgets per asker and request code (PeerLimits::kRequestBudgets): an asker
// is a user on one connection, as a set-up's name is only the peer's word
// and a stranger under it must spend a budget of his own. A budget
// refills continuously; a request past it waits its turn, up to the code's
// `wait` per user, and is handed back once the budget has refilled by one.
// Past that it is dropped. Every operation costs the same however many users
// are kept: budgets live in a hash, oldest-used first in a list, so that
// full ones (as good as none kept) go from its front; waiting requests are
// found by the time their turn comes.
class RequestBudgets {
public:
    enum class Verdict { Admit, Wait, Drop };

    // `now` is in milliseconds on a steady clock. The payload is kept when
    // the request waits; waiting requests identical to one already waiting
    // are answered by that one and count as admitted into it.
    Verdict Admit(const QString& user, quint64 via, quint32 code, const char* payload, int size,
                  qint64 now);
    // Takes the next waiting request whose turn has come; false when none.
    bool TakeDue(qint64 now, QString& user, quint64& via, quint32& code, QByteArray& payload);
    // When the next waiting request's turn comes; -1 when none waits.
    qint64 NextDue() const;
    // Forgets what the asker has waiting (they left); returns how many.
    int DropWaiting(const QString& user, quint64 via, quint32 code);
    // Takes one from the budget without keeping anything waiting: how the
    // sender follows the budget a peer keeps for it. True for a code
    // without a budget. `own` is a budget of the caller's instead of the
    // code's, kept apart from it.
    bool Take(const QString& user, quint64 via, quint32 code, qint64 now,
              const PeerLimits::RequestBudget* own = nullptr);
    static bool Budgeted(quint32 code) { return BudgetOf(code) != nullptr; }

    int Kept() const { return int(m_index.size()); }
    int Waiting() const { return m_waiting; }
    qint64 WaitingBytes() const { return m_waitingBytes; }

private:
    struct Key {
        QString user;
        quint64 via;
        quint32 code;
        bool operator==(const Key& o) const {
            return code == o.code && via == o.via && user == o.user;
        }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    struct Entry {
        Key key;
        const PeerLimits::RequestBudget* budget = nullptr;
        double left = 0;
        qint64 at = 0;
        std::deque<QByteArray> waiting;
        qint64 waitingBytes = 0;
        // Its place among the waiting turns, when it has some.
        std::multimap<qint64, Entry*>::iterator turn;
        bool queued = false;
    };
    using List = std::list<Entry>;

    static const PeerLimits::RequestBudget* BudgetOf(quint32 code);
    // The user's budget for the code, made full when none is kept.
    Entry& Find(const QString& user, quint64 via, quint32 code,
                const PeerLimits::RequestBudget* budget, qint64 now);
    void Refill(Entry& e, qint64 now) const;
    void Touch(List::iterator it);
    void Expire(qint64 now);
    void Requeue(Entry& e, qint64 now);
    void Unqueue(Entry& e);

    List m_lru;  // least recently used first
    std::unordered_map<Key, List::iterator, KeyHash> m_index;
    std::multimap<qint64, Entry*> m_turns;
    int m_waiting = 0;
    qint64 m_waitingBytes = 0;
};

#endif
