#ifndef TAVENOOK_TESTS_SUPPORT_LARGESTALLOCATION_H
#define TAVENOOK_TESTS_SUPPORT_LARGESTALLOCATION_H

// Records the largest single allocation made through operator new while
// g_tracking is set, so that fuzz tests can show that no count read from the
// input is used to allocate; and makes allocations fail on other threads, as
// when a helper thread runs out of memory. Replaces the global operator new:
// include it in one source file of a test program only. Under AddressSanitizer, which
// brings its own allocator, TAVENOOK_ASAN is defined and nothing is replaced.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define TAVENOOK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVENOOK_ASAN 1
#endif
#endif

#ifndef TAVENOOK_ASAN
namespace {
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largestAllocation{0};
std::atomic<bool> g_failOtherThreads{false};
std::thread::id g_allocatingThread;

void* TrackedAllocate(std::size_t size) {
    if (g_failOtherThreads.load(std::memory_order_relaxed) &&
        std::this_thread::get_id() != g_allocatingThread)
        throw std::bad_alloc();
    if (g_tracking.load(std::memory_order_relaxed)) {
        std::size_t largest = g_largestAllocation.load(std::memory_order_relaxed);
        while (size > largest && !g_largestAllocation.compare_exchange_weak(largest, size)) {
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
    return TrackedAllocate(size);
}
void* operator new[](std::size_t size) {
    return TrackedAllocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

// The largest single allocation `f` makes; 0 under ASan, which brings its
// own allocator.
inline std::size_t LargestAllocation(const std::function<void()>& f) {
#ifndef TAVENOOK_ASAN
    g_largestAllocation = 0;
    g_tracking = true;
    f();
    g_tracking = false;
    return g_largestAllocation;
#else
    f();
    return 0;
#endif
}

// Runs `f` with every allocation on another thread failing; false under ASan,
// where nothing can be made to fail.
inline bool WithOtherThreadsOutOfMemory(const std::function<void()>& f) {
#ifndef TAVENOOK_ASAN
    g_allocatingThread = std::this_thread::get_id();
    g_failOtherThreads = true;
    f();
    g_failOtherThreads = false;
    return true;
#else
    (void)f;
    return false;
#endif
}

#endif
