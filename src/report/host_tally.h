// What the machine outputs keep of each host between passes: counts, times, a histogram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "report/result_events.h"
#include "support/ip_address.h"

namespace quilvane {

// Round-trip times in buckets of 32 to each doubling: a percentile is within 1/64 (1.6 %) of a
// measured time, and times below 32 us are exact. Only the buckets that were hit are kept.
class RttHistogram {
  public:
    void add(uint32_t microseconds);
    // The nearest-rank percentile (0 < percent <= 100) in microseconds, the middle of its
    // bucket; 0 when empty.
    double percentile(double percent) const;
    uint64_t count() const;
    size_t bucketsKept() const { return buckets_.size(); }

  private:
    struct Bucket {
        uint16_t index;
        uint32_t count;
    };
    std::vector<Bucket> buckets_;  // by index
};

// One host over the whole run.
struct HostTally {
    uint32_t sent = 0;
    uint32_t received = 0;
    uint32_t resent = 0;
    float minimumMs = 0;  // valid while the histogram holds a time
    float maximumMs = 0;
    double sumMs = 0;
    double sumOfSquaresMs = 0;
    RttHistogram histogram;

    void addReply(long double ms);
};

// What one row of a per-host result shows; times in milliseconds, none without replies.
struct HostSummary {
    uint32_t sent = 0;
    uint32_t received = 0;
    uint32_t resent = 0;
    uint32_t lossPercent = 0;
    struct Times {
        double minimum, average, maximum, meanDeviation, p50, p90, p99;
    };
    std::optional<Times> times;
};

HostSummary summaryOf(const HostTally& tally);
// A host pinged once: its one dispatch says all.
HostSummary summaryOf(const std::optional<PingStatistics>& statistics);
uint32_t lossPercent(uint32_t sent, uint32_t received);

// The address a result row shows for a list entry: the entry when it is an address, else what
// the name resolves to (empty when it does not).
std::string entryAddress(const std::string& entry, FamilyChoice family);

// Keeps a tally for every host of the list (multi-pass runs and metrics), or none at all when
// every host is dispatched once: then each result is complete at its dispatch's end.
class ResultTally final : public ResultRenderer {
  public:
    ResultTally(size_t hosts, bool everyHostOnce);

    bool everyHostOnce() const { return everyHostOnce_; }
    size_t size() const { return tallies_.size(); }
    const HostTally& at(size_t index) const { return tallies_[index]; }

    void reply(const ReplyEvent& event) override;
    void dispatchFinished(const DispatchFinishedEvent& event) override;

  private:
    HostTally* tallyOf(size_t index);

    bool everyHostOnce_;
    std::vector<HostTally> tallies_;
};

}  // namespace quilvane
