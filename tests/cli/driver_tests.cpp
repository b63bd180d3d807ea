// The runs over hosts and sizes, end to end through the fake platform: passes, numbering, waits,
// separators, the fallback to the echo service, stop and break requests, and the totals. Every
// wait shows in the compared text as a "<sleep ms>" line, and every time is the fake clock's.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_test_support.h"
#include "cli/start_up.h"
#include "fakes/fake_platform.h"
#include "support/console_control.h"
#include "support/inet.h"

namespace quilvane {
namespace {

using testing::allTook;
using testing::ArgumentVector;
using testing::bannerLines;
using testing::FakeDatagram;
using testing::FakeEcho;
using testing::FakePlatform;
using testing::hostHeader;
using testing::manyHostsHeader;
using testing::randomHeader;
using testing::replyLine;
using testing::replyLines;
using testing::ScopedFakePlatform;
using testing::sleepMark;
using testing::statisticsLines;
using testing::sweepHeader;
using testing::timeoutLine;
using testing::totalsLines;

const std::string a1 = "10.0.0.1";
const std::string a2 = "10.0.0.2";
const std::string a3 = "10.0.0.3";
const std::string a4 = "10.0.0.4";

FakeEcho goodEcho() {
    FakeEcho echo;
    echo.reply.ttl = 64;
    return echo;
}

class DriverTest : public ::testing::Test {
  protected:
    DriverTest() {
        platform.fake.autoReply = true;
        platform.fake.sleepMarks = &platform.output;
    }

    int run(const std::vector<std::string>& arguments) {
        ArgumentVector vector(arguments);
        return runProgram(vector.argc(), vector.argv()) & 0xFF;
    }

