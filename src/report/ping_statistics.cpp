// Per-host round-trip statistics: start values, sample recording and the merge into a run total.
#include "report/ping_statistics.h"

#include <limits>

namespace quilvane {

void recordSample(PingStatistics& statistics, long double ms) {
    if (ms > statistics.maximum) statistics.maximum = static_cast<double>(ms);
    if (ms < statistics.minimum) statistics.minimum = static_cast<double>(ms);

    uint32_t before = statistics.samples;
    if (before == std::numeric_limits<uint32_t>::max()) {
        statistics.samples = 0;  // the count wraps; the mean of what came before stands
        return;
    }
    long double count = before;
    statistics.average = static_cast<double>((ms + count * statistics.average) / (count + 1));
    statistics.samples = before + 1;
}

void mergeStatistics(PingStatistics& total, const PingStatistics& host) {
    total.sent += host.sent;
    total.received += host.received;
    total.resent += host.resent;
    if (host.received == 0) return;

    if (host.maximum > total.maximum) total.maximum = host.maximum;
    if (host.minimum < total.minimum) total.minimum = host.minimum;
    // Counted in 64 bits: two 32-bit counts may add up past 2^32, even to exactly 0 when wrapped.
    uint64_t weight = uint64_t{total.samples} + host.samples;
    if (weight != 0) {
        long double sum = static_cast<long double>(host.average) * host.samples +
                          static_cast<long double>(total.average) * total.samples;
        total.average = static_cast<double>(sum / static_cast<long double>(weight));
    }
    total.samples += host.samples;
}

}  // namespace quilvane
