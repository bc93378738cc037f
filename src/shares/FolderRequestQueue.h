#ifndef TAVENOOK_SHARES_FOLDERREQUESTQUEUE_H
#define TAVENOOK_SHARES_FOLDERREQUESTQUEUE_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>

// Folder-contents requests waiting for their answer: per asker (a user on
// the connection that asked) in the order asked, a bounded number each, answered one user at a time
// in turn, so that one user's flood neither freezes the window nor keeps others waiting. The
// answers run on the main thread within a budget per event-loop turn and per
// second (net/PeerLimits.h); a large one takes a step per turn of its user,
// so that others' small ones go between.
class FolderRequestQueue : public QObject {
public:
    struct Request {
        QString user;
        quint32 req = 0;
        QString folder;
        // The connection it came on, where its answer goes (0: any of hers).
        quint64 via = 0;
        // One asker's requests and answer, apart from another's under the name.
        QString Asker() const { return via ? user + QChar(0) + QString::number(via) : user; }
    };
    // What a turn did with the user's first request: answered it (or found
    // it cannot be answered at all), made a step of its answer, or nothing
    // (the user cannot take it now, or the answer is being made elsewhere).
    enum class Turn { Done, Step, Later };
    // Takes one turn at a request; a turn takes a step of the main thread's
    // time at most, so that a large answer is made over many turns.
    using Answerer = std::function<Turn(const Request&)>;
    // Whether the asker can take an answer now, asked before one is made.
    using Ready = std::function<bool(const Request& request)>;

    FolderRequestQueue(Answerer answer, Ready ready);

    // False when dropped: the user's share of the queue is full. The same
    // request (number and folder) as the user's last one waiting is answered
    // by it; under another number it is a request of its own.
    bool Add(const QString& user, quint32 req, const QString& folder, quint64 via = 0);
    int Waiting() const { return m_waiting; }
    // Serves what the budgets allow now; the timer calls it.
    void Serve();
    // An answer made elsewhere is ready: serves soon, within the budgets.
    void Wake();

private:
    void Schedule(bool served);

    Answerer m_answer;
    Ready m_ready;
    struct Queue {
        std::deque<Request> requests;
        qint64 bytes = 0;
    };
    static qint64 BytesOf(const Request& r);

    std::map<QString, Queue> m_queues;
    qint64 m_bytes = 0;
    // Users with requests, in the order of their turns.
    std::deque<QString> m_turns;
    int m_waiting = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
    // Main-thread time spent in the current second.
    qint64 m_secondStartNs = 0;
    qint64 m_secondSpentNs = 0;
};

#endif
