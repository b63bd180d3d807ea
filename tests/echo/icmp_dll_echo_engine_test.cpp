// The echo-service engine against the fake platform: binding, resolution, the loop and statuses.
#include "echo/icmp_dll_echo_engine.h"

#include <gtest/gtest.h>

#include "echo/engine_test_support.h"
#include "support/console_control.h"
#include "support/random.h"

namespace quilvane::testing {
namespace {

const std::string header = "Pinging 10.0.0.1 with 32 bytes of data every 1000 ms:\n\n";
const std::string reply1 = "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";
const std::string reply2 = "Reply[2] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";
// Asked for by the run itself: only the echo service's own permission can help.
const std::string notLoadable = "Could not load the ICMP DLL\n<remedy: ping sockets>\n";

FakeEcho goodEcho() {
    FakeEcho echo;
    echo.reply.ttl = 64;
    return echo;
}

FakeEcho statusEcho(uint32_t status) {
    FakeEcho echo = goodEcho();
    echo.reply.status = status;
    return echo;
}

FakeEcho noReply() {
    FakeEcho echo;
    echo.replies = 0;
    echo.elapsedMs = 1000;
    return echo;
}

class EchoServiceEngineTest : public EngineTest {
  protected:
    void ping(const std::string& host = "10.0.0.1", bool inRound = false,
              PingStatistics* statistics = nullptr) {
        pingWith<IcmpDllEchoEngine>(host, inRound, statistics);
    }
};

// --- Binding the echo service, once per process ---

TEST_F(EchoServiceEngineTest, UnloadableServiceIsReportedOnceWithItsRemedy) {
    fake.serviceState = EchoServiceState::NotLoadable;

    ping();
    EXPECT_EQ(output, notLoadable);
    EXPECT_EQ(lastStatus, 2);

    lastStatus = 0;
    ping("10.0.0.2");
    EXPECT_EQ(output, notLoadable);
    EXPECT_EQ(lastStatus, 2);
    EXPECT_EQ(fake.calls, std::vector<std::string>{"load echo service"});
}

TEST_F(EchoServiceEngineTest, MissingOperationIsReportedOnceAndHostsAreSkipped) {
    fake.serviceState = EchoServiceState::MissingOperation;

    ping();
    lastStatus = 0;
    ping();

    EXPECT_EQ(output, "Could not find ICMP functions in the ICMP DLL\n");
    EXPECT_EQ(lastStatus, 2);
    EXPECT_EQ(fake.calls, std::vector<std::string>{"load echo service"});
}

TEST_F(EchoServiceEngineTest, ServiceIsBoundOnlyOncePerSession) {
    settings.count = 0;
    ping("10.0.0.1", true);
    ping("10.0.0.2", true);
    EXPECT_EQ(countOf(fake.calls, "load echo service"), 1u);

    session = EchoSession();
    ping("10.0.0.3", true);
    EXPECT_EQ(countOf(fake.calls, "load echo service"), 2u);
}

// --- Resolution, handle and the host header ---

TEST_F(EchoServiceEngineTest, UnresolvableNameIsSkipped) {
    PingStatistics record;
    record.sent = 99;

    ping("nosuch", false, &record);

    EXPECT_EQ(output, "Could not resolve the host name nosuch\n");
    EXPECT_EQ(lastStatus, 2);
    EXPECT_EQ(record.sent, 99u);
    EXPECT_TRUE(fake.callsStartingWith("create").empty());
}

TEST_F(EchoServiceEngineTest, NameShowsAddressInRepliesAndTheTypedTextInStatistics) {
    settings.count = 2;
    fake.names["gw"] = HostEntry{"gateway.lab", address("10.0.0.1")};
    fake.echoes = {goodEcho(), goodEcho()};

    ping("gw");

    EXPECT_EQ(output, "Pinging gateway.lab [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n" +
                          reply1 + reply2 + statisticsBlock("gw", 2, 2, 1.0, 1.0, 1.0));
    EXPECT_EQ(lastStatus, 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"load echo service", "gethostbyname gw",
                                                    "create echo handle", "echo 32", "sleep 1000",
                                                    "echo 32", "close echo handle"}));
    EXPECT_EQ(fake.echoRequests[0].destination, address("10.0.0.1"));
}

