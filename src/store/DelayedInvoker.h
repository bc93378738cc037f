#ifndef TAVENOOK_STORE_DELAYEDINVOKER_H
#define TAVENOOK_STORE_DELAYEDINVOKER_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

// Coalesces repeated requests for one argument-less slot of one object into a
// single call after a delay. Main thread only; targets must live in the main
// thread and must not be handed over from inside QObject's own destructor.
class DelayedInvoker : public QObject {
    Q_OBJECT

public:
    explicit DelayedInvoker(QObject* parent = nullptr);
    ~DelayedInvoker() override;

    // Calls object's slot once, ms milliseconds from now, unless a call of that
    // slot on that object is already pending (then the request is dropped).
    // The slot is named "Name()" or "Name"; ms <= 0 means the next event-loop
    // turn. A destroyed object's pending calls are dropped.
    void Invoke(QObject* object, QString slot, int ms);

    // Number of calls waiting; for diagnostics and tests.
    int PendingCount() const { return m_pending.size(); }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Pending {
        QPointer<QObject> target;
        QObject* address;  // key of the target while it lives; never dereferenced
        QByteArray method;
    };

    int FindPending(const QObject* object, const QByteArray& method) const;
    bool HasPendingFor(const QObject* object) const;
    void OnTargetDestroyed(QObject* object);

    QHash<int, Pending> m_pending;  // by timer id
};

extern DelayedInvoker* delayedInvoker;

#endif
