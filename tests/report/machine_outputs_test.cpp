// The pieces of the machine outputs: JSON text, time stamps, the round-trip histogram, the
// per-host summaries and the recorded hops of a route.
#include "report/machine_outputs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "report/host_tally.h"
#include "report/json_line.h"

namespace quilvane {
namespace {

TEST(JsonText, StringsAreEscapedAndAlwaysValidUtf8) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"alpha.lab.test", "\"alpha.lab.test\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\r\n", "\"tab\\u0009here\\u000d\\u000a\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"bad\xff\xfe", "\"bad\\ufffd\\ufffd\""},
        {"cut\xe2\x82", "\"cut\\ufffd\\ufffd\""},
        {"overlong\xc0\xaf", "\"overlong\\ufffd\\ufffd\""},
        {"surrogate\xed\xa0\x80", "\"surrogate\\ufffd\\ufffd\\ufffd\""},
        {std::string("nul\0!", 5), "\"nul\\u0000!\""},
    };
    for (const Case& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

TEST(JsonText, ObjectsAndNumbers) {
    JsonLine line("reply");
    line.text("host", "h").number("seq", 4294967296u).decimal("rtt_us", 12.3456).raw("x", "null");
    EXPECT_EQ(
        line.finish(),
        "{\"type\":\"reply\",\"host\":\"h\",\"seq\":4294967296,\"rtt_us\":12.346,\"x\":null}\n");
    EXPECT_EQ(jsonDecimal(0), "0.000");
    EXPECT_EQ(jsonDecimal(1234567.0004), "1234567.000");
}

TEST(JsonText, Rfc3339StampsCarryTheOffset) {
    struct Case {
        int64_t epochNs;
        int32_t offset;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "1970-01-01T00:00:00.000000+00:00"},
        {1'796'000'000'123'456'789, 3600, "2026-11-30T01:53:20.123456+01:00"},
        {1'796'000'000'000'000'000, -19800, "2026-11-29T19:23:20.000000-05:30"},
        {951'782'400'000'000'000, 0, "2000-02-29T00:00:00.000000+00:00"},
        {1'704'067'199'999'999'999, 0, "2023-12-31T23:59:59.999999+00:00"},
        {1'704'067'199'000'000'000, 3600, "2024-01-01T00:59:59.000000+01:00"},
    };
    for (const Case& c : cases) EXPECT_EQ(rfc3339(c.epochNs, c.offset), c.text) << c.epochNs;
}

TEST(RttHistogram, PercentilesStayWithinTheStatedPrecision) {
    // Exact below 32 us, within 1/64 of a measured time above.
    for (uint32_t us : {0u, 1u, 31u, 32u, 33u, 100u, 999u, 1000u, 12345u, 987654u, 4000000000u}) {
        RttHistogram one;
        one.add(us);
        double shown = one.percentile(50);
        if (us < 32) {
            EXPECT_EQ(shown, us);
        } else {
            EXPECT_LE(std::fabs(shown - us) / us, 1.0 / 64) << us;
        }
    }
    RttHistogram spread;
    for (uint32_t us = 1; us <= 100; ++us) spread.add(us * 1000);
    EXPECT_EQ(spread.count(), 100u);
    for (double percent : {50.0, 90.0, 99.0, 100.0}) {
        double expected = percent * 1000;  // the nearest rank of 1 ms to 100 ms
        EXPECT_LE(std::fabs(spread.percentile(percent) - expected) / expected, 1.0 / 64) << percent;
    }
    EXPECT_EQ(RttHistogram().percentile(50), 0);
}

TEST(RttHistogram, OnlyBucketsThatWereHitTakeRoom) {
    RttHistogram histogram;
    // 496 us to 503 us share one bucket 8 us wide.
    for (uint32_t i = 0; i < 1000; ++i) histogram.add(496 + i % 8);
    EXPECT_EQ(histogram.bucketsKept(), 1u);
    EXPECT_LE(sizeof(HostTally), 64u);
}

TEST(HostSummaries, FromATallyAndFromOneDispatch) {
    HostTally tally;
    tally.sent = 4;
    tally.received = 3;
    for (double ms : {1.0, 2.0, 3.0}) tally.addReply(ms);
    HostSummary summary = summaryOf(tally);
    EXPECT_EQ(summary.lossPercent, 25u);
    ASSERT_TRUE(summary.times);
    EXPECT_DOUBLE_EQ(summary.times->minimum, 1.0);
    EXPECT_DOUBLE_EQ(summary.times->average, 2.0);
    EXPECT_DOUBLE_EQ(summary.times->maximum, 3.0);
    EXPECT_NEAR(summary.times->meanDeviation, std::sqrt(2.0 / 3), 1e-9);
    EXPECT_NEAR(summary.times->p50, 2.0, 2.0 / 64);
    EXPECT_NEAR(summary.times->p99, 3.0, 3.0 / 64);

    EXPECT_FALSE(summaryOf(HostTally{}).times);
    EXPECT_EQ(summaryOf(std::optional<PingStatistics>{}).sent, 0u);
    PingStatistics one{1, 1, 0.25, 0.25, 0.25, 1, 2};
    HostSummary once = summaryOf(std::optional<PingStatistics>(one));
    EXPECT_EQ(once.resent, 2u);
    ASSERT_TRUE(once.times);
    EXPECT_DOUBLE_EQ(once.times->p99, 0.25);
    EXPECT_EQ(lossPercent(3, 0), 100u);
    EXPECT_EQ(lossPercent(0, 0), 0u);
}

TEST(RouteHops, WalkedOptionByOptionByLength) {
    struct Case {
        const char* name;
        std::vector<uint8_t> options;
        std::vector<std::string> hops;
    };
    const std::vector<Case> cases = {
        {"two of three slots",
         {7, 15, 12, 198, 18, 4, 1, 198, 18, 5, 1, 0, 0, 0, 0},
         {"198.18.4.1", "198.18.5.1"}},
        {"a 7 inside an address is no option",
         {7, 11, 12, 18, 7, 3, 198, 7, 7, 7, 7},
         {"18.7.3.198", "7.7.7.7"}},
        {"after a no-operation", {1, 7, 7, 8, 10, 0, 0, 1}, {"10.0.0.1"}},
        {"another option first", {68, 4, 5, 0, 7, 7, 8, 1, 2, 3, 4}, {"1.2.3.4"}},
        {"a length past the area", {7, 40, 8, 1, 2, 3, 4}, {}},
        {"end of options", {0, 7, 7, 8, 1, 2, 3, 4}, {}},
        {"a pointer past the option", {7, 7, 40, 1, 2, 3, 4}, {"1.2.3.4"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(recordedHops(c.options.data(), c.options.size()), c.hops) << c.name;
    }
}

}  // namespace
}  // namespace quilvane
