// The raw window's tries against the fake platform: sequence numbers that wrap while a try waits,
// and requests that time out behind answered ones.
#include "echo/raw_echo_window.h"

#include <gtest/gtest.h>

#include "echo/engine_test_support.h"

namespace quilvane::testing {
namespace {

// The hosts of one pass, each dispatch one echo; what each dispatch ended with is kept.
class ListedDispatches final : public WindowedDispatches {
  public:
    ListedDispatches(std::vector<std::string> hosts, PingSettings settings, int32_t retries)
        : hosts_(std::move(hosts)), settings_(settings), retries_(retries) {}

    size_t count() const override { return hosts_.size(); }
    bool begin(size_t index, std::string& host, EchoJob& job) override {
        host = hosts_[index];
        job = EchoJob{settings_, {}, true};
        job.retries = retries_;
        return true;
    }
    HostOutcome pingThroughEchoService(const std::string& host, const EchoJob&) override {
        throughEchoService.push_back(host);
        return {};
    }
    void finished(size_t, const HostOutcome& outcome) override {
        outcomes.push_back(outcome);
        if (clockNs != nullptr) finishedAtNs.push_back(*clockNs);
    }

    std::vector<HostOutcome> outcomes;
    std::vector<std::string> throughEchoService;
    const int64_t* clockNs = nullptr;  // when set, the time each dispatch ended is kept
    std::vector<int64_t> finishedAtNs;

