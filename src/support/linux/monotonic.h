// The monotonic clock in nanoseconds, shared by the waits, the pauses and the counters.
#pragma once

#include <time.h>

#include <cstdint>

namespace quilvane::linux_detail {

inline int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// A relative or absolute time for the system calls; negative durations become zero.
inline timespec timespecFromNs(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace quilvane::linux_detail
