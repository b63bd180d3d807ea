// Clocks, pauses that a stop request ends early, console control signals and the bell.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/console_control.h"
#include "support/linux/linux_platform.h"
#include "system_helpers.h"

namespace quilvane {
namespace {

using testing::interruptThisThreadLater;
using testing::joinInterrupter;

class LinuxClockTest : public ::testing::Test {
  protected:
    void TearDown() override {
        joinInterrupter();
        testing::restoreDefaultSignals();
        stopRequested.store(false);
        breakRequested.store(false);
    }
    double elapsedMs(int64_t since) { return (system.performanceCounter() - since) / 1e6; }

    LinuxPlatform system;
};

TEST_F(LinuxClockTest, CountersAreMonotonicAndAgree) {
    EXPECT_EQ(system.performanceFrequency(), 1'000'000'000);
    int64_t first = system.performanceCounter();
    uint32_t tick = system.tickCount();
    int64_t second = system.performanceCounter();
    EXPECT_LE(first, second);
    EXPECT_GE(tick, static_cast<uint32_t>(first / 1'000'000));
    EXPECT_LE(tick, static_cast<uint32_t>(second / 1'000'000));
}

TEST_F(LinuxClockTest, LocalTimeIsAPlausibleDate) {
    LocalTime now = system.localTime();
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 60);
    EXPECT_GT(system.calendarSeconds(), 1'700'000'000);
}

TEST_F(LinuxClockTest, ThreadIdentifierIsStablePerThreadAndDiffersBetweenThreads) {
    uint32_t mine = system.currentThreadId();
    EXPECT_EQ(system.currentThreadId(), mine);
    uint32_t other = 0;
    std::thread([&] { other = system.currentThreadId(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(other, 0u);
}

TEST_F(LinuxClockTest, SleepLastsAtLeastTheTimeAsked) {
    for (uint32_t ms : {0u, 1u, 30u}) {
        int64_t start = system.performanceCounter();
        system.sleep(ms);
        EXPECT_GE(elapsedMs(start), ms);
    }
}

TEST_F(LinuxClockTest, PausesAreNotStretchedByTimerSlack) {
    EXPECT_EQ(testing::timerSlackNs(), 1u);
}

TEST_F(LinuxClockTest, SleepReturnsAtOnceWhenAStopIsAlreadyRequested) {
    stopRequested.store(true);
    int64_t start = system.performanceCounter();
    system.sleep(60'000);
    EXPECT_LT(elapsedMs(start), 30'000);
}

TEST_F(LinuxClockTest, SleepEndsEarlyOnControlC) {
    installConsoleControlHandler();
    interruptThisThreadLater(false, 50);
    int64_t start = system.performanceCounter();
    system.sleep(60'000);
    EXPECT_TRUE(stopRequested.load());
    EXPECT_LT(elapsedMs(start), 30'000);
}

TEST_F(LinuxClockTest, SleepEndsEarlyOnAStopRequestedByAnotherThread) {
    std::thread requester([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stopRequested.store(true);
    });
    int64_t start = system.performanceCounter();
    system.sleep(60'000);
    requester.join();
    EXPECT_LT(elapsedMs(start), 30'000);
}

TEST_F(LinuxClockTest, SleepGoesOnAfterControlBreak) {
    installConsoleControlHandler();
    interruptThisThreadLater(true, 10);
    int64_t start = system.performanceCounter();
    system.sleep(200);
    EXPECT_GE(elapsedMs(start), 200);
    // On a busy machine the signal may come only after the pause.
    joinInterrupter();
    EXPECT_TRUE(breakRequested.load());
    EXPECT_FALSE(stopRequested.load());
}

TEST_F(LinuxClockTest, TheBellNeverReachesStandardOutput) {
    std::string written = testing::standardOutputOf([&] {
        system.beep(440, 100);
        system.beep(880, 100);
    });
    EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace quilvane
