#pragma once

#include <sys/resource.h>

#include <QStringList>
#include <csignal>

#include "store/Log.h"

// The log's lines while it lives, passed on to the sink before it.
struct LogLines : LogSink {
    QStringList lines;
    LogSink* was = GetLogSink();
    LogLines() { SetLogSink(this); }
    ~LogLines() override { SetLogSink(was); }
    void Log(const QString& area, int level, const QString& text, const ItemPtr& item) override {
        lines << text;
        if (was)
            was->Log(area, level, text, item);
    }
};

// Writes past `bytes` of any file fail with EFBIG while it lives, as on a
// small or full file system; SIGXFSZ is ignored so that the write returns.
struct FileSizeLimit {
    rlimit was{};
    void (*handler)(int) = nullptr;
    explicit FileSizeLimit(rlim_t bytes) {
        handler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &was);
        rlimit now = was;
        now.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &now);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, handler);
    }
};
