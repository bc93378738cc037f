#include "store/Log.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <new>

#include "store/Data.h"

namespace {

std::atomic<LogSink*> g_sink{nullptr};

// Lines from worker threads waiting for the main thread. A thread that logs
// faster than the main thread can show must not grow the event queue without
// end: beyond this its lines are dropped.
std::atomic<int> g_pending{0};
constexpr int kMaxPending = 20000;

// The handle passed with item-less entries. It is built in static storage and
// never destroyed, so logging does not drag the store's item code into every
// program that logs; a null handle owns nothing, so nothing is lost.
const ItemPtr& NullItem() {
    alignas(ItemPtr) static unsigned char storage[sizeof(ItemPtr)];
    static const ItemPtr* const item = new (storage) ItemPtr();
    return *item;
}

// A line may quote what a peer sent (a file name of any length) and the
// views keep thousands of lines: each is cut to what no line of ours needs.
QString Capped(const QString& text) {
    if (text.size() <= kMaxLogLineLength)
        return text;
    return text.left(kMaxLogLineLength) +
           QString(" ... (%1 characters more)").arg(text.size() - kMaxLogLineLength);
}

void Deliver(const QString& area, int level, const QString& whole, const ItemPtr& item) {
    LogSink* sink = g_sink.load();
    if (!sink)
        return;
    const QString text = Capped(whole);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        sink->Log(area, level, text, item);
        return;
    }
    // The sink touches the store and widgets, which belong to the main
    // thread; the item is left behind, since even copying its handle here
    // would race with the main thread.
    if (g_pending.fetch_add(1) >= kMaxPending) {
        g_pending.fetch_sub(1);
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [area, level, text] {
            g_pending.fetch_sub(1);
            Deliver(area, level, text, NullItem());
        },
        Qt::QueuedConnection);
}

}  // namespace

void SetLogSink(LogSink* sink) {
    g_sink = sink;
}

LogSink* GetLogSink() {
    return g_sink;
}

void Log(const QString& area, int level, const QString& text) {
    Deliver(area, level, text, NullItem());
}

void Log(const QString& area, int level, const QString& text, const ItemPtr& item) {
    Deliver(area, level, text, item);
}
