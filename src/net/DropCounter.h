#ifndef TAVENOOK_NET_DROPCOUNTER_H
#define TAVENOOK_NET_DROPCOUNTER_H

#include <QString>
#include <QtGlobal>

// Counts what is dropped of one kind, so that a flood costs one log line per
// interval rather than one per drop.
class DropCounter {
public:
    explicit DropCounter(qint64 intervalMs) : m_intervalMs(intervalMs) {}
    // Counts a drop at `now` (ms); true when a line is due, and then
    // `unlogged` holds the drops it reports (this one included).
    bool Drop(qint64 now, int& unlogged) {
        ++m_total;
        ++m_unlogged;
        if (m_loggedAt >= 0 && now - m_loggedAt < m_intervalMs)
            return false;
        unlogged = m_unlogged;
        m_unlogged = 0;
        m_loggedAt = now;
        return true;
    }
    qint64 Total() const { return m_total; }

private:
    qint64 m_intervalMs;
    qint64 m_total = 0;
    int m_unlogged = 0;
    qint64 m_loggedAt = -1;
};

#endif
