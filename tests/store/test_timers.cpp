#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "store/DelayedInvoker.h"
#include "store/Log.h"
#include "store/TimerManager.h"

namespace {

class Target : public QObject {
    Q_OBJECT

public:
    int sorts = 0;
    int refreshes = 0;
    int requestsFromSort = 0;  // how many more Sort requests Sort makes itself
    int plainCalls = 0;

    void NotASlot() { ++plainCalls; }

public slots:
    void Sort() {
        ++sorts;
        if (requestsFromSort > 0) {
            --requestsFromSort;
            delayedInvoker->Invoke(this, "Sort()", 0);
        }
    }
    void Refresh() { ++refreshes; }
    void TakesArgument(int) {}
};

class RecordingSink : public LogSink {
public:
    QStringList lines;
    void Log(const QString& area, int level, const QString& text, const ItemPtr&) override {
        lines << QString("%1/%2/%3").arg(area).arg(level).arg(text);
    }
};

// Runs the event loop for the given time.
void Spin(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
}

}  // namespace

class TestTimers : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void timerManager();
    void burstGivesOneCall();
    void newRequestAfterCallStartsNewDelay();
    void slotsAndObjectsAreIndependent();
    void slotNameForms();
    void zeroAndNegativeDelay();
    void deletedTargetGetsNoCall();
    void newObjectAtSameAddressIsNotPending();
    void refusedRequests();
    void invokerDestroyedWithPendingCalls();

private:
    std::unique_ptr<DelayedInvoker> m_invoker;
    RecordingSink m_sink;
};

void TestTimers::init() {
    m_invoker = std::make_unique<DelayedInvoker>();
    m_sink.lines.clear();
    SetLogSink(&m_sink);
}

void TestTimers::cleanup() {
    SetLogSink(nullptr);
    m_invoker.reset();
    QCOMPARE(delayedInvoker, static_cast<DelayedInvoker*>(nullptr));
}

void TestTimers::timerManager() {
    QCOMPARE(::timerManager, static_cast<TimerManager*>(nullptr));
    {
        TimerManager manager;
        QCOMPARE(::timerManager, &manager);
        const QTimer* timers[] = {&manager.everyHalfMinute, &manager.everyFiveMinutes,
                                  &manager.everyHour};
        const int intervals[] = {30000, 300000, 3600000};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(timers[i]->interval(), intervals[i]);
            QVERIFY(timers[i]->isActive());
            QVERIFY(!timers[i]->isSingleShot());
        }
        // Declaration order is part of the interface.
        QVERIFY(static_cast<const void*>(&manager.everyHalfMinute) <
                static_cast<const void*>(&manager.everyFiveMinutes));
        QVERIFY(static_cast<const void*>(&manager.everyFiveMinutes) <
                static_cast<const void*>(&manager.everyHour));
    }
    QCOMPARE(::timerManager, static_cast<TimerManager*>(nullptr));

    // The newest manager holds the global; an older one's death leaves it.
    {
        auto older = std::make_unique<TimerManager>();
        auto newer = std::make_unique<TimerManager>();
        QCOMPARE(::timerManager, newer.get());
        older.reset();
        QCOMPARE(::timerManager, newer.get());
        newer.reset();
        QCOMPARE(::timerManager, static_cast<TimerManager*>(nullptr));
    }

    // The timers really fire repeatedly (interval shortened for the test).
    TimerManager manager;
    QSignalSpy ticks(&manager.everyHalfMinute, &QTimer::timeout);
    manager.everyHalfMinute.setInterval(5);
    manager.everyHalfMinute.start();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 5000);
}

void TestTimers::burstGivesOneCall() {
    QCOMPARE(delayedInvoker, m_invoker.get());
    Target target;
    for (int i = 0; i < 100; ++i)
        delayedInvoker->Invoke(&target, "Sort()", 50);
    QCOMPARE(delayedInvoker->PendingCount(), 1);
    QCOMPARE(target.sorts, 0);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 1, 5000);
    QCOMPARE(delayedInvoker->PendingCount(), 0);
    Spin(120);
    QCOMPARE(target.sorts, 1);
}

void TestTimers::newRequestAfterCallStartsNewDelay() {
    Target target;
    delayedInvoker->Invoke(&target, "Sort()", 20);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 1, 5000);
    delayedInvoker->Invoke(&target, "Sort()", 20);
    delayedInvoker->Invoke(&target, "Sort()", 20);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 2, 5000);
    Spin(60);
    QCOMPARE(target.sorts, 2);

    // A request made by the slot itself is a new one, not dropped as pending.
    target.requestsFromSort = 2;
    delayedInvoker->Invoke(&target, "Sort()", 0);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 5, 5000);
    Spin(30);
    QCOMPARE(target.sorts, 5);
    QCOMPARE(delayedInvoker->PendingCount(), 0);
}

