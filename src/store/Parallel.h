#ifndef TAVENOOK_STORE_PARALLEL_H
#define TAVENOOK_STORE_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

// Whole-store passes (the sweep before a save, gathering what a save writes)
// spend their time in cache misses on items all over the heap; on a large
// store a few threads overlap them. The store is not changed meanwhile: the
// main thread waits for them.
namespace parallel {

// Threads for going through this many items: one for fewer than `least`, as
// a thread costs more than it saves on them.
inline std::size_t Threads(std::size_t items, std::size_t least = 200000) {
    if (items < least)
        return 1;
    return std::max<std::size_t>(1, std::min<std::size_t>(4, std::thread::hardware_concurrency()));
}

// For tests: how many more helper threads may start; below zero, no limit.
// At zero a start fails as it does under a process or memory limit.
inline std::atomic<int> g_startsLeft{-1};

// Runs work(k) once for every k in [0, n): share k on a thread of its own, the
// first on this one. A pass at a quit must not end the program, so a thread
// that cannot start (a process or memory limit) leaves its share to this
// thread, and the first exception of any share is thrown here once every
// thread has finished; the shares not begun by then are skipped.
template <class Work>
void OnThreads(std::size_t n, Work work) {
    if (n == 0)
        return;
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    auto run = [&](std::size_t k) noexcept {
        if (failed.load(std::memory_order_relaxed))
            return;
        try {
            work(k);
        } catch (...) {
            if (!failed.exchange(true))
                failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(n - 1);
        while (helpers.size() + 1 < n) {
            if (g_startsLeft.load() == 0)
                throw std::system_error(EAGAIN, std::generic_category());
            if (g_startsLeft.load() > 0)
                --g_startsLeft;
            helpers.emplace_back(run, helpers.size() + 1);
        }
    } catch (...) {
        // Whatever did not start is run below.
    }
    run(0);
    for (std::size_t k = helpers.size() + 1; k < n; ++k)
        run(k);
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace parallel

#endif
