#ifndef TAVENOOK_SHARES_SEARCHLINE_H
#define TAVENOOK_SHARES_SEARCHLINE_H

#include <QString>
#include <algorithm>
#include <deque>
#include <functional>
#include <optional>

// Searches waiting for their turn to be copied, in the order they came,
// bounded in all and per user. Users who take what we send them go first,
// and a full line still takes such a user's search in place of the newest
// of one who does not: strangers who never read cannot keep out one who
// does. Costs a walk of the line, which its bound keeps short.
class SearchLine {
public:
    struct Search {
        QString user;
        quint32 ticket = 0;
        QString search;
    };
    using UserTest = std::function<bool(const QString&)>;

    SearchLine(std::size_t most, std::size_t mostPerUser) : m_most(most), m_perUser(mostPerUser) {}

    // False when the line holds the user's share or is full; `dropped` is
    // set to a search that gave way to this one.
    bool Add(const Search& s, const UserTest& reads, std::optional<Search>& dropped) {
        const auto mine = std::size_t(std::count_if(
            m_line.begin(), m_line.end(), [&s](const Search& w) { return w.user == s.user; }));
        if (mine >= m_perUser)
            return false;
        if (m_line.size() >= m_most) {
            if (!reads(s.user))
                return false;
            const auto last = std::find_if(m_line.rbegin(), m_line.rend(),
                                           [&reads](const Search& w) { return !reads(w.user); });
            if (last == m_line.rend())
                return false;
            dropped = *last;
            m_line.erase(std::next(last).base());
        }
        m_line.push_back(s);
        return true;
    }

    // Takes the first search whose user is not busy and reads, else the
    // first whose user is not busy; false when every user is busy.
    bool TakeNext(const UserTest& busy, const UserTest& reads, Search& next) {
        auto chosen = m_line.end();
        for (auto w = m_line.begin(); w != m_line.end(); ++w) {
            if (busy(w->user))
                continue;
            if (reads(w->user)) {
                chosen = w;
                break;
            }
            if (chosen == m_line.end())
                chosen = w;
        }
        if (chosen == m_line.end())
            return false;
        next = *chosen;
        m_line.erase(chosen);
        return true;
    }

    bool Empty() const { return m_line.empty(); }
    std::size_t Size() const { return m_line.size(); }

private:
    std::size_t m_most;
    std::size_t m_perUser;
    std::deque<Search> m_line;
};

#endif
