// What the machine outputs keep of each host between passes: counts, times, a histogram.
#include "report/host_tally.h"

#include <algorithm>
#include <cmath>

#include "support/inet.h"
#include "support/platform.h"

namespace quilvane {

namespace {

constexpr uint32_t subBuckets = 32;  // per doubling
constexpr int subBucketBits = 5;

uint16_t bucketOf(uint32_t us) {
    if (us < subBuckets) return static_cast<uint16_t>(us);
    int exponent = 31 - __builtin_clz(us);
    uint32_t sub = (us >> (exponent - subBucketBits)) & (subBuckets - 1);
    return static_cast<uint16_t>(subBuckets * (exponent - subBucketBits + 1) + sub);
}

double middleOf(uint16_t index) {
    if (index < subBuckets) return index;
    int exponent = index / subBuckets + subBucketBits - 1;
    uint32_t sub = index % subBuckets;
    double width = std::ldexp(1.0, exponent - subBucketBits);
    return (subBuckets + sub) * width + width / 2;
}

}  // namespace

void RttHistogram::add(uint32_t microseconds) {
    uint16_t index = bucketOf(microseconds);
    auto at = std::lower_bound(
        buckets_.begin(), buckets_.end(), index,
        [](const Bucket& bucket, uint16_t wanted) { return bucket.index < wanted; });
    if (at != buckets_.end() && at->index == index) {
        ++at->count;
        return;
    }
    buckets_.insert(at, Bucket{index, 1});
}

uint64_t RttHistogram::count() const {
    uint64_t total = 0;
    for (const Bucket& bucket : buckets_) total += bucket.count;
    return total;
}

double RttHistogram::percentile(double percent) const {
    uint64_t total = count();
    if (total == 0) return 0;
    auto rank = static_cast<uint64_t>(std::ceil(percent / 100.0 * static_cast<double>(total)));
    rank = std::clamp<uint64_t>(rank, 1, total);
    uint64_t seen = 0;
    for (const Bucket& bucket : buckets_) {
        seen += bucket.count;
        if (seen >= rank) return middleOf(bucket.index);
    }
    return middleOf(buckets_.back().index);
}

void HostTally::addReply(long double ms) {
    long double us = ms * 1000.0L;
    auto whole = static_cast<uint32_t>(std::clamp<long double>(us + 0.5L, 0, UINT32_MAX));
    auto value = static_cast<float>(ms);
    bool first = histogram.count() == 0;
    minimumMs = first ? value : std::min(minimumMs, value);
    maximumMs = first ? value : std::max(maximumMs, value);
    sumMs += static_cast<double>(ms);
    sumOfSquaresMs += static_cast<double>(ms * ms);
    histogram.add(whole);
}

uint32_t lossPercent(uint32_t sent, uint32_t received) {
    if (sent == 0 || received >= sent) return 0;
    return static_cast<uint32_t>(uint64_t{sent - received} * 100 / sent);
}

HostSummary summaryOf(const HostTally& tally) {
    HostSummary summary{tally.sent, tally.received, tally.resent,
                        lossPercent(tally.sent, tally.received), std::nullopt};
    uint64_t samples = tally.histogram.count();
    if (samples == 0) return summary;
    auto n = static_cast<double>(samples);
    double average = tally.sumMs / n;
    double variance = std::max(0.0, tally.sumOfSquaresMs / n - average * average);
    double minimum = tally.minimumMs;
    double maximum = tally.maximumMs;
    // A bucket's middle may lie outside what was measured; the percentile stays inside.
    auto percentile = [&](double percent) {
        return std::clamp(tally.histogram.percentile(percent) / 1000.0, minimum, maximum);
    };
    summary.times =
        HostSummary::Times{minimum,        average,        maximum,       std::sqrt(variance),
                           percentile(50), percentile(90), percentile(99)};
    return summary;
}

HostSummary summaryOf(const std::optional<PingStatistics>& statistics) {
    if (!statistics) return {};
    HostSummary summary{statistics->sent, statistics->received, statistics->resent,
                        lossPercent(statistics->sent, statistics->received), std::nullopt};
    if (statistics->samples == 0) return summary;
    double one = statistics->average;
    double deviation =
        statistics->samples == 1 ? 0.0 : (statistics->maximum - statistics->minimum) / 2;
    summary.times =
        HostSummary::Times{statistics->minimum, one, statistics->maximum, deviation, one, one, one};
    return summary;
}

std::string entryAddress(const std::string& entry, FamilyChoice family) {
    if (isIpv6Literal(entry)) return entry;
    Ipv4 dotted = dottedAddress(entry, family);
    if (dotted != inaddrNone) return inetNtoa(dotted);
    SystemResult<HostEntry> resolved = platform().getHostByName(entry, family);
    if (!resolved.ok()) return {};
    return addressText(resolved.value.address);
}

ResultTally::ResultTally(size_t hosts, bool everyHostOnce) : everyHostOnce_(everyHostOnce) {
    if (!everyHostOnce_) tallies_.resize(hosts);
}

HostTally* ResultTally::tallyOf(size_t index) {
    if (everyHostOnce_ || index >= tallies_.size()) return nullptr;
    return &tallies_[index];
}

void ResultTally::reply(const ReplyEvent& event) {
    if (HostTally* tally = tallyOf(event.echo.context->index)) tally->addReply(event.ms);
}

void ResultTally::dispatchFinished(const DispatchFinishedEvent& event) {
    HostTally* tally = tallyOf(event.context->index);
    if (tally == nullptr || !event.statistics) return;
    tally->sent += event.statistics->sent;
    tally->received += event.statistics->received;
    tally->resent += event.statistics->resent;
}

}  // namespace quilvane
