#include <algorithm>

#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "store/Log.h"

// Budgets per user for requests that cost us work or output.

namespace {

const PeerLimits::RequestBudget* BudgetOf(quint32 code) {
    for (const PeerLimits::RequestBudget& budget : PeerLimits::kRequestBudgets)
        if (budget.code == code)
            return &budget;
    return nullptr;
}

// What is left of a budget last left at `left` when `elapsed` ms have passed.
double Refilled(const PeerLimits::RequestBudget& budget, double left, qint64 elapsed) {
    return std::min(double(budget.burst), left + double(elapsed) / double(budget.refillMs));
}

}  // namespace

bool PeerMessenger::AdmitRequest(const QString& user, quint32 code) {
    const PeerLimits::RequestBudget* budget = BudgetOf(code);
    if (!budget)
        return true;
    const qint64 now = Now();
    // A full budget is as good as none kept: users who come and go leave
    // nothing behind.
    if (m_budgets.size() > std::size_t(2 * PeerLimits::kMaxMessagingConnections))
        for (auto it = m_budgets.begin(); it != m_budgets.end();)
            it = Refilled(*BudgetOf(it->first.second), it->second.left, now - it->second.at) >=
                         BudgetOf(it->first.second)->burst
                     ? m_budgets.erase(it)
                     : std::next(it);
    auto kept =
        m_budgets.try_emplace({user, code}, RequestBudgetLeft{double(budget->burst), now}).first;
    RequestBudgetLeft& left = kept->second;
    left.left = Refilled(*budget, left.left, now - left.at);
    left.at = now;
    if (left.left >= 1) {
        left.left -= 1;
        return true;
    }
    int unlogged = 0;
    if (m_droppedRequests.Drop(now, unlogged))
        Log("Peer Messenger", 1,
            QString("%1 requests past their user's budget dropped, the last code %2 from %3.")
                .arg(unlogged)
                .arg(code)
                .arg(user));
    return false;
}
