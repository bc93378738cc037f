#ifndef TAVENOOK_TESTS_SUPPORT_FIFOWATCH_H
#define TAVENOOK_TESTS_SUPPORT_FIFOWATCH_H

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

// Frees the opens that wait on the FIFO at path, once the row has taken far
// too long, by opening its other end again and again until the row ends: a
// hang fails the row, not the run. A writer so freed may get EPIPE, never
// the signal.
class FifoWatch {
public:
    explicit FifoWatch(const QString& path) {
        if (path.isEmpty())
            return;
        std::signal(SIGPIPE, SIG_IGN);
        m_thread = std::thread([this, native = QFile::encodeName(path)] {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto finished = [this] { return m_finished; };
            if (m_done.wait_for(lock, std::chrono::seconds(30), finished))
                return;
            m_freed = true;
            do {
                const int fd = ::open(native.constData(), O_RDWR | O_NONBLOCK);
                if (fd >= 0) {
                    char buffer[4096];
                    while (::read(fd, buffer, sizeof buffer) > 0) {
                    }
                    ::close(fd);
                }
            } while (!m_done.wait_for(lock, std::chrono::milliseconds(50), finished));
        });
    }
    ~FifoWatch() { Finish(); }
    // Whether a wait had to be freed; stops the watch.
    bool Freed() {
        Finish();
        return m_freed;
    }

private:
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    bool m_freed = false;
};

#endif