  private:
    std::vector<std::string> hosts_;
    PingSettings settings_;
    int32_t retries_;
};

class RawWindowTest : public EngineTest {};

// The counter comes round to the number of a try still awaited (as 65,536 requests later): the
// next try skips it, so each answer still finds its own try.
TEST_F(RawWindowTest, AWrappedSequenceNumberStillAwaitedIsSkipped) {
    settings.timeoutMs = 200;
    fake.autoReply = true;
    fake.replyDelays = {{address("10.0.0.1"), 150}};
    fake.onSend = [this, sends = 0]() mutable {
        if (++sends == 1) session.nextSequence = 1;
    };
    RawEchoWindow window(session, 4);
    ASSERT_FALSE(window.open(settings));
    ListedDispatches dispatches({"10.0.0.1", "10.0.0.2"}, settings, 0);

    EXPECT_TRUE(window.runPass(dispatches));

    ASSERT_EQ(dispatches.outcomes.size(), 2u);
    EXPECT_EQ(dispatches.outcomes[0].status, ExitStatus::Replied);
    EXPECT_EQ(dispatches.outcomes[1].status, ExitStatus::Replied);
    EXPECT_EQ(session.nextSequence, 3);
}

// Answers read late show their true round trips (1 to 4 ms here), and the window wakes at most
// every 200 µs while requests leave and answers come: a wake-up costs about as much as a request.
TEST_F(RawWindowTest, ReadingLateKeepsTheTrueTimesAndWakesOnceAWhile) {
    settings.timeoutMs = 200;
    fake.autoReply = true;
    fake.stampsEveryArrival = true;
    std::vector<std::string> hosts;
    for (int i = 1; i <= 64; ++i) {
        hosts.push_back("10.0.0." + std::to_string(i));
        fake.replyDelays[address(hosts.back().c_str())] = 1 + i % 4;
    }
    RawEchoWindow window(session, 64);
    ASSERT_FALSE(window.open(settings));
    ListedDispatches dispatches(hosts, settings, 0);

    EXPECT_TRUE(window.runPass(dispatches));

    for (int i = 1; i <= 64; ++i) {
        std::string line = "Reply[1] from 10.0.0." + std::to_string(i) +
                           ": bytes=32 time=" + std::to_string(1 + i % 4) + ".0 ms TTL=64\n";
        EXPECT_NE(output.find(line), std::string::npos) << line;
    }
    size_t soon = 0;
    for (size_t i = 1; i < fake.wokeAtNs.size(); ++i) {
        soon += fake.wokeAtNs[i] - fake.wokeAtNs[i - 1] < 200'000;
    }
    // Only a wait for the first answer after a quiet while ends sooner.
    EXPECT_LE(soon, 2u) << fake.wokeAtNs.size() << " wake-ups";
}

// Requests leave two at a time here (each wake-up sends what falls due before the next); a send
// refused in a batch ends only its own dispatch, as a one-by-one run would: with "sendto()"
// and a time-out, or through the echo service when raw sends are not allowed.
TEST_F(RawWindowTest, ASendRefusedInABatchEndsOnlyItsOwnDispatch) {
    settings.timeoutMs = 200;
    fake.autoReply = true;
    fake.stampsEveryArrival = true;
    fake.sendErrors = {10051, 0, 0, wsa::accessDenied, 0};
    RawEchoWindow window(session, 8);
    ASSERT_FALSE(window.open(settings));
    ListedDispatches dispatches({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"},
                                settings, 0);

    EXPECT_TRUE(window.runPass(dispatches));

    ASSERT_EQ(dispatches.outcomes.size(), 5u);
    EXPECT_EQ(dispatches.outcomes[0].status, ExitStatus::TimedOut);
    EXPECT_EQ(dispatches.outcomes[1].status, ExitStatus::Replied);
    EXPECT_EQ(dispatches.outcomes[2].status, ExitStatus::Replied);
    EXPECT_EQ(dispatches.throughEchoService, std::vector<std::string>{"10.0.0.4"});
    EXPECT_EQ(dispatches.outcomes[4].status, ExitStatus::Replied);
    EXPECT_EQ(fake.sentTo.size(), 3u);
    // A refusal at the head of a batch of two, and the rest sent on; the refused request gave its
    // place in the pace back, so the next goes at once.
    EXPECT_EQ(fake.batchesSent, (std::vector<size_t>{2, 1, 1, 1, 1}));
    EXPECT_NE(output.find("sendto() - "), std::string::npos);
}

// Where every send fails at once (no route), nothing is sent, so nothing waits for the pace or a
// wake-up: the sweep goes as fast as the refusals come.
TEST_F(RawWindowTest, RefusedSendsDoNotWaitForThePace) {
    settings.timeoutMs = 200;
    fake.stampsEveryArrival = true;
    std::vector<std::string> hosts;
    for (int i = 1; i <= 500; ++i)
        hosts.push_back("10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1));
    fake.sendErrors.assign(hosts.size(), 10051);
    RawEchoWindow window(session, 64);
    ASSERT_FALSE(window.open(settings));
    ListedDispatches dispatches(hosts, settings, 0);
    int64_t startNs = fake.nowNs;

    EXPECT_TRUE(window.runPass(dispatches));

    ASSERT_EQ(dispatches.outcomes.size(), hosts.size());
    EXPECT_EQ(dispatches.outcomes.back().status, ExitStatus::TimedOut);
    EXPECT_TRUE(fake.sentTo.empty());
    EXPECT_LT(fake.nowNs - startNs, 1'000'000) << "fake time the pass took, ns";
}

// A dispatch answered early leaves its place in the send-order queue to a later one, whose
// flight may be the same object: every request still times out at its own deadline, and the
// dispatches end in list order.
struct QueueCase {
    const char* name;
    uint32_t window;
    const char* silent;  // one character a host, in list order: 's' silent, '.' answers
    int32_t retries;
    int64_t longestPassMs;  // each silent host's tries, one after the other, and a little
    // Answers carry their arrival stamps: the window wakes at most every 200 µs while busy, and
    // reads what came meanwhile late.
    bool readsLate = false;
};

class RawWindowQueueTest : public EngineTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(RawWindowQueueTest, EveryRequestTimesOutAtItsOwnDeadline) {
    const QueueCase& c = GetParam();
    settings.timeoutMs = 200;
    fake.autoReply = true;
    fake.stampsEveryArrival = c.readsLate;
    std::vector<std::string> hosts;
    for (size_t i = 0; c.silent[i] != 0; ++i) {
        std::string host = "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
        if (c.silent[i] == 's') fake.silentDestinations.insert(address(host.c_str()));
        hosts.push_back(host);
    }
    RawEchoWindow window(session, c.window);
    ASSERT_FALSE(window.open(settings));
    ListedDispatches dispatches(hosts, settings, c.retries);
    dispatches.clockNs = &fake.nowNs;
    std::vector<int64_t> sentAtNs;
    fake.onSend = [&] { sentAtNs.push_back(fake.nowNs); };
    int64_t startNs = fake.nowNs;

    EXPECT_TRUE(window.runPass(dispatches));

    ASSERT_EQ(dispatches.outcomes.size(), hosts.size());
    ASSERT_EQ(sentAtNs.size(), fake.sentTo.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
        bool silent = c.silent[i] == 's';
        EXPECT_EQ(dispatches.outcomes[i].status,
                  silent ? ExitStatus::TimedOut : ExitStatus::Replied)
            << "host " << i;
        if (!silent) continue;
        // Its last try had its whole time-out: the line was not written earlier.
        size_t lastTry = fake.sentTo.size();
        for (size_t sent = 0; sent < fake.sentTo.size(); ++sent) {
            if (fake.sentTo[sent] == address(hosts[i].c_str())) lastTry = sent;
        }
        ASSERT_LT(lastTry, sentAtNs.size()) << "host " << i;
        EXPECT_GE(dispatches.finishedAtNs[i] - sentAtNs[lastTry], 200'000'000) << "host " << i;
    }
    EXPECT_LE(fake.nowNs - startNs, c.longestPassMs * 1'000'000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawWindowQueueTest,
    ::testing::Values(
        QueueCase{"EveryOtherSilent", 2, "s.s.s.s.", 0, 4 * 200 + 50},
        QueueCase{"AnswersBehindASilentOne", 2, "s......s......", 0, 2 * 200 + 50},
        QueueCase{"SilentRunAfterAnswers", 3, "......sss", 0, 200 + 50},
        QueueCase{"TriesSentAgain", 2, ".s.s..", 2, 2 * 3 * 200 + 50},
        QueueCase{"WindowOfOne", 1, ".s.s", 1, 2 * 2 * 200 + 50},
        QueueCase{"ManyInAWideWindow", 64,
                  "s..s.s...ss.s....s.s..s.s.ss...s..s.s..s..ss.s..s.s..s.s..sss.", 0, 200 + 50},
        QueueCase{"AnswersBehindASilentOneReadLate", 2, "s......s......", 0, 2 * 200 + 50, true},
        QueueCase{"TriesSentAgainReadLate", 2, ".s.s..", 2, 2 * 3 * 200 + 50, true},
        QueueCase{"ManyInAWideWindowReadLate", 64,
                  "s..s.s...ss.s....s.s..s.s.ss...s..s.s..s..ss.s..s.s..s.s..sss.", 0, 200 + 50,
                  true},
        // Nothing else to do: the one answer is taken as it comes, not after a
        // while.
        QueueCase{"OneHostReadLate", 4, ".", 0, 2, true}),
    [](const ::testing::TestParamInfo<QueueCase>& param) { return param.param.name; });

}  // namespace
}  // namespace quilvane::testing