TEST_F(EchoServiceEngineTest, DottedHostIsSentToItselfAndShownAsItsLookupSays) {
    fake.names["10.0.0.1"] = HostEntry{"alias.lab", address("10.0.0.2")};
    fake.echoes = {goodEcho(), noReply()};
    settings.count = 2;

    ping("10.0.0.1", true);

    EXPECT_EQ(fake.echoRequests[0].destination, address("10.0.0.1"));
    EXPECT_EQ(output,
              "Reply[1] from 10.0.0.2: bytes=32 time=1.0 ms TTL=64\n"
              "10.0.0.2: request timed out\n");
}

TEST_F(EchoServiceEngineTest, DottedHostWithNamesShowsTheReverseName) {
    settings.resolveNames = 1;
    settings.count = 0;
    fake.reverseNames[address("10.0.0.1")] = "host.lab";

    ping();

    EXPECT_EQ(output,
              "Pinging host.lab [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n"
              "No ping statistics available");
}

TEST_F(EchoServiceEngineTest, DottedHostWithoutReverseNameShowsNoNameAndNoMessage) {
    settings.resolveNames = 1;
    settings.count = 0;

    ping();

    EXPECT_EQ(output, header + "No ping statistics available");
}

TEST_F(EchoServiceEngineTest, UnresolvableDottedHostTurnsNamesOffAndIsPinged) {
    settings.resolveNames = 1;
    fake.unresolvable = {"10.0.0.1"};
    fake.echoes = {goodEcho()};

    ping();

    EXPECT_EQ(output,
              "Host 10.0.0.1 cannot be resolved. Resolve addresses to hostnames turned off.\n" +
                  header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_TRUE(fake.callsStartingWith("gethostbyaddr").empty());
}

TEST_F(EchoServiceEngineTest, MissingHandleSkipsTheHost) {
    fake.createHandleFails = true;
    PingStatistics record;
    record.sent = 99;

    ping("10.0.0.1", false, &record);

    EXPECT_EQ(output, "Could not get a valid ICMP handle\n");
    EXPECT_EQ(lastStatus, 2);
    EXPECT_EQ(record.sent, 99u);
    EXPECT_TRUE(fake.callsStartingWith("echo").empty());
}

// --- The request: options record and data ---

TEST_F(EchoServiceEngineTest, RequestCarriesTheSettingsAndTheRouteOption) {
    settings.ttl = 5;
    settings.tos = 16;
    settings.dontFragment = 1;
    settings.recordRoutes = 3;
    settings.timeoutMs = 250;

    ping("10.0.0.1", true);

    ASSERT_EQ(fake.echoRequests.size(), 1u);
    const EchoServiceRequest& request = fake.echoRequests[0];
    EXPECT_EQ(request.ttl, 5);
    EXPECT_EQ(request.tos, 16);
    EXPECT_TRUE(request.dontFragment);
    EXPECT_EQ(request.timeoutMs, 250u);
    EXPECT_EQ(request.dataSize, 32);
    EXPECT_EQ(request.optionsSize, 15);
    EXPECT_EQ(fake.echoOptions[0],
              (std::vector<uint8_t>{7, 15, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(EchoServiceEngineTest, RequestWithoutRouteCarriesNoOptions) {
    ping("10.0.0.1", true);

    ASSERT_EQ(fake.echoRequests.size(), 1u);
    EXPECT_EQ(fake.echoRequests[0].ttl, 128);
    EXPECT_FALSE(fake.echoRequests[0].dontFragment);
    EXPECT_EQ(fake.echoRequests[0].optionsSize, 0);
    EXPECT_TRUE(fake.echoOptions[0].empty());
}

TEST_F(EchoServiceEngineTest, PatternIsRepeatedOverTheData) {
    settings.dataSize = 8;
    pattern = "abc";

    ping("10.0.0.1", true);

    ASSERT_EQ(fake.echoData.size(), 1u);
    EXPECT_EQ(std::string(fake.echoData[0].begin(), fake.echoData[0].end()), "abcabcab");
}

TEST_F(EchoServiceEngineTest, RandomDataIsDrawnAfreshForEveryRequest) {
    settings.count = 2;
    settings.dataSize = 6;
    fake.echoes = {goodEcho(), goodEcho()};
    auto expectedAt = [](uint32_t tick) {
        seedRandom(tick);
        std::vector<uint8_t> bytes(6);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(nextRandom() & 0xFF);
        return bytes;
    };
    uint32_t start = fake.tickCount();

    ping("10.0.0.1", true);

    ASSERT_EQ(fake.echoData.size(), 2u);
    EXPECT_EQ(fake.echoData[0], expectedAt(start));
    // One millisecond for the echo and the interval of 1000 ms lie between the two fills.
    EXPECT_EQ(fake.echoData[1], expectedAt(start + 1001));
}

// --- Outcomes, statuses and pauses ---

TEST_F(EchoServiceEngineTest, DontFragmentOver1472IsCountedWithoutSendingAndPausesTheInterval) {
    settings.count = 4;
    settings.dontFragment = 1;
    settings.dataSize = 1473;

    ping();

    std::string refused = "Packet size exceeds MTU and needs to be fragmented but DF set.\n";
    EXPECT_EQ(output, "Pinging 10.0.0.1 with 1473 bytes of data every 1000 ms:\n\n" + refused +
                          refused + refused + refused +
                          statisticsBlock("10.0.0.1", 4, 0, 0.0, 0.0, 0.0));
    EXPECT_TRUE(fake.callsStartingWith("echo").empty());
    // Between the refusals, not after the last one.
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>(3, "sleep 1000"));
    EXPECT_EQ(lastStatus, 3);
}

TEST_F(EchoServiceEngineTest, DontFragmentAt1472IsSent) {
    settings.dontFragment = 1;
    settings.dataSize = 1472;
    fake.echoes = {goodEcho()};

    ping("10.0.0.1", true);

    EXPECT_EQ(fake.callsStartingWith("echo"), std::vector<std::string>{"echo 1472"});
    EXPECT_EQ(lastStatus, 0);
}

TEST_F(EchoServiceEngineTest, NoReplyIsATimeoutWithoutPause) {
    settings.count = 2;

    ping();

    std::string timeout = "10.0.0.1: request timed out\n";
    EXPECT_EQ(output,
              header + timeout + timeout + statisticsBlock("10.0.0.1", 2, 0, 0.0, 0.0, 0.0));
    EXPECT_TRUE(fake.callsStartingWith("sleep").empty());
    EXPECT_EQ(lastStatus, 1);
}

TEST_F(EchoServiceEngineTest, ErrorStatusIsPrintedAndCountedAsLost) {
    fake.echoes = {statusEcho(ipStatus::ttlExpiredTransit)};

    ping();

    EXPECT_EQ(output, header + "Incorrect IP status: 11013\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(lastStatus, 5);
}

TEST_F(EchoServiceEngineTest, ShortReplyIsPrintedAndCountedAsLost) {
    FakeEcho echo = goodEcho();
    echo.echoRequestSize = false;
    echo.reply.dataSize = 10;
    fake.echoes = {echo};

    ping();

    EXPECT_EQ(output, header + "Too few bytes from 10.0.0.1\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(lastStatus, 4);
}

TEST_F(EchoServiceEngineTest, ContinuousErrorStatusesAreSpacedByTheInterval) {
    settings.continuous = 1;
    fake.echoes.assign(5, statusEcho(ipStatus::destinationHostUnreachable));
    fake.onSend = [&] {
        if (fake.echoRequests.size() == 4) stopRequested = true;
    };

    ping();

    std::string line = "Incorrect IP status: 11003\n";
    EXPECT_EQ(output, header + line + line + line + line + line +
                          statisticsBlock("10.0.0.1", 5, 0, 0.0, 0.0, 0.0));
    // An error answered at once would otherwise send at the speed of the network. The last
    // pause begins too; a stop request cuts it short.
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>(5, "sleep 1000"));
}

TEST_F(EchoServiceEngineTest, OnlyATimeOutIsNotFollowedByTheInterval) {
    settings.count = 4;
    settings.intervalMs = 300;
    fake.echoes = {goodEcho(), noReply(), statusEcho(ipStatus::generalFailure), goodEcho()};

    ping("10.0.0.1", true);

    EXPECT_EQ(output,
              "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n"
              "10.0.0.1: request timed out\n"
              "Incorrect IP status: 11050\n"
              "Reply[4] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n");
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>(2, "sleep 300"));
}

TEST_F(EchoServiceEngineTest, RouteBlockFollowsAReplyWithOptions) {
    settings.recordRoutes = 2;
    FakeEcho echo = goodEcho();
    const uint8_t route[] = {7, 11, 12, 10, 1, 1, 1, 10, 0, 0, 1};
    std::copy(std::begin(route), std::end(route), echo.reply.options);
    echo.reply.optionsSize = sizeof route;
    fake.echoes = {echo};

    ping("10.0.0.1", true);

    EXPECT_EQ(output, reply1 + "\tRoute:  10.1.1.1  ->\n\t\t10.0.0.1\n");
}

TEST_F(EchoServiceEngineTest, ZeroCountSendsNothing) {
    settings.count = 0;

    ping();

    EXPECT_EQ(output, header + "No ping statistics available");
    EXPECT_TRUE(fake.callsStartingWith("echo").empty());
    EXPECT_EQ(fake.calls.back(), "close echo handle");
}

// --- Control-\ and Control-C, rounds ---

TEST_F(EchoServiceEngineTest, BreakRequestPrintsInterimBlockWithTheTypedHost) {
    settings.count = 2;
    fake.names["gw"] = HostEntry{"gw", address("10.0.0.1")};
    fake.echoes = {goodEcho(), goodEcho()};
    fake.onSleep = [](uint32_t) { breakRequested = true; };

    ping("gw");

    EXPECT_EQ(output, "Pinging gw [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n" + reply1 +
                          statisticsBlock("gw", 1, 1, 1.0, 1.0, 1.0, true) + reply2 +
                          statisticsBlock("gw", 2, 2, 1.0, 1.0, 1.0));
    EXPECT_FALSE(breakRequested);
}

TEST_F(EchoServiceEngineTest, StopRequestEndsTheLoopAndClosesTheHandle) {
    settings.count = 5;
    fake.echoes.assign(5, goodEcho());
    fake.onSleep = [](uint32_t) { stopRequested = true; };

    ping();

    EXPECT_EQ(output, header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_EQ(fake.calls.back(), "close echo handle");
}

TEST_F(EchoServiceEngineTest, RoundUsesItsReplyNumberAndHandsOverStatistics) {
    settings.count = 2;
    settings.replyNumber = 7;
    FakeEcho slower = goodEcho();
    slower.elapsedMs = 3;
    fake.echoes = {goodEcho(), slower};
    PingStatistics record;

    ping("10.0.0.1", true, &record);

    EXPECT_EQ(output,
              "Reply[7] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n"
              "Reply[7] from 10.0.0.1: bytes=32 time=3.0 ms TTL=64\n");
    EXPECT_EQ(record.sent, 2u);
    EXPECT_EQ(record.received, 2u);
    EXPECT_DOUBLE_EQ(record.minimum, 1.0);
    EXPECT_DOUBLE_EQ(record.maximum, 3.0);
    EXPECT_DOUBLE_EQ(record.average, 2.0);
}

TEST_F(EchoServiceEngineTest, RoundTripRunsFromTheTransmitStampToTheReceiveStamp) {
    // The echo takes 1 ms of fake time; the kernel stamped the reply 0.3 ms after the start, and
    // then the request 0.1 ms after the start.
    FakeEcho stamped = goodEcho();
    stamped.reply.receivedAtNs = fake.realTimeNs() + 300'000;
    FakeEcho sentLater = stamped;
    sentLater.reply.receivedAtNs = fake.realTimeNs() + 1'000'000 + 300'000;
    sentLater.reply.sentAtNs = fake.realTimeNs() + 1'000'000 + 100'000;
    fake.echoes = {stamped, sentLater};
    settings.count = 2;
    settings.intervalMs = 0;

    ping("10.0.0.1", true);

    EXPECT_EQ(output,
              "Reply[1] from 10.0.0.1: bytes=32 time=0.3 ms TTL=64\n"
              "Reply[2] from 10.0.0.1: bytes=32 time=0.2 ms TTL=64\n");
}

}  // namespace
}  // namespace quilvane::testing
