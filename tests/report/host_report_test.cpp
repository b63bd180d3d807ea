// The per-attempt flow both engines share: reply numbers, status, beeps, interim and final blocks.
#include "report/host_report.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "fakes/fake_platform.h"
#include "support/console_control.h"

namespace quilvane {
namespace {

using testing::ScopedFakePlatform;

const LocalTime stamp{2026, 12, 7, 9, 5, 3};

std::vector<std::string> beeps(const ScopedFakePlatform& scoped) {
    return scoped.fake.callsStartingWith("beep");
}

TEST(HostReportAttempts, ReplyPrintsSetsStatusAndRecords) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    EXPECT_EQ(report.status(), std::nullopt);
    report.reply(stamp, 3, "10.0.0.1", 12.3L, 64, 0, nullptr, 0);
    EXPECT_EQ(scoped.output, "Reply[3] from 10.0.0.1: bytes=32 time=12.3 ms TTL=64\n");
    EXPECT_EQ(report.status(), ExitStatus::Replied);
    EXPECT_EQ(report.statistics().received, 1u);
    EXPECT_EQ(report.statistics().samples, 1u);
    EXPECT_DOUBLE_EQ(report.statistics().average, 12.3);
}

TEST(HostReportAttempts, ReplyNumberFromTheRunWinsOverSent) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    settings.replyNumber = 7;
    HostReport report(settings, true);
    report.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    EXPECT_EQ(scoped.output, "Reply[7] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n");
}

TEST(HostReportAttempts, ReplyNumbersPast2To31CountOnInsteadOfTurningNegative) {
    ScopedFakePlatform scoped;
    HostReport single(PingSettings{}, false);
    single.reply(stamp, 2147483648u, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    PingSettings settings;
    settings.replyNumber = INT32_MIN;  // the run-wide counter after 2^31 dispatches
    HostReport round(settings, true);
    round.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    EXPECT_EQ(scoped.output,
              "Reply[2147483648] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n"
              "Reply[2147483648] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n");
}

TEST(HostReportAttempts, RouteBlockFollowsTheReplyWhenOptionsCame) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    settings.recordRoutes = 1;
    settings.tosGiven = 1;
    HostReport report(settings, false);
    uint8_t options[40] = {7, 7, 8, 10, 0, 0, 1};
    report.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 4, options, sizeof options);
    EXPECT_EQ(scoped.output,
              "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64 TOS=4\n\tRoute:  10.0.0.1\n");
}

TEST(HostReportAttempts, StampIsTheLocalTimeOnlyWhenLinesCarryOne) {
    ScopedFakePlatform scoped;
    auto read = [](int32_t timeStamp, int32_t dateStamp) {
        PingSettings settings;
        settings.timeStamp = timeStamp;
        settings.dateStamp = dateStamp;
        LocalTime got = HostReport(settings, false).readStamp();
        return std::vector<int>{got.year, got.month, got.day, got.hour, got.minute, got.second};
    };
    scoped.fake.clockTime = LocalTime{2027, 1, 2, 3, 4, 5};
    EXPECT_EQ(read(1, 0), (std::vector<int>{2027, 1, 2, 3, 4, 5}));
    EXPECT_EQ(read(0, 1), (std::vector<int>{2027, 1, 2, 3, 4, 5}));
    EXPECT_EQ(read(0, 0), (std::vector<int>{0, 0, 0, 0, 0, 0}));
}

TEST(HostReportAttempts, TimeoutsSetStatusOneAndRecordNothing) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    report.timeout(stamp, "10.0.0.1");
    EXPECT_EQ(report.status(), ExitStatus::TimedOut);
    report.codedTimeout(stamp, "10.0.0.1", ExitStatus::ForeignIdentifier);
    EXPECT_EQ(report.status(), ExitStatus::TimedOut);
    EXPECT_EQ(scoped.output, "10.0.0.1: request timed out\n10.0.0.1: request timed out (6)\n");
    EXPECT_EQ(report.statistics().received, 0u);
    EXPECT_EQ(report.statistics().samples, 0u);
}

TEST(HostReportAttempts, DontFragmentRefusesDataOver1472Only) {
    ScopedFakePlatform scoped;
    std::optional<ExitStatus> status;
    auto refused = [&status](int32_t dontFragment, int32_t dataSize) {
        PingSettings settings;
        settings.dontFragment = dontFragment;
        settings.dataSize = dataSize;
        HostReport report(settings, false);
        bool refusal = report.refusedByDontFragment();
        status = report.status();
        return refusal;
    };
    EXPECT_FALSE(refused(1, 1472));
    EXPECT_FALSE(refused(0, 65500));
    EXPECT_EQ(scoped.output, "");
    EXPECT_EQ(status, std::nullopt);
    EXPECT_TRUE(refused(1, 1473));
    EXPECT_EQ(scoped.output, "Packet size exceeds MTU and needs to be fragmented but DF set.\n");
    EXPECT_EQ(status, ExitStatus::NeedsFragmenting);
}

TEST(HostReportBeeps, BeepAfterRepliesOnly) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    settings.beepMode = 1;
    HostReport report(settings, false);
    report.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    report.timeout(stamp, "10.0.0.1");
    report.codedTimeout(stamp, "10.0.0.1", ExitStatus::NotEchoReply);
    EXPECT_EQ(beeps(scoped), std::vector<std::string>{"beep 440 100"});
}

