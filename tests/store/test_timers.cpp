// The delayed invoker's coalescing and its safety with destroyed targets.
// "Did not happen" is shown by a later call that did, or by nothing pending.

#include <QPointer>
#include <QtTest>
#include <functional>
#include <memory>

#include "store/DelayedInvoker.h"

class Target : public QObject {
    Q_OBJECT

public:
    int sorts = 0;
    int requestsFromSort = 0;  // further Sort requests Sort makes itself
    std::function<void()> onRefresh = [] {};

public slots:
    void Sort() {
        ++sorts;
        if (requestsFromSort-- > 0)
            delayedInvoker->Invoke(this, "Sort()", 0);
    }
    void Refresh() { onRefresh(); }
};

class TestTimers : public QObject {
    Q_OBJECT

private slots:
    void init() { m_invoker = std::make_unique<DelayedInvoker>(); }
    void cleanup() {
        m_invoker.reset();
        QVERIFY(delayedInvoker == nullptr);
    }

    void coalescing() {
        // A burst, and every form of one slot's name, make one call per object
        // and slot, never from inside Invoke; a later, shorter request is
        // dropped, so a call asked for in between runs first.
        Target a, b, marker;
        int sortsWhenMarked = -1;
        marker.onRefresh = [&] { sortsWhenMarked = a.sorts; };
        for (int k = 0; k < 100; ++k)
            delayedInvoker->Invoke(&a, "Sort()", 200);
        delayedInvoker->Invoke(&a, "Sort", 0);
        delayedInvoker->Invoke(&a, " Sort ( ) ", 0);
        delayedInvoker->Invoke(&b, "Sort", -100);
        delayedInvoker->Invoke(&marker, "Refresh", 100);
        QVERIFY(delayedInvoker->PendingCount() == 3 && a.sorts + b.sorts == 0);
        QTRY_VERIFY(a.sorts == 1 && b.sorts == 1);
        QVERIFY(sortsWhenMarked == 0 && delayedInvoker->PendingCount() == 0);
        // After the call a request is new, also one made by the slot itself.
        a.requestsFromSort = 2;
        delayedInvoker->Invoke(&a, "Sort()", 0);
        QTRY_COMPARE(a.sorts, 4);
        QVERIFY(delayedInvoker->PendingCount() == 0);
    }

    void destroyedTargets() {
        // Deleted while pending, at once or through deleteLater: its calls are
        // dropped (ASan would see a call on freed memory).
        auto* doomed = new Target;
        Target survivor;
        delayedInvoker->Invoke(doomed, "Sort()", 0);
        delayedInvoker->Invoke(doomed, "Refresh()", 0);
        delayedInvoker->Invoke(&survivor, "Sort()", 0);
        delete doomed;
        QCOMPARE(delayedInvoker->PendingCount(), 1);
        QPointer<Target> later = new Target;
        delayedInvoker->Invoke(later, "Sort()", 40);
        later->deleteLater();
        QTRY_VERIFY(later.isNull() && survivor.sorts == 1);
        QCOMPARE(delayedInvoker->PendingCount(), 0);
        // A new object at a dead one's address is not taken as already pending.
        alignas(Target) unsigned char storage[sizeof(Target)];
        auto* first = new (storage) Target;
        delayedInvoker->Invoke(first, "Sort()", 0);
        first->~Target();
        auto* second = new (storage) Target;
        delayedInvoker->Invoke(second, "Sort()", 0);
        QCOMPARE(delayedInvoker->PendingCount(), 1);
        QTRY_COMPARE(second->sorts, 1);
        second->~Target();
        // Pending calls of a destroyed invoker never run: a call asked of a new
        // invoker after they would have fallen due runs alone.
        Target target;
        int sortsWhenMarked = -1;
        target.onRefresh = [&] { sortsWhenMarked = target.sorts; };
        delayedInvoker->Invoke(&target, "Sort()", 0);
        m_invoker = std::make_unique<DelayedInvoker>();
        delayedInvoker->Invoke(&target, "Refresh()", 20);
        QTRY_COMPARE(sortsWhenMarked, 0);
    }

private:
    std::unique_ptr<DelayedInvoker> m_invoker;
};

QTEST_GUILESS_MAIN(TestTimers)
#include "test_timers.moc"