void TestTimers::slotsAndObjectsAreIndependent() {
    Target a;
    Target b;
    delayedInvoker->Invoke(&a, "Sort()", 20);
    delayedInvoker->Invoke(&a, "Refresh()", 20);
    delayedInvoker->Invoke(&b, "Sort()", 20);
    delayedInvoker->Invoke(&a, "Sort()", 20);
    delayedInvoker->Invoke(&b, "Refresh()", 20);
    QCOMPARE(delayedInvoker->PendingCount(), 4);
    QTRY_VERIFY_WITH_TIMEOUT(a.sorts == 1 && a.refreshes == 1 && b.sorts == 1 && b.refreshes == 1,
                             5000);
    Spin(50);
    QCOMPARE(a.sorts + a.refreshes + b.sorts + b.refreshes, 4);

    // The first request's delay holds: a later, shorter request is dropped.
    delayedInvoker->Invoke(&a, "Sort()", 300);
    delayedInvoker->Invoke(&a, "Sort()", 0);
    Spin(100);
    QCOMPARE(a.sorts, 1);
    QTRY_COMPARE_WITH_TIMEOUT(a.sorts, 2, 5000);
}

void TestTimers::slotNameForms() {
    Target target;
    // All of these name the same slot, so they coalesce.
    delayedInvoker->Invoke(&target, "Sort", 20);
    delayedInvoker->Invoke(&target, "Sort()", 20);
    delayedInvoker->Invoke(&target, " Sort ( ) ", 20);
    QCOMPARE(delayedInvoker->PendingCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 1, 5000);
    Spin(50);
    QCOMPARE(target.sorts, 1);
    QVERIFY(m_sink.lines.isEmpty());
}

void TestTimers::zeroAndNegativeDelay() {
    Target target;
    delayedInvoker->Invoke(&target, "Sort()", 0);
    delayedInvoker->Invoke(&target, "Refresh()", -100);
    // Never called from inside Invoke itself.
    QCOMPARE(target.sorts, 0);
    QCOMPARE(target.refreshes, 0);
    QTRY_VERIFY_WITH_TIMEOUT(target.sorts == 1 && target.refreshes == 1, 5000);
}

void TestTimers::deletedTargetGetsNoCall() {
    // Deleted while pending: nothing fires on freed memory (ASan would see it).
    auto* doomed = new Target;
    auto* survivor = new Target;
    delayedInvoker->Invoke(doomed, "Sort()", 30);
    delayedInvoker->Invoke(doomed, "Refresh()", 0);
    delayedInvoker->Invoke(survivor, "Sort()", 30);
    delete doomed;
    QCOMPARE(delayedInvoker->PendingCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(survivor->sorts, 1, 5000);
    Spin(60);

    // Deleted later through deleteLater, after its call was requested.
    QPointer<Target> later = new Target;
    delayedInvoker->Invoke(later, "Sort()", 40);
    later->deleteLater();
    QTRY_VERIFY_WITH_TIMEOUT(later.isNull(), 5000);
    Spin(80);
    QCOMPARE(delayedInvoker->PendingCount(), 0);

    delete survivor;
    QCOMPARE(delayedInvoker->PendingCount(), 0);
}

void TestTimers::newObjectAtSameAddressIsNotPending() {
    // Allocate in one reused buffer so that the second object really has the
    // first one's address.
    alignas(Target) unsigned char storage[sizeof(Target)];
    auto* first = new (storage) Target;
    delayedInvoker->Invoke(first, "Sort()", 30);
    first->~Target();

    auto* second = new (storage) Target;
    QCOMPARE(static_cast<void*>(second), static_cast<void*>(first));
    delayedInvoker->Invoke(second, "Sort()", 30);
    QCOMPARE(delayedInvoker->PendingCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(second->sorts, 1, 5000);
    Spin(60);
    QCOMPARE(second->sorts, 1);
    second->~Target();
}

void TestTimers::refusedRequests() {
    Target target;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("NoSuchSlot"));
    delayedInvoker->Invoke(&target, "NoSuchSlot()", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TakesArgument"));
    delayedInvoker->Invoke(&target, "TakesArgument(int)", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TakesArgument"));
    delayedInvoker->Invoke(&target, "TakesArgument", 0);
    // Not known to the meta-object system, so it cannot be called by name.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("NotASlot"));
    delayedInvoker->Invoke(&target, "NotASlot()", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("null object"));
    delayedInvoker->Invoke(nullptr, "Sort()", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no slot"));
    delayedInvoker->Invoke(&target, "", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no slot"));
    delayedInvoker->Invoke(&target, "()", 0);
    QCOMPARE(delayedInvoker->PendingCount(), 0);
    QCOMPARE(m_sink.lines.size(), 7);
    QVERIFY(m_sink.lines.first().contains("NoSuchSlot"));
    Spin(30);
    QCOMPARE(target.plainCalls, 0);

    // The invoker is still usable afterwards.
    delayedInvoker->Invoke(&target, "Sort", 0);
    QTRY_COMPARE_WITH_TIMEOUT(target.sorts, 1, 5000);
}

void TestTimers::invokerDestroyedWithPendingCalls() {
    Target target;
    delayedInvoker->Invoke(&target, "Sort()", 10);
    m_invoker.reset();
    QCOMPARE(delayedInvoker, static_cast<DelayedInvoker*>(nullptr));
    Spin(40);
    QCOMPARE(target.sorts, 0);
    // The target outlives the invoker and is destroyed without trouble.
    m_invoker = std::make_unique<DelayedInvoker>();
}

QTEST_GUILESS_MAIN(TestTimers)
#include "test_timers.moc"
