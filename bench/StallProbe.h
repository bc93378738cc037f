#ifndef TAVENOOK_BENCH_STALLPROBE_H
#define TAVENOOK_BENCH_STALLPROBE_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

// Runs the event loop, sleeping while it has nothing to do, until `done()`
// holds and returns the longest gap, in ms, between two turns of a timer of
// `probeMs` (1 unless a finer probe would cost more than what is measured):
// the main thread's worst stall.
template <class Done>
double LongestStallUntil(const QElapsedTimer& clock, Done done, int probeMs = 1) {
    double worst = 0;
    // From the call on: a stall before the first turn counts too.
    qint64 last = clock.nsecsElapsed();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, double(now - last) / 1e6);
        last = now;
    });
    probe.start(probeMs);
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // The stretch since the last turn counts too.
    worst = std::max(worst, double(clock.nsecsElapsed() - last) / 1e6);
    return worst;
}

// Runs the event loop until `clock` reaches `untilMs` and returns the longest
// gap, in ms, between two turns of a 1 ms timer: the main thread's worst stall.
inline double LongestStall(const QElapsedTimer& clock, qint64 untilMs) {
    return LongestStallUntil(clock, [&] { return clock.elapsed() >= untilMs; });
}

#endif