TEST(HostReportBeeps, BeepAfterTimeoutsOnly) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    settings.beepMode = 2;
    HostReport report(settings, false);
    report.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    report.timeout(stamp, "10.0.0.1");
    report.codedTimeout(stamp, "10.0.0.1", ExitStatus::NotEchoReply);
    EXPECT_EQ(beeps(scoped), (std::vector<std::string>{"beep 440 100", "beep 440 100"}));
}

TEST(HostReportBeeps, NoBeepWithoutTheOption) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    report.reply(stamp, 1, "10.0.0.1", 1.0L, 64, 0, nullptr, 0);
    report.timeout(stamp, "10.0.0.1");
    EXPECT_TRUE(beeps(scoped).empty());
}

TEST(HostReportInterim, BreakPrintsTheBlockSoFarAndIsCleared) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    report.reply(stamp, 1, "10.0.0.1", 2.0L, 64, 0, nullptr, 0);
    scoped.output.clear();
    report.checkInterimRequest("10.0.0.1", 2);
    EXPECT_EQ(scoped.output, "") << "nothing without a request";
    breakRequested = true;
    report.checkInterimRequest("10.0.0.1", 2);
    EXPECT_FALSE(breakRequested);
    EXPECT_EQ(scoped.output,
              "\nPing statistics for 10.0.0.1:"
              "\n\tPackets: Sent = 2, Received = 1, Lost = 1 (50% loss)"
              "\nApproximate round trip times in milli-seconds:"
              "\n\tMinimum = 2.0 ms, Maximum = 2.0 ms, Average = 2.0 ms\n\n");
}

TEST(HostReportInterim, MinimumShowsZeroWithoutSamplesAndStaysUnchanged) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    breakRequested = true;
    report.checkInterimRequest("10.0.0.1", 1);
    EXPECT_NE(scoped.output.find("Minimum = 0.0 ms"), std::string::npos);
    EXPECT_EQ(report.statistics().minimum, minimumStartValue);
}

TEST(HostReportInterim, BeforeTheFirstAttemptShowsNoStatistics) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    breakRequested = true;
    report.checkInterimRequest("10.0.0.1", 0);
    EXPECT_EQ(scoped.output, "No ping statistics available\n");
}

TEST(HostReportInterim, InRoundOrLimitedOutputClearsSilently) {
    PingSettings limited;
    limited.limitOutput = 1;
    for (auto [settings, inRound] : {std::pair{PingSettings{}, true}, std::pair{limited, false}}) {
        ScopedFakePlatform scoped;
        HostReport report(settings, inRound);
        breakRequested = true;
        report.checkInterimRequest("10.0.0.1", 1);
        EXPECT_FALSE(breakRequested);
        EXPECT_EQ(scoped.output, "");
    }
}

TEST(HostReportFinish, FinalBlockAndHandOver) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    report.reply(stamp, 1, "10.0.0.1", 12.3L, 64, 0, nullptr, 0);
    report.reply(stamp, 2, "10.0.0.1", 10.0L, 64, 0, nullptr, 0);
    report.reply(stamp, 3, "10.0.0.1", 15.5L, 64, 0, nullptr, 0);
    scoped.output.clear();
    PingStatistics handed = report.finish("10.0.0.1", 3).value();
    EXPECT_EQ(scoped.output,
              "\nPing statistics for 10.0.0.1:"
              "\n\tPackets: Sent = 3, Received = 3, Lost = 0 (0% loss)"
              "\nApproximate round trip times in milli-seconds:"
              "\n\tMinimum = 10.0 ms, Maximum = 15.5 ms, Average = 12.6 ms\n");
    EXPECT_EQ(handed.sent, 3u);
    EXPECT_EQ(handed.received, 3u);
    EXPECT_EQ(handed.samples, 3u);
    EXPECT_EQ(handed.minimum, 10.0);
}

TEST(HostReportFinish, AllLostHandsOverAZeroMinimum) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, true);
    for (int i = 0; i < 4; ++i) report.timeout(stamp, "10.0.0.1");
    scoped.output.clear();
    PingStatistics handed = report.finish("10.0.0.1", 4).value();
    EXPECT_EQ(scoped.output, "") << "in a round the block is the driver's";
    EXPECT_EQ(handed.sent, 4u);
    EXPECT_EQ(handed.received, 0u);
    EXPECT_EQ(handed.minimum, 0.0);
}

TEST(HostReportFinish, NothingSentPrintsTheNoStatisticsLineAndHandsNothingOver) {
    ScopedFakePlatform scoped;
    HostReport report(PingSettings{}, false);
    EXPECT_EQ(report.finish("10.0.0.1", 0), std::nullopt);
    EXPECT_EQ(scoped.output, "No ping statistics available");
}

TEST(HostReportFinish, LimitedOutputPrintsNoBlock) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    settings.limitOutput = 1;
    HostReport report(settings, false);
    EXPECT_FALSE(report.printsHostBlocks());
    report.timeout(stamp, "10.0.0.1");
    report.finish("10.0.0.1", 1);
    EXPECT_EQ(scoped.output, "10.0.0.1: request timed out\n");
}

}  // namespace
}  // namespace quilvane
