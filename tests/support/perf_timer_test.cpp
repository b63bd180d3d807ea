// CPerfTimer over a scripted counter: calibration, stop, resume, running reads and the hooks.
#include "support/perf_timer.h"

#include <gtest/gtest.h>

#include <deque>

#include "fakes/fake_platform.h"
#include "report/lines.h"

namespace quilvane {
namespace {

// A 1 MHz counter that moves by a set step after every read, so that the empty start-and-stop
// of the calibration costs exactly that step.
class TickingPlatform : public testing::FakePlatform {
  public:
    int64_t ticks = 1000;
    int64_t stepPerRead = 0;
    int64_t frequency = 1'000'000;
    int reads = 0;

    int64_t performanceCounter() override {
        ++reads;
        int64_t now = ticks;
        ticks += stepPerRead;
        return now;
    }
    int64_t performanceFrequency() override { return frequency; }
};

class PerfTimerTest : public ::testing::Test {
  protected:
    testing::ScopedFakePlatform scoped;
    TickingPlatform clock;

    void SetUp() override {
        clock.standardOutput = &scoped.output;
        setPlatform(&clock);
        CPerfTimer::ResetCalibrationForTest();
    }
    void TearDown() override { CPerfTimer::ResetCalibrationForTest(); }

    // The first timer of the process calibrates: its empty start-and-stop costs `cost` ticks.
    void calibrate(int64_t cost) {
        clock.stepPerRead = cost;
        CPerfTimer first;
        clock.stepPerRead = 0;
    }
};

TEST_F(PerfTimerTest, CalibratedCostIsTakenOffEveryInterval) {
    calibrate(5);
    CPerfTimer timer;
    timer.Start(true);
    clock.ticks += 12'345;
    timer.Stop();
    EXPECT_EQ(timer.ElapsedMs(), 12.34L);

    PingSettings settings;
    printReplyLine(settings, LocalTime{}, 1, "10.0.0.1", timer.ElapsedMs(), 64, 0);
    EXPECT_EQ(scoped.output, "Reply[1] from 10.0.0.1: bytes=32 time=12.3 ms TTL=64\n");
}

TEST_F(PerfTimerTest, IntervalNoLongerThanTheCostMeasuresZero) {
    calibrate(5);
    CPerfTimer timer(true);
    clock.ticks += 5;
    timer.Stop();
    EXPECT_EQ(timer.ElapsedMs(), 0.0L);
}

TEST_F(PerfTimerTest, NeverStartedTimerMeasuresZero) {
    calibrate(0);
    CPerfTimer timer;
    EXPECT_EQ(timer.ElapsedMs(), 0.0L);
}

TEST_F(PerfTimerTest, SecondStopLeavesTheFirstResult) {
    calibrate(0);
    CPerfTimer timer(true);
    clock.ticks += 2000;
    timer.Stop();
    clock.ticks += 7000;
    int readsBefore = clock.reads;
    timer.Stop();
    EXPECT_EQ(clock.reads, readsBefore) << "a stopped timer does not read the counter";
    EXPECT_EQ(timer.ElapsedMs(), 2.0L);
}

TEST_F(PerfTimerTest, ElapsedOnARunningTimerLeavesItRunning) {
    calibrate(0);
    CPerfTimer timer(true);
    clock.ticks += 1000;
    EXPECT_EQ(timer.ElapsedMs(), 1.0L);
    clock.ticks += 1000;
    EXPECT_EQ(timer.ElapsedMs(), 2.0L);
    timer.Stop();
    clock.ticks += 1000;
    EXPECT_EQ(timer.ElapsedMs(), 2.0L);
}

TEST_F(PerfTimerTest, StartWithoutResetResumesAndWithResetStartsAfresh) {
    calibrate(3);
    CPerfTimer timer(true);
    clock.ticks += 100;
    timer.Stop();
    timer.Start(false);
    clock.ticks += 50;
    timer.Stop();
    // 150 ticks less the cost once per stop.
    EXPECT_EQ(timer.ElapsedMs(), (150 - 3 - 3) / 1000.0L);

    timer.Start(true);
    clock.ticks += 40;
    timer.Stop();
    EXPECT_EQ(timer.ElapsedMs(), (40 - 3) / 1000.0L);
}

TEST_F(PerfTimerTest, StartOnARunningTimerRestartsFromNow) {
    calibrate(0);
    CPerfTimer timer(true);
    clock.ticks += 500;
    timer.Start(false);
    clock.ticks += 20;
    timer.Stop();
    EXPECT_EQ(timer.ElapsedMs(), 0.02L);
}

TEST_F(PerfTimerTest, CalibrationHappensOnceAndResolutionFollowsFrequency) {
    calibrate(5);
    clock.stepPerRead = 1;
    int readsBefore = clock.reads;
    CPerfTimer later;
    EXPECT_EQ(clock.reads, readsBefore) << "only the first timer calibrates";
    EXPECT_TRUE(later.HasHighResolution());
    EXPECT_DOUBLE_EQ(later.ResolutionMs(), 0.001);
}

TEST_F(PerfTimerTest, ZeroFrequencyCountsAsOne) {
    clock.frequency = 0;
    CPerfTimer timer(true);
    clock.ticks += 2;
    timer.Stop();
    EXPECT_FALSE(timer.HasHighResolution());
    EXPECT_DOUBLE_EQ(timer.ResolutionMs(), 1000.0);
    EXPECT_EQ(timer.ElapsedMs(), 2000.0L);
}

// Records the order of hook calls to check that every access to the value is framed.
class HookedTimer : public CPerfTimer {
  public:
    using CPerfTimer::CPerfTimer;
    mutable std::string* log = nullptr;
    char tag = '?';

  protected:
    void BeginAccess() const override {
        if (log) *log += std::string("B") + tag;
    }
    void EndAccess() const override {
        if (log) *log += std::string("E") + tag;
    }
};

TEST_F(PerfTimerTest, HooksFrameStartStopElapsedAndCopies) {
    calibrate(0);
    std::string log;
    HookedTimer a;
    HookedTimer b;
    a.log = &log;
    a.tag = 'a';
    b.log = &log;
    b.tag = 'b';

    a.Start(true);
    a.Stop();
    a.Stop();
    EXPECT_EQ(log, "BaEaBaEaBaEa");

    log.clear();
    (void)a.ElapsedMs();
    EXPECT_EQ(log, "BaEa") << "the copy read under the source's hooks";

    log.clear();
    b = a;
    EXPECT_EQ(log, "BaBbEbEa");

    log.clear();
    HookedTimer& self = a;
    a = self;
    EXPECT_EQ(log, "") << "self-assignment does nothing";
}

TEST_F(PerfTimerTest, CopyCarriesTheMeasuredInterval) {
    calibrate(0);
    CPerfTimer timer(true);
    clock.ticks += 4000;
    timer.Stop();
    CPerfTimer copy(timer);
    CPerfTimer assigned;
    assigned = timer;
    EXPECT_EQ(copy.ElapsedMs(), 4.0L);
    EXPECT_EQ(assigned.ElapsedMs(), 4.0L);
}

}  // namespace
}  // namespace quilvane
