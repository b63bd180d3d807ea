// Per-host round-trip statistics: start values, sample recording and the merge into a run total.
#pragma once

#include <cstdint>

namespace quilvane {

constexpr double minimumStartValue = 4294967295.0;

struct PingStatistics {
    uint32_t sent = 0;
    uint32_t received = 0;
    double maximum = 0.0;
    double minimum = minimumStartValue;
    double average = 0.0;
    uint32_t samples = 0;
    uint32_t resent = 0;  // tries sent again after a time-out (--retries)
};

// Folds one round-trip time (ms) into maximum, minimum and the running average.
void recordSample(PingStatistics& statistics, long double ms);

// Adds a host's record to a run total.
void mergeStatistics(PingStatistics& total, const PingStatistics& host);

}  // namespace quilvane
