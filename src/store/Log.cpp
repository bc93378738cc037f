#include "store/Log.h"

#include <new>

#include "store/Data.h"

namespace {

LogSink* g_sink = nullptr;

// The handle passed with item-less entries. It is built in static storage and
// never destroyed, so logging does not drag the store's item code into every
// program that logs; a null handle owns nothing, so nothing is lost.
const ItemPtr& NullItem() {
    alignas(ItemPtr) static unsigned char storage[sizeof(ItemPtr)];
    static const ItemPtr* const item = new (storage) ItemPtr();
    return *item;
}

}  // namespace

void SetLogSink(LogSink* sink) {
    g_sink = sink;
}

LogSink* GetLogSink() {
    return g_sink;
}

void Log(const QString& area, int level, const QString& text) {
    if (g_sink)
        g_sink->Log(area, level, text, NullItem());
}

void Log(const QString& area, int level, const QString& text, const ItemPtr& item) {
    if (g_sink)
        g_sink->Log(area, level, text, item);
}
