#ifndef TAVENOOK_NET_DROPCOUNTER_H
#define TAVENOOK_NET_DROPCOUNTER_H

#include <QString>
#include <QtGlobal>

// Counts what is dropped of one kind, so that a flood costs one log line per
// interval rather than one per drop. Drops that come within the interval are
// held for the next line; the owner asks for them now and then (Held), so
// that the last drops of a burst are told too and every line counts true.
class DropCounter {
public:
    explicit DropCounter(qint64 intervalMs) : m_intervalMs(intervalMs) {}
    // Counts a drop at `now` (ms), by `user` and of `code` (what the line
    // names as the last); true when a line is due, and then `unlogged` holds
    // the drops it reports (this one included).
    bool Drop(qint64 now, int& unlogged, const QString& user = QString(), quint32 code = 0) {
        ++m_total;
        ++m_unlogged;
        m_lastUser = user;
        m_lastCode = code;
        if (m_loggedAt >= 0 && now - m_loggedAt < m_intervalMs)
            return false;
        return Take(now, unlogged);
    }
    // The drops held since the last line, once the interval since it has
    // passed: true, with their count and the last one's user and code.
    bool Held(qint64 now, int& unlogged, QString& user, quint32& code) {
        if (m_unlogged == 0 || (m_loggedAt >= 0 && now - m_loggedAt < m_intervalMs))
            return false;
        user = m_lastUser;
        code = m_lastCode;
        return Take(now, unlogged);
    }
    int Unlogged() const { return m_unlogged; }
    qint64 Total() const { return m_total; }
    qint64 IntervalMs() const { return m_intervalMs; }

private:
    bool Take(qint64 now, int& unlogged) {
        unlogged = m_unlogged;
        m_unlogged = 0;
        m_loggedAt = now;
        m_lastUser.clear();
        return true;
    }

    qint64 m_intervalMs;
    qint64 m_total = 0;
    int m_unlogged = 0;
    qint64 m_loggedAt = -1;
    QString m_lastUser;
    quint32 m_lastCode = 0;
};

#endif
