// The raw window's tries against the fake platform: sequence numbers that wrap while a try waits.
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
    HostOutcome pingThroughEchoService(const std::string&, const EchoJob&) override { return {}; }
    void finished(size_t, const HostOutcome& outcome) override { outcomes.push_back(outcome); }

    std::vector<HostOutcome> outcomes;

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

}  // namespace
}  // namespace quilvane::testing