    ScopedFakePlatform platform;
};

// --- Whole runs, compared as one text -----------------------------------------------------------

struct WholeRun {
    std::string name;
    std::vector<std::string> arguments;
    std::string expected;
    int exitCode = 0;
    std::function<void(FakePlatform&)> arrange = [](FakePlatform&) {};
};

void PrintTo(const WholeRun& run, std::ostream* out) {
    *out << run.name;
}

void nameFirstHost(FakePlatform& fake) {
    fake.reverseNames[inetAddr("10.0.0.1")] = "one.lab";
}

// Raises a stop request during the given send.
std::function<void(FakePlatform&)> stopAtSend(int stopping) {
    return [stopping](FakePlatform& fake) {
        fake.onSend = [stopping, sends = 0]() mutable {
            if (++sends == stopping) stopRequested = true;
        };
    };
}

std::vector<WholeRun> manyHostRuns() {
    const std::string banner = bannerLines();
    return {
        {"TwoHostsWithoutCountMakeOnePass",
         {a1, a2},
         banner + manyHostsHeader() + replyLines(1, {a1, a2}, 32) + totalsLines(2, 2, allTook(1))},
        // Many hosts: the separator comes before the wait; the numbers run on across passes.
        {"ManyHostPassesAreSeparatedThenWaitedFor",
         {a1, a2, "-n", "3", "-t", "250"},
         banner + manyHostsHeader(32, 250) + replyLines(1, {a1, a2}, 32) + "\n" + sleepMark(250) +
             replyLines(3, {a1, a2}, 32) + "\n" + sleepMark(250) + replyLines(5, {a1, a2}, 32) +
             totalsLines(6, 6, allTook(1))},
        {"OneHostFromAHostFileIsAManyHostRun",
         {"-H", "hosts.txt", "-n", "1"},
         banner + manyHostsHeader() + replyLine(1, a1, 32) + totalsLines(1, 1, allTook(1)),
         0,
         [](FakePlatform& fake) { fake.files["hosts.txt"] = "10.0.0.1\r\n"; }},
        {"AllEchoesTimingOutShowFullLossAndZeroTimes",
         {a1, a2},
         banner + manyHostsHeader() + timeoutLine(a1) + timeoutLine(a2) +
             totalsLines(2, 0, allTook(0)),
         1,
         [](FakePlatform& fake) { fake.autoReply = false; }},
        {"AHostThatCannotBeResolvedTakesANumberButAddsNothing",
         {"nosuchhost", a2},
         banner + manyHostsHeader() + "Host not found: nosuchhost  error 11001\n" +
             replyLine(2, a2, 32) + totalsLines(1, 1, allTook(1))},
        {"ANegativeCountGivesNoPass",
         {a1, a2, "-n", "-3"},
         banner + manyHostsHeader() + "No ping statistics available\n"},
        // A host without replies adds its echoes to the sent count and nothing to the times:
        // neither its minimum nor an average of 0 is merged. The slowest host is neither the
        // first nor the last, and the average is over every reply, not over the hosts.
        {"TotalsMergeTheTimesOfTheHostsThatReplied",
         {a1, a2, a3, a4, "-n", "2", "-t", "100"},
         banner + manyHostsHeader(32, 100) + timeoutLine(a1) + replyLine(2, a2, 32, 5) +
             replyLine(3, a3, 32, 8) + replyLine(4, a4, 32, 2) + "\n" + sleepMark(100) +
             timeoutLine(a1) + replyLine(6, a2, 32, 5) + replyLine(7, a3, 32, 8) +
             replyLine(8, a4, 32, 2) + totalsLines(8, 6, {2, 8, 5}),
         0,
         [](FakePlatform& fake) {
             fake.silentDestinations = {inetAddr("10.0.0.1")};
             fake.replyDelays = {
                 {inetAddr("10.0.0.2"), 5}, {inetAddr("10.0.0.3"), 8}, {inetAddr("10.0.0.4"), 2}};
         }},
        {"ResolvedListFollowsTheManyHostHeader",
         {a1, a2, "-a"},
         banner + manyHostsHeader() + "Resolved hostname list:\none.lab [10.0.0.1]\n10.0.0.2\n\n" +
             replyLines(1, {a1, a2}, 32) + totalsLines(2, 2, allTook(1)),
         0,
         nameFirstHost},
        {"LimitedOutputKeepsRepliesSeparatorsAndWaitsOnly",
         {a1, a2, "-n", "2", "-l", "-a"},
         replyLines(1, {a1, a2}, 32) + "\n" + sleepMark(1000) + replyLines(3, {a1, a2}, 32),
         0,
         nameFirstHost},
    };
}

std::vector<WholeRun> sweepAndRandomRuns() {
    const std::string banner = bannerLines();
    return {
        // A one-host sweep lists no names, even with -a.
        {"OneHostSweepWaitsBetweenSizes",
         {a1, "-a", "-S", "10/12"},
         banner + sweepHeader(false, 10, 12) + replyLine(1, a1, 10) + sleepMark(1000) +
             replyLine(2, a1, 11) + sleepMark(1000) + replyLine(3, a1, 12) +
             totalsLines(3, 3, allTook(1)),
         0,
         nameFirstHost},
        // One host: the wait comes before the separator.
        {"OneHostSweepWaitsThenSeparatesItsPasses",
         {a1, "-S", "10/11", "-n", "2", "-t", "7", "-l"},
         replyLine(1, a1, 10) + sleepMark(7) + replyLine(2, a1, 11) + sleepMark(7) + "\n" +
             replyLine(3, a1, 10) + sleepMark(7) + replyLine(4, a1, 11)},
        {"ManyHostSweepDispatchesEveryHostPerSize",
         {a1, a2, "-S", "10/11", "-n", "2", "-t", "7"},
         banner + sweepHeader(true, 10, 11, 7) + replyLines(1, {a1, a2}, 10) + sleepMark(7) +
             replyLines(3, {a1, a2}, 11) + "\n" + sleepMark(7) + replyLines(5, {a1, a2}, 10) +
             sleepMark(7) + replyLines(7, {a1, a2}, 11) + totalsLines(8, 8, allTook(1))},
        {"ASweepTakesEachHostsOwnTime",
         {a1, a2, "-S", "10/11", "-l"},
         replyLine(1, a1, 10, 4) + replyLine(2, a2, 10, 9) + sleepMark(1000) +
             replyLine(3, a1, 11, 4) + replyLine(4, a2, 11, 9),
         0,
         [](FakePlatform& fake) {
             fake.replyDelays = {{inetAddr("10.0.0.1"), 4}, {inetAddr("10.0.0.2"), 9}};
         }},
        {"LimitedOutputOfASweepHasNoHeaderAndNoTotals",
         {a1, "-S", "10/11", "-l"},
         replyLine(1, a1, 10) + sleepMark(1000) + replyLine(2, a1, 11)},
        // A random run only waits between its passes. With one size to choose from, every
        // pass takes it: the upper bound is never drawn. No names are listed for one host.
        {"OneHostRandomRunWaitsWithoutSeparators",
         {a1, "-a", "-R", "10/11", "-n", "3", "-t", "9"},
         banner + randomHeader(false, 10, 11, 9) + replyLine(1, a1, 10) + sleepMark(9) +
             replyLine(2, a1, 10) + sleepMark(9) + replyLine(3, a1, 10) +
             totalsLines(3, 3, allTook(1)),
         0,
         nameFirstHost},
        // Without -n a one-host random run still counts its passes (four by default). The
        // sizes are the ones the generator gives for the fake clock's calendar second.
        {"OneHostRandomSizesAreDrawnPerPass",
         {a1, "-R", "10/1000", "-l"},
         replyLine(1, a1, 942) + sleepMark(1000) + replyLine(2, a1, 692) + sleepMark(1000) +
             replyLine(3, a1, 330) + sleepMark(1000) + replyLine(4, a1, 139)},
        {"ManyHostRandomRunUsesOneSizePerPass",
         {a1, a2, "-R", "10/1000", "-n", "3", "-t", "9"},
         banner + randomHeader(true, 10, 1000, 9) + replyLines(1, {a1, a2}, 942) + sleepMark(9) +
             replyLines(3, {a1, a2}, 692) + sleepMark(9) + replyLines(5, {a1, a2}, 330) +
             totalsLines(6, 6, allTook(1))},
        {"PatternDataGivesWayToRandomData",
         {a1, "-d", "abc", "-R", "10/20", "-n", "1"},
         banner + "Unable to ping with specified data. Using random data.\n" +
             randomHeader(false, 10, 20) + replyLine(1, a1, 12) + totalsLines(1, 1, allTook(1))},
    };
}

// One host at a fixed size is the engine's run, header and statistics included.
std::vector<WholeRun> engineRuns() {
    const std::string banner = bannerLines();
    const std::string refused = "socket() - Operation not permitted\nswitching to ICMP dll\n";
    return {
        {"OneHostRunByTheEngineListsNoNames",
         {a1, "-a", "-n", "2", "-t", "5"},
         banner + hostHeader("one.lab [10.0.0.1]", 32, 5) + replyLine(1, a1, 32) + sleepMark(5) +
             replyLine(2, a1, 32) + statisticsLines(a1, 2, 2, allTook(1)),
         0,
         nameFirstHost},
        {"RefusedRawSocketForASingleHostHandsTheWholeRunOver",
         {a1, "-n", "2", "-r", "3", "-t", "5"},
         banner + refused + "Route options disabled by ICMP dll\n" + hostHeader(a1, 32, 5) +
             replyLine(1, a1, 32, 3) + sleepMark(5) + replyLine(2, a1, 32, 3) +
             statisticsLines(a1, 2, 2, allTook(3)),
         0,
         [](FakePlatform& fake) {
             fake.openRawError = 10013;
             fake.echoes = {goodEcho(), goodEcho()};
             for (FakeEcho& echo : fake.echoes) echo.elapsedMs = 3;
         }},
        // Every host switches again, the routes are dropped once, each echo takes its own time.
        {"RefusedRawSocketSwitchesEveryHostOfAManyHostRun",
         {a1, a2, a3, "-r", "3", "-l"},
         refused + "Route options disabled by ICMP dll\n" + replyLine(1, a1, 32, 3) + refused +
             replyLine(2, a2, 32, 7) + refused + replyLine(3, a3, 32, 2),
         0,
         [](FakePlatform& fake) {
             fake.openRawError = 10013;
             fake.echoes = {goodEcho(), goodEcho(), goodEcho()};
             fake.echoes[0].elapsedMs = 3;
             fake.echoes[1].elapsedMs = 7;
             fake.echoes[2].elapsedMs = 2;
         }},
        {"EchoServiceChosenForManyHostsReportsEachOutcome",
         {a1, a2, a3, "-i", "-n", "2", "-w", "50", "-l"},
         replyLine(1, a1, 32) + "Incorrect IP status: 11003\n" + timeoutLine(a3) + "\n" +
             sleepMark(1000) + "Too few bytes from 10.0.0.1\n" + replyLine(5, a2, 32, 4) +
             timeoutLine(a3),
         1,
         [](FakePlatform& fake) {
             FakeEcho unreachable = goodEcho();
             unreachable.reply.status = 11003;
             FakeEcho silent;
             silent.replies = 0;
             silent.elapsedMs = 50;
             FakeEcho shortReply = goodEcho();
             shortReply.echoRequestSize = false;
             shortReply.reply.dataSize = 8;
             FakeEcho slower = goodEcho();
             slower.elapsedMs = 4;
             fake.echoes = {goodEcho(), unreachable, silent, shortReply, slower, silent};
         }},
        {"OtherRawSocketFailuresDoNotSwitch",
         {a1, a2, "-l"},
         "socket() - WSAError: 10024\nsocket() - WSAError: 10024\n",
         2,
         [](FakePlatform& fake) { fake.openRawError = 10024; }},
    };
}

std::vector<WholeRun> stoppedRuns() {
    const std::string banner = bannerLines();
    return {
        {"StopDuringAContinuousPassEndsItAfterTheRunningEcho",
         {a1, a2, a3, "-c"},
         banner + manyHostsHeader() + replyLines(1, {a1, a2}, 32) + totalsLines(2, 2, allTook(1)),
         0,
         stopAtSend(2)},
        {"StopDuringTheWaitBetweenPassesEndsTheRun",
         {a1, a2, "-c", "-t", "3"},
         banner + manyHostsHeader(32, 3) + replyLines(1, {a1, a2}, 32) + "\n" + sleepMark(3) +
             totalsLines(2, 2, allTook(1)),
         0,
         [](FakePlatform& fake) { fake.onSleep = [](uint32_t) { stopRequested = true; }; }},
        {"StopBetweenTheSizesOfASweepEndsTheRun",
         {a1, "-S", "10/20", "-c"},
         banner + sweepHeader(false, 10, 20) + replyLine(1, a1, 10) + sleepMark(1000) +
             totalsLines(1, 1, allTook(1)),
         0,
         [](FakePlatform& fake) { fake.onSleep = [](uint32_t) { stopRequested = true; }; }},
        {"ContinuousManyHostRunGoesOnUntilStopped",
         {a1, a2, "-c", "-n", "1", "-l"},
         replyLines(1, {a1, a2}, 32) + "\n" + sleepMark(1000) + replyLines(3, {a1, a2}, 32) + "\n" +
             sleepMark(1000) + replyLines(5, {a1, a2}, 32) + "\n" + sleepMark(1000) +
             replyLines(7, {a1, a2}, 32),
         0,
         // At the last send of a pass: with -p the requests due at one wake-up leave together.
         stopAtSend(8)},
    };
}

// IPv6 hosts alone and among IPv4 ones, on both engines, with the same lines and numbering.
std::vector<WholeRun> ipv6Runs() {
    const std::string banner = bannerLines();
    const std::string b1 = "fd00:5152::1";
    const std::string b2 = "fd00:5152::a:2";
    auto dualName = [](FakePlatform& fake) {
        fake.names["dual.lab"] = HostEntry{"dual.lab", inetAddr("10.0.0.9")};
        fake.names6["dual.lab"] = HostEntry{"dual.lab", testing::ipv6("fd00:5152::9")};
        fake.names6["six.lab"] = HostEntry{"six.lab", testing::ipv6("fd00:5152::6")};
    };
    return {
        {"AnIpv6HostShowsItsHopLimitAsTtl",
         {"FD00:5152:0:0:0:0:0:1", "-n", "2", "-t", "5"},
         banner + hostHeader(b1, 32, 5) + replyLine(1, b1, 32, 1, 57) + sleepMark(5) +
             replyLine(2, b1, 32, 1, 57) + statisticsLines(b1, 2, 2, allTook(1)),
         0,
         [](FakePlatform& fake) { fake.replyTtl = 57; }},
        {"TheReplysTrafficClassShowsAsTos",
         {b1, "-v", "32", "-n", "1", "-l"},
         "Reply[1] from " + b1 + ": bytes=32 time=1.0 ms TTL=64 TOS=32\n",
         0,
         [](FakePlatform& fake) { fake.replyTos = 32; }},
        {"MixedHostsEachGoTheirOwnFamilyAndRoutesAreDroppedForIpv6Once",
         {a1, b1, a2, b2, "-r", "2", "-n", "2", "-l"},
         replyLine(1, a1, 32) + "Route options disabled for IPv6 hosts\n" +
             replyLines(2, {b1, a2, b2}, 32) + "\n" + sleepMark(1000) +
             replyLines(5, {a1, b1, a2, b2}, 32)},
        {"AnIpv6RangeSweepsEveryAddressAcrossAGroupBoundary",
         {"-g", "fd00:5152::fffe/fd00:5152::1:1", "-n", "1", "-l"},
         replyLines(1, {"fd00:5152::fffe", "fd00:5152::ffff", "fd00:5152::1:0", "fd00:5152::1:1"},
                    32)},
        {"AnIpv6RangeOfMoreThan65536AddressesIsIgnored",
         {a1, "-g", "fd00:5152::/fd00:5152::1:0", "-n", "1", "-l"},
         replyLine(1, a1, 32)},
        {"DontFragmentRefusesMoreThan1452BytesOverIpv6",
         {b1, "-f", "-s", "1453", "-n", "1", "-l"},
         "Packet size exceeds MTU and needs to be fragmented but DF set.\n",
         3},
        {"DontFragmentLets1452BytesGoOverIpv6",
         {b1, "-f", "-s", "1452", "-n", "1", "-l"},
         replyLine(1, b1, 1452)},
        {"ANameWithBothFamiliesTakesItsIpv4AddressUnlessIpv6IsForced",
         {"dual.lab", "fd00:5152::9", "-6", "-n", "1", "-l"},
         replyLines(1, {"fd00:5152::9", "fd00:5152::9"}, 32),
         0,
         dualName},
        {"ForcingIpv4LeavesAnIpv6OnlyNameAndLiteralUnresolved",
         {"six.lab", b1, "dual.lab", "-4", "-n", "1", "-l"},
         "Host not found: six.lab  error 11001\nHost not found: " + b1 + "  error 11001\n" +
             replyLine(3, "10.0.0.9", 32),
         0,
         dualName},
        {"ForcingIpv6LeavesAnIpv4LiteralUnresolved",
         {a1, "-6", "-n", "1"},
         banner + "Host not found: 10.0.0.1  error 11001\n",
         2},
        {"AnIpv6OnlyNameNeedsNoOption",
         {"six.lab", "-n", "1"},
         banner + hostHeader("six.lab [fd00:5152::6]", 32) + replyLine(1, "fd00:5152::6", 32) +
             statisticsLines("fd00:5152::6", 1, 1, allTook(1)),
         0,
         dualName},
        {"TheEchoServiceTakesIpv6HostsToo",
         {b1, a1, "-i", "-r", "1", "-l"},
         "Route options disabled by ICMP dll\n" + replyLine(1, b1, 32, 2) + replyLine(2, a1, 32, 2),
         0,
         [](FakePlatform& fake) {
             fake.echoes = {goodEcho(), goodEcho()};
             for (FakeEcho& echo : fake.echoes) echo.elapsedMs = 2;
         }},
        {"ARefusedIpv6RawSocketHandsTheHostToTheEchoService",
         {b1, a1, "-l"},
         "socket() - Operation not permitted\nswitching to ICMP dll\n" + replyLine(1, b1, 32, 2) +
             replyLine(2, a1, 32),
         0,
         [](FakePlatform& fake) {
             fake.openRaw6Error = 10013;
             fake.echoes = {goodEcho()};
             fake.echoes[0].elapsedMs = 2;
         }},
        {"ResolvedListNamesIpv6AddressesToo",
         {a1, b1, "-a", "-n", "1"},
         banner + manyHostsHeader() + "Resolved hostname list:\none.lab [10.0.0.1]\nsix.lab [" +
             b1 + "]\n\n" + replyLines(1, {a1, b1}, 32) + totalsLines(2, 2, allTook(1)),
         0,
         [](FakePlatform& fake) {
             nameFirstHost(fake);
             fake.reverseNames[testing::ipv6("fd00:5152::1")] = "six.lab";
         }},
    };
}

class WholeRunTest : public DriverTest, public ::testing::WithParamInterface<WholeRun> {};

TEST_P(WholeRunTest, PrintsExactlyTheExpectedText) {
    const WholeRun& expected = GetParam();
    expected.arrange(platform.fake);
    EXPECT_EQ(run(expected.arguments), expected.exitCode);
    EXPECT_EQ(platform.output, expected.expected);
}

std::string nameOf(const ::testing::TestParamInfo<WholeRun>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(ManyHosts, WholeRunTest, ::testing::ValuesIn(manyHostRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(SweepsAndRandomSizes, WholeRunTest,
                         ::testing::ValuesIn(sweepAndRandomRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(EngineAndFallback, WholeRunTest, ::testing::ValuesIn(engineRuns()),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(Stopped, WholeRunTest, ::testing::ValuesIn(stoppedRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(Ipv6, WholeRunTest, ::testing::ValuesIn(ipv6Runs()), nameOf);

// --- Many requests in flight --------------------------------------------------------------------

// With -p every run prints exactly what it prints one request at a time.
class InFlightRunTest : public WholeRunTest {};

TEST_P(InFlightRunTest, PrintsWhatTheOneByOneRunPrints) {
    WholeRun expected = GetParam();
    expected.arguments.insert(expected.arguments.end(), {"-p", "3"});
    expected.arrange(platform.fake);
    EXPECT_EQ(run(expected.arguments), expected.exitCode);
    EXPECT_EQ(platform.output, expected.expected);
}

INSTANTIATE_TEST_SUITE_P(ManyHosts, InFlightRunTest, ::testing::ValuesIn(manyHostRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(SweepsAndRandomSizes, InFlightRunTest,
                         ::testing::ValuesIn(sweepAndRandomRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(EngineAndFallback, InFlightRunTest, ::testing::ValuesIn(engineRuns()),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(Stopped, InFlightRunTest, ::testing::ValuesIn(stoppedRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(Ipv6, InFlightRunTest, ::testing::ValuesIn(ipv6Runs()), nameOf);

// --- One matching rule, with and without -p ------------------------------------------------------

// Queues what make builds 1 ms after the first request goes out, ahead of any reply to it.
std::function<void(FakePlatform&)> afterTheFirstSend(
    std::function<FakeDatagram(const FakePlatform&)> make, bool autoReply = true) {
    return [make, autoReply](FakePlatform& fake) {
        fake.autoReply = autoReply;
        fake.onSend = [&fake, make, sends = 0]() mutable {
            if (++sends != 1) return;
            FakeDatagram datagram = make(fake);
            datagram.length = static_cast<long>(datagram.bytes.size());
            datagram.arrivalNs = fake.nowNs + 1'000'000;
            fake.datagrams.push_back(datagram);
        };
    };
}

uint16_t ourIdentifier(const FakePlatform& fake) {
    return static_cast<uint16_t>(fake.threadId & 0xFFFF);
}

// A reply to the first request from sender, with TTL 99 so that taking it would show.
FakeDatagram firstReplyFrom(const FakePlatform& fake, const std::string& sender,
                            uint16_t identifier) {
    FakeDatagram datagram;
    datagram.bytes = testing::makeEchoReplyDatagram(identifier, 1, 32, 99);
    datagram.sender = inetAddr(sender.c_str());
    (void)fake;
    return datagram;
}

// Every run gives the one-by-one answer with -p too: only the request's own reply counts.
std::vector<WholeRun> matchingRuns() {
    const std::string b1 = "fd00:5152::1";
    return {
        {"AReplyFromAnotherHostIsPassedOver",
         {a1, "-n", "1", "-l"},
         replyLine(1, a1, 32),
         0,
         afterTheFirstSend([](const FakePlatform& fake) {
             return firstReplyFrom(fake, "10.0.0.9", ourIdentifier(fake));
         })},
        {"AnotherIdentifierWithTheAwaitedNumberIsPassedOver",
         {a1, "-n", "1", "-l"},
         replyLine(1, a1, 32),
         0,
         afterTheFirstSend([](const FakePlatform& fake) {
             return firstReplyFrom(fake, a1, ourIdentifier(fake) ^ 0x0101);
         })},
        // The number has come round: the time stamp is an earlier request's.
        {"AStaleReplyWithTheAwaitedNumberIsPassedOver",
         {a1, "-n", "1", "-l"},
         replyLine(1, a1, 32),
         0,
         afterTheFirstSend([](const FakePlatform& fake) {
             FakeDatagram datagram = firstReplyFrom(fake, a1, ourIdentifier(fake));
             datagram.echoesStamp = false;
             return datagram;
         })},
        {"AnIpv6ReplyFromAnotherHostIsPassedOver",
         {b1, "-n", "1", "-l"},
         replyLine(1, b1, 32),
         0,
         afterTheFirstSend([](const FakePlatform& fake) {
             FakeDatagram datagram;
             datagram.bytes = testing::makeEchoReplyMessage6(ourIdentifier(fake), 1, 32);
             datagram.sender = testing::ipv6("fd00:5152::9");
             datagram.hopLimit = 99;
             return datagram;
         })},
        {"AZonelessLinkLocalDestinationTakesTheReplysZone",
         {"fe80::1", "-n", "1", "-l"},
         "Reply[1] from fe80::1%2: bytes=32 time=1.0 ms TTL=64\n",
         0,
         afterTheFirstSend(
             [](const FakePlatform& fake) {
                 FakeDatagram datagram;
                 datagram.bytes = testing::makeEchoReplyMessage6(ourIdentifier(fake), 1, 32);
                 datagram.sender = IpAddress::fromIpv6(*parseIpv6("fe80::1"), 2);
                 datagram.hopLimit = 64;
                 return datagram;
             },
             false)},
        {"AReplyLongerThanTheRequestIsRead",
         {a1, "-n", "1", "-l"},
         replyLine(1, a1, 32),
         0,
         afterTheFirstSend(
             [](const FakePlatform& fake) {
                 FakeDatagram datagram;
                 datagram.bytes = testing::makeEchoReplyDatagram(ourIdentifier(fake), 1, 40);
                 datagram.sender = inetAddr(a1.c_str());
                 return datagram;
             },
             false)},
        {"CopiesOfEveryReplyCountOnce",
         {a1, a2, "-n", "3", "-l"},
         replyLines(1, {a1, a2}, 32) + "\n" + sleepMark(1000) + replyLines(3, {a1, a2}, 32) + "\n" +
             sleepMark(1000) + replyLines(5, {a1, a2}, 32),
         0,
         [](FakePlatform& fake) { fake.replyCopies = 25; }},
    };
}

INSTANTIATE_TEST_SUITE_P(Matching, WholeRunTest, ::testing::ValuesIn(matchingRuns()), nameOf);
INSTANTIATE_TEST_SUITE_P(Matching, InFlightRunTest, ::testing::ValuesIn(matchingRuns()), nameOf);

// An ICMP error quoting our identifier and the number of a request in flight.
std::function<void(FakePlatform&)> errorAfterTheFirstSend(const std::string& quotedDestination,
                                                          uint16_t sequence) {
    return [quotedDestination, sequence](FakePlatform& fake) {
        fake.silentDestinations = {inetAddr(a1.c_str())};
        afterTheFirstSend([quotedDestination, sequence](const FakePlatform& platform) {
            FakeDatagram datagram;
            datagram.bytes = testing::makeIcmpErrorDatagram(inetAddr(quotedDestination.c_str()),
                                                            ourIdentifier(platform), sequence);
            datagram.sender = inetAddr("10.9.9.9");
            return datagram;
        })(fake);
    };
}

FakeEcho unreachableQuoting(const std::string& quotedDestination) {
    FakeEcho echo;
    echo.reply.status = ipStatus::destinationHostUnreachable;
    echo.reply.address = inetAddr("10.9.9.9");
    echo.quotedDestination = inetAddr(quotedDestination.c_str());
    return echo;
}

// Errors count only for the request they quote, sent to the destination they quote.
std::vector<WholeRun> inFlightErrorRuns() {
    const std::string twoReceivesFailed =
        "recvfrom() - Resource temporarily unavailable\n"
        "recvfrom() - Resource temporarily unavailable\n";
    return {
        {"AnErrorAboutAnotherDestinationIsPassedOver",
         {a1, a2, "-p", "2", "-w", "100", "-l"},
         timeoutLine(a1) + replyLine(2, a2, 32),
         0,
         errorAfterTheFirstSend(a2, 1)},
        {"AnErrorAboutAnotherRequestIsPassedOver",
         {a1, a2, "-p", "2", "-w", "100", "-l"},
         timeoutLine(a1) + replyLine(2, a2, 32),
         0,
         errorAfterTheFirstSend(a1, 2)},
        {"AnErrorAboutTheRequestEndsItAsTheOneByOneRun",
         {a1, a2, "-p", "2", "-w", "100", "-l"},
         twoReceivesFailed + a1 + ": request timed out (4)\n" + replyLine(2, a2, 32),
         0,
         errorAfterTheFirstSend(a1, 1)},
        {"AnEchoServiceErrorAboutAnotherDestinationIsPassedOver",
         {a1, a2, "-i", "-p", "2", "-w", "100", "-l"},
         timeoutLine(a1) + replyLine(2, a2, 32),
         0,
         [](FakePlatform& fake) {
             fake.echoes = {unreachableQuoting(a2), goodEcho()};
         }},
        {"AnEchoServiceErrorAboutTheRequestCounts",
         {a1, a2, "-i", "-p", "2", "-w", "100", "-l"},
         "Incorrect IP status: 11003\n" + replyLine(2, a2, 32),
         0,
         [](FakePlatform& fake) {
             fake.echoes = {unreachableQuoting(a1), goodEcho()};
         }},
    };
}

INSTANTIATE_TEST_SUITE_P(InFlightErrors, WholeRunTest, ::testing::ValuesIn(inFlightErrorRuns()),
                         nameOf);

// A datagram the fake delivers at atMs after the start of the run, answering request sequence.
testing::FakeDatagram replyArriving(uint16_t sequence, const std::string& from, uint32_t atMs) {
    testing::FakeDatagram datagram;
    datagram.bytes = testing::makeEchoReplyDatagram(0xABCD, sequence, 32);
    datagram.length = static_cast<long>(datagram.bytes.size());
    datagram.sender = inetAddr(from.c_str());
    datagram.arrivalNs = 1'000'000'000 + int64_t{atMs} * 1'000'000;
    return datagram;
}

std::vector<WholeRun> inFlightRuns() {
    const std::string banner = bannerLines();
    return {
        // The last host answers first; the lines still follow the list.
        {"RepliesInAnyOrderArePrintedInListOrder",
         {a1, a2, a3, a4, "-p", "4", "-l"},
         replyLine(1, a1, 32, 9) + timeoutLine(a2) + replyLine(3, a3, 32, 5) +
             replyLine(4, a4, 32, 1),
         0,
         [](FakePlatform& fake) {
             fake.silentDestinations = {inetAddr("10.0.0.2")};
             fake.replyDelays = {{inetAddr("10.0.0.1"), 9}, {inetAddr("10.0.0.3"), 5}};
         }},
        // A reply counts only from the request's destination, once, and before its time-out.
        {"OnlyTheAwaitedSourceCountsOnceAndInTime",
         {a1, a2, "-p", "2", "-w", "100", "-l"},
         replyLine(1, a1, 32, 3) + timeoutLine(a2),
         1,
         [](FakePlatform& fake) {
             fake.autoReply = false;
             fake.datagrams = {replyArriving(2, a1, 1), replyArriving(1, a1, 3),
                               replyArriving(1, a1, 4), replyArriving(2, a2, 150)};
         }},
        // Without room in the window the next request waits for a reply or a time-out.
        {"AFullWindowHoldsTheNextRequestBack",
         {a1, a2, a3, "-p", "2", "-w", "100", "-l"},
         timeoutLine(a1) + timeoutLine(a2) + replyLine(3, a3, 32, 1),
         0,
         [](FakePlatform& fake) {
             fake.silentDestinations = {inetAddr("10.0.0.1"), inetAddr("10.0.0.2")};
             fake.onSend = [&fake, sends = 0]() mutable {
                 // The third request leaves only once the first two have timed out.
                 if (++sends == 3) {
                     EXPECT_GE(fake.nowNs, 1'000'000'000 + 100'000'000);
                 }
             };
         }},
        // A send refused for want of buffer space goes again once the pace lets it: only many
        // requests in flight fill the queue, and a one-by-one run would have sent it.
        {"AFullSendBufferHoldsTheRequestBack",
         {a1, a2, a3, "-p", "3", "-l"},
         replyLines(1, {a1, a2, a3}, 32),
         0,
         [](FakePlatform& fake) {
             fake.sendErrors = {0, 10055, 10055};
         }},
        // Ctrl-C stops new requests; the ones in flight end and are printed, then the totals.
        {"StopLetsTheRequestsInFlightFinish",
         {a1, a2, a3, a4, "-p", "2"},
         banner + manyHostsHeader() + replyLine(1, a1, 32, 2) + replyLine(2, a2, 32, 6) +
             totalsLines(2, 2, {2, 6, 4}),
         0,
         [](FakePlatform& fake) {
             fake.replyDelays = {{inetAddr("10.0.0.1"), 2}, {inetAddr("10.0.0.2"), 6}};
             fake.onSend = [sends = 0]() mutable {
                 if (++sends == 2) stopRequested = true;
             };
         }},
    };
}

INSTANTIATE_TEST_SUITE_P(InFlight, WholeRunTest, ::testing::ValuesIn(inFlightRuns()), nameOf);

// --- Tries sent again (--retries) ---------------------------------------------------------------

// A run with --retries prints what the run without it prints, for the hosts that answered: one
// line per dispatch, numbered by dispatch, and the totals count dispatches. Each case runs one
// request at a time and with -p.
struct RetryRun {
    WholeRun run;
    size_t requests;  // every try sent
};

void PrintTo(const RetryRun& retry, std::ostream* out) {
    *out << retry.run.name;
}

FakeEcho silentEcho() {
    FakeEcho echo;
    echo.replies = 0;
    return echo;
}

// The destination stays silent for its first tries: it answers from request number answerFrom
// of the run on.
std::function<void(FakePlatform&)> silentUntil(const std::string& host, int answerFrom) {
    return [host, answerFrom](FakePlatform& fake) {
        fake.silentDestinations.insert(inetAddr(host.c_str()));
        fake.onSend = [&fake, host, answerFrom, sends = 0]() mutable {
            if (++sends == answerFrom) fake.silentDestinations.erase(inetAddr(host.c_str()));
        };
    };
}

std::vector<RetryRun> retryRuns() {
    const std::string banner = bannerLines();
    return {
        {{"ASecondTryAnswersAndTheDispatchReadsAsOne",
          {a1, a2, "--retries", "2", "-w", "100"},
          banner + manyHostsHeader() + replyLines(1, {a1, a2}, 32) + totalsLines(2, 2, allTook(1)),
          0,
          silentUntil(a2, 3)},
         3},
        {{"EveryTrySilentPrintsOneTimeOut",
          {a1, a2, "--retries=3", "-w", "100", "-l"},
          timeoutLine(a1) + replyLine(2, a2, 32),
          0,
          [](FakePlatform& fake) { fake.silentDestinations = {inetAddr(a1.c_str())}; }},
         5},
        {{"NoRetriesByDefault",
          {a1, a2, "-w", "100", "-l"},
          timeoutLine(a1) + replyLine(2, a2, 32),
          0,
          [](FakePlatform& fake) { fake.silentDestinations = {inetAddr(a1.c_str())}; }},
         2},
        // Every pass tries again: the reply numbers run on by dispatch.
        {{"EveryPassAndSizeTriesAgain",
          {a1, a2, "--retries", "1", "-w", "100", "-S", "40/41", "-l"},
          replyLine(1, a1, 40) + timeoutLine(a2) + "<sleep 1000>\n" + replyLine(3, a1, 41) +
              timeoutLine(a2),
          1,
          [](FakePlatform& fake) { fake.silentDestinations = {inetAddr(a2.c_str())}; }},
         6},
        // Ctrl-C sends nothing more, tries included: the request in flight ends with its time-out.
        {{"StopEndsTheTriesWithTheTimeOut",
          {a1, a2, "--retries", "3", "-w", "100"},
          banner + manyHostsHeader() + timeoutLine(a1) + totalsLines(1, 0, allTook(0)),
          1,
          [](FakePlatform& fake) {
              fake.silentDestinations = {inetAddr(a1.c_str())};
              fake.onSend = [] { stopRequested = true; };
          }},
         1},
        {{"TheEchoServiceTriesAgainToo",
          {a1, a2, "-i", "--retries", "1", "-w", "100", "-l"},
          replyLine(1, a1, 32) + replyLine(2, a2, 32),
          0,
          [](FakePlatform& fake) {
              fake.echoes = {goodEcho(), silentEcho(), goodEcho()};
          }},
         3},
    };
}

class RetryRunTest : public DriverTest,
                     public ::testing::WithParamInterface<std::tuple<RetryRun, bool>> {};

TEST_P(RetryRunTest, PrintsOneDispatchForAllItsTries) {
    auto [retry, inFlight] = GetParam();
    std::vector<std::string> arguments = retry.run.arguments;
    if (inFlight) arguments.insert(arguments.end(), {"-p", "3"});
    retry.run.arrange(platform.fake);
    EXPECT_EQ(run(arguments), retry.run.exitCode);
    EXPECT_EQ(platform.output, retry.run.expected);
    size_t requests = platform.fake.callsStartingWith("sendto").size() +
                      platform.fake.callsStartingWith("echo").size();
    EXPECT_EQ(requests, retry.requests);
}

INSTANTIATE_TEST_SUITE_P(Retries, RetryRunTest,
                         ::testing::Combine(::testing::ValuesIn(retryRuns()), ::testing::Bool()),
                         [](const auto& param) {
                             return std::get<0>(param.param).run.name +
                                    (std::get<1>(param.param) ? "InFlight" : "OneByOne");
                         });

// A single host is pinged as specified, whatever --retries says.
TEST_F(DriverTest, ASingleHostIsNeverTriedAgain) {
    platform.fake.silentDestinations = {inetAddr(a1.c_str())};
    EXPECT_EQ(run({a1, "--retries", "3", "-n", "1", "-w", "100", "-l"}), 1);
    EXPECT_EQ(platform.output, timeoutLine(a1));
    EXPECT_EQ(platform.fake.callsStartingWith("sendto").size(), 1u);
}

// Each try of a windowed run takes a sequence number of its own, none still awaited.
TEST_F(DriverTest, EachTryTakesItsOwnSequenceNumber) {
    platform.fake.silentDestinations = {inetAddr(a1.c_str())};
    EXPECT_EQ(run({a1, a2, "--retries", "2", "-w", "100", "-p", "2", "-l"}), 0);
    std::set<uint16_t> sequences;
    for (const std::vector<uint8_t>& packet : platform.fake.sentPackets) {
        sequences.insert(static_cast<uint16_t>(packet[6] | (packet[7] << 8)));
    }
    EXPECT_EQ(sequences.size(), 4u);
}

// --- What the text does not show ----------------------------------------------------------------

TEST_F(DriverTest, RefusedRawSocketSwitchesBeforeEveryEchoAndDropsRoutesOnce) {
    platform.fake.openRawError = 10013;
    platform.fake.echoes = {goodEcho(), goodEcho()};
    run({a1, a2, "-r", "3"});
    const std::string refused = "socket() - Operation not permitted\nswitching to ICMP dll\n";
    EXPECT_EQ(platform.output, bannerLines() + manyHostsHeader() + refused +
                                   "Route options disabled by ICMP dll\n" + replyLine(1, a1, 32) +
                                   refused + replyLine(2, a2, 32) + totalsLines(2, 2, allTook(1)));
    ASSERT_EQ(platform.fake.echoRequests.size(), 2u);
    for (const auto& request : platform.fake.echoRequests) EXPECT_EQ(request.optionsSize, 0);
}

// The remedy names what can help this run: after a refused raw socket both rights, with -i only
// the echo service's own; one by one and with -p alike.
TEST_F(DriverTest, TheRemedyForAnEchoServiceThatCannotBeLoadedFitsTheRun) {
    const std::string refused = "socket() - Operation not permitted\nswitching to ICMP dll\n";
    const struct {
        std::vector<std::string> arguments;
        std::string printed;
    } cases[] = {
        {{a1, "-n", "1", "-l"},
         refused + "Could not load the ICMP DLL\n<remedy: raw-socket right or ping sockets>\n"},
        {{a1, a2, "-l"},
         refused + "Could not load the ICMP DLL\n<remedy: raw-socket right or ping sockets>\n" +
             refused},
        {{a1, "-i", "-n", "1", "-l"}, "Could not load the ICMP DLL\n<remedy: ping sockets>\n"},
        {{a1, a2, "-i", "-l"}, "Could not load the ICMP DLL\n<remedy: ping sockets>\n"},
    };
    for (const auto& c : cases) {
        for (const char* inFlight : {"1", "4"}) {
            ScopedFakePlatform scoped;
            scoped.fake.openRawError = 10013;
            scoped.fake.serviceState = EchoServiceState::NotLoadable;
            std::vector<std::string> arguments = c.arguments;
            arguments.insert(arguments.end(), {"-p", inFlight});
            SCOPED_TRACE(::testing::PrintToString(arguments));
            EXPECT_EQ(run(arguments), 2);
            EXPECT_EQ(scoped.output, c.printed);
        }
    }
}

TEST_F(DriverTest, EchoServiceChosenUpFrontDropsRoutesRightAfterTheBanner) {
    platform.fake.echoes = {goodEcho(), goodEcho()};
    run({a1, a2, "-i", "-r", "3"});
    EXPECT_EQ(platform.output, bannerLines() + "Route options disabled by ICMP dll\n" +
                                   manyHostsHeader() + replyLines(1, {a1, a2}, 32) +
                                   totalsLines(2, 2, allTook(1)));
    EXPECT_TRUE(platform.fake.callsStartingWith("socket").empty());
    EXPECT_TRUE(platform.fake.echoes.empty());
}

TEST_F(DriverTest, BreakDuringAManyHostRunPrintsNothing) {
    platform.fake.onSend = [sends = 0]() mutable {
        if (++sends == 1) breakRequested = true;
    };
    run({a1, a2});
    EXPECT_EQ(platform.output, bannerLines() + manyHostsHeader() + replyLines(1, {a1, a2}, 32) +
                                   totalsLines(2, 2, allTook(1)));
    EXPECT_FALSE(breakRequested.load());
}

TEST_F(DriverTest, PingDataStaysForEverySizeOfASweep) {
    run({a1, "-S", "10/11", "-d", "abc", "-l"});
    ASSERT_EQ(platform.fake.sentPackets.size(), 2u);
    for (const auto& packet : platform.fake.sentPackets) {
        // The fill follows the 4-byte time stamp.
        EXPECT_EQ(std::string(packet.begin() + 12, packet.begin() + 15), "abc");
    }
}

TEST_F(DriverTest, RandomDataIsNonZeroAndFreshEveryPass) {
    run({a1, "-R", "200/201", "-l"});
    ASSERT_EQ(platform.fake.sentPackets.size(), 4u);
    std::set<std::vector<uint8_t>> payloads;
    for (const auto& packet : platform.fake.sentPackets) {
        ASSERT_EQ(packet.size(), 208u);
        // The fill after the time stamp is the first 196 of the 199 random bytes.
        std::vector<uint8_t> fill(packet.begin() + 12, packet.end());
        for (uint8_t byte : fill) EXPECT_NE(byte, 0);
        payloads.insert(fill);
    }
    EXPECT_EQ(payloads.size(), 4u);
}

TEST_F(DriverTest, RandomSizesRepeatForTheSameCalendarSecond) {
    run({a1, "-R", "10/1000", "-n", "6", "-l"});
    std::vector<std::string> first = platform.fake.callsStartingWith("sendto");
    platform.fake.calls.clear();
    run({a1, "-R", "10/1000", "-n", "6", "-l"});
    EXPECT_EQ(platform.fake.callsStartingWith("sendto"), first);
}

}  // namespace
}  // namespace quilvane
