// The pace of windowed runs against simulated paths: what it finds, and how long it takes.
#include "echo/pace_controller.h"

#include <gtest/gtest.h>

#include <string>

#include "echo/simulated_path.h"

namespace quilvane::testing {
namespace {

// A /16 swept with -w 200 -p 4096, one address in four silent, as the lab's paths are built.
struct PathCase {
    std::string name;
    SimulatedPath path;
    SweepRun run;
    double leastShareFound;
    double mostSeconds;
};

std::vector<PathCase> pathCases() {
    SweepRun sweep;
    SweepRun capped = sweep;
    capped.rateCap = 5000;
    SweepRun farAway = sweep;
    farAway.timeoutNs = 1'000'000'000;
    // One request in a thousand finds the sender not scheduled for 10 ms.
    SweepRun busy = sweep;
    busy.stallChance = 0.001;
    busy.stallNs = 10'000'000;
    return {
        // Nothing in the way: the sender's own speed and the window decide.
        {"PlainLink", SimulatedPath{}, sweep, 1.0, 1.4},
        // 10 Mbit/s both ways takes about 16,900 requests a second; 3.9 s at the least.
        {"SlowLinkThatQueues", SimulatedPath{}.slowLink(16'900), sweep, 0.999, 5.0},
        // Drops beyond 2,000 a second without queueing: 32.8 s at the least. The burst hides the
        // first overshoot, which costs about a thousandth of the answers.
        {"PolicerThatDrops", SimulatedPath{}.policer(2'000, 200), sweep, 0.998, 45.0},
        // 1 % each way whatever the pace: no reason to go slower than on the plain link.
        {"RandomLoss", SimulatedPath{}.randomLoss(0.01), sweep, 0.975, 1.4},
        // A dark /24 inside the /16, and one at the start.
        {"DarkStretch", SimulatedPath{}.darkStretch(20'000, 256), sweep, 1.0, 1.4},
        // Before the first answer nothing is known of the path: the pace stays where it began.
        {"DarkStart", SimulatedPath{}.darkStretch(0, 512), sweep, 1.0, 1.5},
        // Many silent stretches: the window, filled with requests awaiting their time-out, is
        // what holds the sweep back (4096 / (0.625 * 0.2 s), about 33,000 a second).
        {"EveryOtherSlash24Silent", SimulatedPath{}.sparse(), sweep, 1.0, 2.6},
        // Half of the /16 where two hosts in three are up, then half where one in three is: the
        // share of answers falls for good, not with the pace, and the pace must not follow it
        // down. The window holds the second half to 4096 / (0.67 * 0.2 s), about 31,000 a second.
        {"FewerHostsUpFurtherOn", SimulatedPath{}.thinnerFrom(32'768, 3), sweep, 1.0, 2.0},
        {"FewerHostsUpBehindAPolicer", SimulatedPath{}.policer(2'000, 200).thinnerFrom(32'768, 3),
         sweep, 0.998, 45.0},
        // Answers up to a millisecond late at random, as on a busy machine: the limit the pace
        // keeps to must not be one that a late burst of answers made look higher.
        {"PolicerOnABusyMachine", SimulatedPath{}.policer(2'000, 200).jitter(1'000'000), sweep,
         0.998, 45.0},
        // The sender that sends in batches overshoots a little further before the burst runs out.
        {"PolicerWithLargeBurst", SimulatedPath{}.policer(2'000, 1'000), sweep, 0.997, 45.0},
        {"PolicerWithSenderStalls", SimulatedPath{}.policer(2'000, 200).jitter(1'000'000), busy,
         0.998, 50.0},
        {"FewerHostsUpWithSenderStalls", SimulatedPath{}.thinnerFrom(32'768, 3).jitter(1'000'000),
         busy, 1.0, 2.5},
        {"FasterPolicer", SimulatedPath{}.policer(5'000, 200), sweep, 0.995, 16.0},
        // A burst lets the pace overshoot unseen; a tenth of a second of it is what the lab has.
        {"PolicerWithSmallBurst", SimulatedPath{}.policer(2'000, 20), sweep, 0.998, 45.0},
        {"PolicerAndDarkStretch", SimulatedPath{}.policer(2'000, 200).darkStretch(20'000, 256),
         sweep, 0.998, 45.0},
        {"SlowLinkAndRandomLoss", SimulatedPath{}.slowLink(16'900).randomLoss(0.01), sweep, 0.975,
         5.0},
        // A path of 40 ms and -w 1000: answers come late, and the pace must still rise until the
        // window holds it (4096 / (0.25 * 1 s)).
        {"LongRoundTrip", SimulatedPath{}.roundTrip(40'000'000), farAway, 1.0, 6.0},
        // --rate 5000: 13.1 s for the /16 at the most.
        {"RateCap", SimulatedPath{}, capped, 1.0, 13.5},
    };
}

class PaceOnPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(PaceOnPath, FindsTheAnsweringHostsInTime) {
    const PathCase& c = GetParam();
    // The sender that wakes for every request and answer, and the one that wakes every 200 µs
    // and sends in batches.
    for (auto [wakeEveryNs, seed] : {std::pair{int64_t{0}, 1u},
                                     {0, 2u},
                                     {0, 3u},
                                     {200'000, 1u},
                                     {200'000, 2u},
                                     {200'000, 3u}}) {
        SweepRun run = c.run;
        run.seed = seed;
        run.wakeEveryNs = wakeEveryNs;
        SweepOutcome outcome = simulateSweep(c.path, run);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", waking every " +
                     std::to_string(wakeEveryNs) + " ns");
        EXPECT_GE(outcome.shareFound(), c.leastShareFound) << outcome.found;
        EXPECT_LE(outcome.seconds, c.mostSeconds) << outcome.found;
        if (c.run.rateCap > 0) {
            EXPECT_LE(outcome.mostInAnySecond, c.run.rateCap + 9);
        }
    }
}

// A request whose send failed never left: it gives its place in the pace back, and counts
// neither as an answer nor as loss, which would cut the pace.
TEST(PaceController, ARequestThatNeverLeftIsNotJudged) {
    for (bool leaves : {true, false}) {
        int64_t nowNs = 1'000'000'000;
        PaceController pace(0, 200'000'000, nowNs);
        bool cut = false;
        // Every request is answered in 100 µs; after a while every other one is refused by the
        // system, or else leaves and is lost.
        for (int i = 0; i < 4000; ++i) {
            nowNs = std::max(nowNs, pace.nextSendNs());
            double rate = pace.rate();
            int64_t before = pace.nextSendNs();
            uint64_t answered = pace.sent(nowNs);
            uint64_t other = pace.sent(nowNs);
            if (i < 2000) {
                pace.answered(other, 100'000);
            } else if (leaves) {
                pace.timedOut(other);
            } else {
                pace.unsent(other);
                EXPECT_EQ(pace.nextSendNs(), before + static_cast<int64_t>(1e9 / rate));
            }
            pace.answered(answered, 100'000);
            pace.advance(nowNs + 100'000);
            cut = cut || pace.rate() < rate;
        }
        EXPECT_EQ(cut, leaves) << (leaves ? "lost" : "refused");
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, PaceOnPath, ::testing::ValuesIn(pathCases()),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace quilvane::testing
