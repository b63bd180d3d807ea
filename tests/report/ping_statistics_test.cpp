// Sample recording with its wrap rule, and the merge of host records into a run total.
#include "report/ping_statistics.h"

#include <gtest/gtest.h>

#include <limits>

namespace quilvane {
namespace {

constexpr uint32_t maxCount = std::numeric_limits<uint32_t>::max();

TEST(RecordSample, StartValuesThenMinimumMaximumAndRunningMean) {
    PingStatistics statistics;
    EXPECT_EQ(statistics.minimum, 4294967295.0);
    for (long double ms : {12.3L, 10.0L, 15.5L}) recordSample(statistics, ms);
    EXPECT_EQ(statistics.samples, 3u);
    EXPECT_DOUBLE_EQ(statistics.minimum, 10.0);
    EXPECT_DOUBLE_EQ(statistics.maximum, 15.5);
    EXPECT_NEAR(statistics.average, 12.6, 1e-12);
}

TEST(RecordSample, EqualValuesLeaveMinimumAndMaximumAlone) {
    PingStatistics statistics;
    recordSample(statistics, 0.0L);
    EXPECT_EQ(statistics.minimum, 0.0);
    EXPECT_EQ(statistics.maximum, 0.0) << "0.0 is not greater than the start value 0.0";
}

TEST(RecordSample, CountWrapsToZeroAndKeepsTheMean) {
    PingStatistics statistics;
    statistics.samples = maxCount;
    statistics.average = 5.0;
    statistics.maximum = 6.0;
    statistics.minimum = 4.0;
    recordSample(statistics, 100.0L);
    EXPECT_EQ(statistics.samples, 0u);
    EXPECT_EQ(statistics.average, 5.0);
    EXPECT_EQ(statistics.maximum, 100.0);
    recordSample(statistics, 1.0L);
    EXPECT_EQ(statistics.samples, 1u);
    EXPECT_EQ(statistics.average, 1.0);
    EXPECT_EQ(statistics.minimum, 1.0);
}

TEST(RecordSample, MeanOfManySamplesStaysExact) {
    PingStatistics statistics;
    for (int i = 0; i < 100000; ++i) recordSample(statistics, (i % 2 == 0) ? 1.0L : 3.0L);
    EXPECT_NEAR(statistics.average, 2.0, 1e-9);
}

TEST(MergeStatistics, HostsWithRepliesAreWeightedByTheirSamples) {
    PingStatistics total;
    PingStatistics first{4, 2, 20.0, 10.0, 15.0, 2};
    PingStatistics second{2, 1, 40.0, 30.0, 30.0, 1};
    mergeStatistics(total, first);
    mergeStatistics(total, second);
    EXPECT_EQ(total.sent, 6u);
    EXPECT_EQ(total.received, 3u);
    EXPECT_EQ(total.samples, 3u);
    EXPECT_EQ(total.maximum, 40.0);
    EXPECT_EQ(total.minimum, 10.0);
    EXPECT_DOUBLE_EQ(total.average, 20.0);
}

TEST(MergeStatistics, HostWithoutRepliesAddsItsCountsOnly) {
    PingStatistics total{1, 1, 5.0, 5.0, 5.0, 1, 2};
    PingStatistics lost{3, 0, 0.0, 0.0, 0.0, 0, 6};
    mergeStatistics(total, lost);
    EXPECT_EQ(total.sent, 4u);
    EXPECT_EQ(total.received, 1u);
    EXPECT_EQ(total.resent, 8u) << "tries sent again count whether or not they were answered";
    EXPECT_EQ(total.minimum, 5.0) << "the 0.0 minimum of a silent host is not a time";
    EXPECT_EQ(total.average, 5.0);
}

TEST(MergeStatistics, CountsAddingPastTwoToThe32DoNotDivideByZero) {
    PingStatistics total{0, 0, 0.0, 0.0, 2.0, maxCount};
    PingStatistics host{1, 1, 4.0, 4.0, 4.0, 1};
    mergeStatistics(total, host);
    EXPECT_EQ(total.samples, 0u);
    EXPECT_NEAR(total.average, 2.0, 1e-6);
}

}  // namespace
}  // namespace quilvane
