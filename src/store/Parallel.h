#ifndef TAVENOOK_STORE_PARALLEL_H
#define TAVENOOK_STORE_PARALLEL_H

#include <algorithm>
#include <cstddef>
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

// Runs work(k) for k in [0, n) on n threads, the first on this one.
template <class Work>
void OnThreads(std::size_t n, Work work) {
    std::vector<std::thread> helpers;
    for (std::size_t k = 1; k < n; ++k)
        helpers.emplace_back(work, k);
    work(std::size_t(0));
    for (std::thread& helper : helpers)
        helper.join();
}

}  // namespace parallel

#endif
