#ifndef TAVENOOK_STORE_LOG_H
#define TAVENOOK_STORE_LOG_H

#include <QString>

class ItemPtr;

// Implemented by the diagnostics view; the core only knows this interface.
// Longer lines reach the sink cut to this many characters, with a note of
// how many more there were.
constexpr int kMaxLogLineLength = 1024;

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Log(const QString& area, int level, const QString& text, const ItemPtr& item) = 0;
};

// Installs the sink (null to remove it). Main thread only.
void SetLogSink(LogSink* sink);
LogSink* GetLogSink();

// The program-wide diagnostic log entry point: passes its arguments to the
// sink when one is installed and does nothing otherwise. Any thread may call
// it: a line from another thread reaches the sink later on the main thread,
// without its item.
void Log(const QString& area, int level, const QString& text);
void Log(const QString& area, int level, const QString& text, const ItemPtr& item);

#endif
