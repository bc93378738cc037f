#ifndef TAVENOOK_BENCH_PROCSTATUS_H
#define TAVENOOK_BENCH_PROCSTATUS_H

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

// A "/proc/self/status" figure in KiB, such as "VmRSS" or "VmHWM"; -1 when
// the field is missing.
inline long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::stol(line.substr(n + 1));
    return -1;
}

inline long ResidentKiB() {
    return StatusKiB("VmRSS");
}

// The CPU time the calling thread has used, in ms.
inline double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

#endif
