// The runs over hosts and sizes, end to end through the fake platform: passes, numbering, waits,
// separators, the fallback to the echo service, stop and break requests, and the totals.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_test_support.h"
#include "cli/driver.h"
#include "cli/start_up.h"
#include "fakes/fake_platform.h"
#include "hosts/host_list.h"
#include "support/console_control.h"

namespace quilvane {
namespace {

using testing::ArgumentVector;
using testing::FakeEcho;
using testing::ScopedFakePlatform;

const std::string banner = "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n";

// Only measured times are masked.
std::string maskTimes(const std::string& text) {
    static const std::regex measured(R"((time=|Minimum = |Maximum = |Average = )[0-9]+\.[0-9] ms)");
    return std::regex_replace(text, measured, "$1* ms");
}

std::string reply(int number, const std::string& address, int bytes, int ttl = 64) {
    return "Reply[" + std::to_string(number) + "] from " + address +
           ": bytes=" + std::to_string(bytes) + " time=* ms TTL=" + std::to_string(ttl) + "\n";
}

std::string totals(int sent, int received, int lossPercent) {
    return "\nPing statistics for multiple hosts:\n\tPackets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + std::to_string(lossPercent) +
           "% loss)\nApproximate round trip times in milli-seconds:\n"
           "\tMinimum = * ms, Maximum = * ms, Average = * ms\n";
}

const std::string manyHostsHeader =
    "Pinging multiple hosts with 32 bytes of data every 1000 ms:\n\n";

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override { platform.fake.autoReply = true; }

    int run(std::initializer_list<std::string> arguments) {
        ArgumentVector vector(arguments);
        return runProgram(vector.argc(), vector.argv()) & 0xFF;
    }

    std::string masked() const { return maskTimes(platform.output); }

    // The sends and pauses in order ("sendto 40", "sleep 1000", "echo 32").
    std::vector<std::string> pacing() const {
        std::vector<std::string> found;
        for (const auto& call : platform.fake.calls) {
            if (call.rfind("sendto", 0) == 0 || call.rfind("sleep", 0) == 0 ||
                call.rfind("echo ", 0) == 0) {
                found.push_back(call);
            }
        }
        return found;
    }

    static FakeEcho goodEcho() {
        FakeEcho echo;
        echo.reply.ttl = 64;
        return echo;
    }

    ScopedFakePlatform platform;
};

// --- Many hosts, fixed size ---------------------------------------------------------------------

TEST_F(DriverTest, TwoHostsWithoutCountMakeOnePass) {
    EXPECT_EQ(run({"10.0.0.1", "10.0.0.2"}), 0);
    EXPECT_EQ(masked(), banner + manyHostsHeader + reply(1, "10.0.0.1", 32) +
                            reply(2, "10.0.0.2", 32) + totals(2, 2, 0));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 40", "sendto 40"}));
}

TEST_F(DriverTest, TwoHostsWithCountThreeNumberAcrossPassesAndWaitBetweenThem) {
    run({"10.0.0.1", "10.0.0.2", "-n", "3", "-t", "250"});
    EXPECT_EQ(masked(), banner + "Pinging multiple hosts with 32 bytes of data every 250 ms:\n\n" +
                            reply(1, "10.0.0.1", 32) + reply(2, "10.0.0.2", 32) + "\n" +
                            reply(3, "10.0.0.1", 32) + reply(4, "10.0.0.2", 32) + "\n" +
                            reply(5, "10.0.0.1", 32) + reply(6, "10.0.0.2", 32) + totals(6, 6, 0));
    EXPECT_EQ(pacing(),
              (std::vector<std::string>{"sendto 40", "sendto 40", "sleep 250", "sendto 40",
                                        "sendto 40", "sleep 250", "sendto 40", "sendto 40"}));
}

TEST_F(DriverTest, OneHostFromAHostFileIsAManyHostRun) {
    platform.fake.files["hosts.txt"] = "10.0.0.1\r\n";
    run({"-H", "hosts.txt", "-n", "1"});
    EXPECT_EQ(masked(), banner + manyHostsHeader + reply(1, "10.0.0.1", 32) + totals(1, 1, 0));
}

TEST_F(DriverTest, AllEchoesTimingOutShowFullLossAndZeroTimes) {
    platform.fake.autoReply = false;
    EXPECT_EQ(run({"10.0.0.1", "10.0.0.2"}), 1);
    EXPECT_EQ(platform.output, banner + manyHostsHeader +
                                   "10.0.0.1: request timed out\n"
                                   "10.0.0.2: request timed out\n"
                                   "\nPing statistics for multiple hosts:"
                                   "\n\tPackets: Sent = 2, Received = 0, Lost = 2 (100% loss)"
                                   "\nApproximate round trip times in milli-seconds:"
                                   "\n\tMinimum = 0.0 ms, Maximum = 0.0 ms, Average = 0.0 ms\n");
}

TEST_F(DriverTest, AHostThatCannotBeResolvedTakesANumberButAddsNothing) {
    EXPECT_EQ(run({"nosuchhost", "10.0.0.2"}), 0);
    EXPECT_EQ(masked(), banner + manyHostsHeader + "Host not found: nosuchhost  error 11001\n" +
                            reply(2, "10.0.0.2", 32) + totals(1, 1, 0));
}

TEST_F(DriverTest, ANegativeCountGivesNoPass) {
    EXPECT_EQ(run({"10.0.0.1", "10.0.0.2", "-n", "-3"}), 0);
    EXPECT_EQ(platform.output, banner + manyHostsHeader + "No ping statistics available\n");
    EXPECT_TRUE(pacing().empty());
}

TEST_F(DriverTest, ResolvedListFollowsTheManyHostHeader) {
    platform.fake.reverseNames[0x0100000A] = "one.lab";
    run({"10.0.0.1", "10.0.0.2", "-a", "-l"});
    EXPECT_EQ(platform.output.find("Resolved hostname list"), std::string::npos);
    platform.output.clear();
    run({"10.0.0.1", "10.0.0.2", "-a"});
    std::string expectedStart =
        banner + manyHostsHeader + "Resolved hostname list:\none.lab [10.0.0.1]\n10.0.0.2\n\n";
    EXPECT_EQ(platform.output.substr(0, expectedStart.size()), expectedStart);
}

TEST_F(DriverTest, SingleHostRunsPrintNoResolvedList) {
    platform.fake.reverseNames[0x0100000A] = "one.lab";
    for (auto arguments : {std::initializer_list<std::string>{"10.0.0.1", "-a", "-n", "1"},
                           {"10.0.0.1", "-a", "-S", "10/11"},
                           {"10.0.0.1", "-a", "-R", "10/11", "-n", "1"}}) {
        platform.output.clear();
        run(arguments);
        EXPECT_EQ(platform.output.find("Resolved hostname list"), std::string::npos)
            << platform.output;
    }
}

// --- Limited output -----------------------------------------------------------------------------

TEST_F(DriverTest, LimitedOutputKeepsRepliesAndSeparatorsOnly) {
    run({"10.0.0.1", "10.0.0.2", "-n", "2", "-l"});
    EXPECT_EQ(masked(), reply(1, "10.0.0.1", 32) + reply(2, "10.0.0.2", 32) + "\n" +
                            reply(3, "10.0.0.1", 32) + reply(4, "10.0.0.2", 32));
}

TEST_F(DriverTest, LimitedOutputOfASweepHasNoHeaderAndNoTotals) {
    run({"10.0.0.1", "-S", "10/11", "-l"});
    EXPECT_EQ(masked(), reply(1, "10.0.0.1", 10) + reply(2, "10.0.0.1", 11));
}

// --- Size sweeps --------------------------------------------------------------------------------

TEST_F(DriverTest, OneHostSweepPingsEverySizeWithWaitsBetween) {
    run({"10.0.0.1", "-S", "10/12"});
    EXPECT_EQ(masked(), banner + "Pinging host with data sweep (10 to 12) every 1000 ms:\n\n" +
                            reply(1, "10.0.0.1", 10) + reply(2, "10.0.0.1", 11) +
                            reply(3, "10.0.0.1", 12) + totals(3, 3, 0));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 18", "sleep 1000", "sendto 19",
                                                  "sleep 1000", "sendto 20"}));
}

TEST_F(DriverTest, OneHostSweepWaitsThenSeparatesItsPasses) {
    run({"10.0.0.1", "-S", "10/11", "-n", "2", "-t", "7", "-l"});
    EXPECT_EQ(masked(), reply(1, "10.0.0.1", 10) + reply(2, "10.0.0.1", 11) + "\n" +
                            reply(3, "10.0.0.1", 10) + reply(4, "10.0.0.1", 11));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 18", "sleep 7", "sendto 19", "sleep 7",
                                                  "sendto 18", "sleep 7", "sendto 19"}));
}

TEST_F(DriverTest, ManyHostSweepDispatchesEveryHostPerSize) {
    run({"10.0.0.1", "10.0.0.2", "-S", "10/11", "-n", "2", "-t", "7"});
    EXPECT_EQ(masked(), banner +
                            "Pinging multiple hosts with data sweep (10 to 11) every 7 ms:\n\n" +
                            reply(1, "10.0.0.1", 10) + reply(2, "10.0.0.2", 10) +
                            reply(3, "10.0.0.1", 11) + reply(4, "10.0.0.2", 11) + "\n" +
                            reply(5, "10.0.0.1", 10) + reply(6, "10.0.0.2", 10) +
                            reply(7, "10.0.0.1", 11) + reply(8, "10.0.0.2", 11) + totals(8, 8, 0));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 18", "sendto 18", "sleep 7", "sendto 19",
                                                  "sendto 19", "sleep 7", "sendto 18", "sendto 18",
                                                  "sleep 7", "sendto 19", "sendto 19"}));
}

TEST_F(DriverTest, PingDataStaysForEverySizeOfASweep) {
    run({"10.0.0.1", "-S", "10/11", "-d", "abc", "-l"});
    ASSERT_EQ(platform.fake.sentPackets.size(), 2u);
    for (const auto& packet : platform.fake.sentPackets) {
        // The fill follows the 4-byte time stamp.
        EXPECT_EQ(std::string(packet.begin() + 12, packet.begin() + 15), "abc");
    }
}

// --- Random sizes -------------------------------------------------------------------------------

TEST_F(DriverTest, OneHostRandomSizesNeverReachTheUpperBound) {
    run({"10.0.0.1", "-R", "10/12"});
    std::vector<std::string> sends = platform.fake.callsStartingWith("sendto");
    ASSERT_EQ(sends.size(), 4u);
    for (const auto& send : sends) EXPECT_TRUE(send == "sendto 18" || send == "sendto 19") << send;
    EXPECT_EQ(platform.fake.callsStartingWith("sleep").size(), 3u);

    std::string text = masked();
    std::string header = "Pinging host with random size (10 to 12) and data every 1000 ms:\n\n";
    EXPECT_EQ(text.substr(0, banner.size() + header.size()), banner + header);
    EXPECT_EQ(text.substr(text.size() - totals(4, 4, 0).size()), totals(4, 4, 0));
    // No separator between the passes: the first empty line is the one before the totals.
    EXPECT_EQ(text.find("\n\n", banner.size() + header.size()),
              text.size() - totals(4, 4, 0).size() - 1);
}

TEST_F(DriverTest, RandomDataIsNonZeroAndFreshEveryPass) {
    run({"10.0.0.1", "-R", "200/201", "-l"});
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

TEST_F(DriverTest, SpecifiedDataGivesWayToRandomData) {
    run({"10.0.0.1", "-d", "abc", "-R", "10/20", "-n", "1"});
    std::string expectedStart =
        banner +
        "Unable to ping with specified data. Using random data.\n"
        "Pinging host with random size (10 to 20) and data every 1000 ms:\n\n";
    EXPECT_EQ(platform.output.substr(0, expectedStart.size()), expectedStart);
}

TEST_F(DriverTest, RandomSizesRepeatForTheSameCalendarSecond) {
    run({"10.0.0.1", "-R", "10/1000", "-n", "6", "-l"});
    std::vector<std::string> first = platform.fake.callsStartingWith("sendto");
    platform.fake.calls.clear();
    run({"10.0.0.1", "-R", "10/1000", "-n", "6", "-l"});
    EXPECT_EQ(platform.fake.callsStartingWith("sendto"), first);
}

TEST_F(DriverTest, ManyHostRandomRunUsesOneSizePerPassAndNoSeparator) {
    run({"10.0.0.1", "10.0.0.2", "-R", "10/1000", "-n", "3", "-t", "9"});
    std::vector<std::string> calls = pacing();
    ASSERT_EQ(calls.size(), 8u);
    for (size_t pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(calls[pass * 3], calls[pass * 3 + 1]);
        if (pass < 2) {
            EXPECT_EQ(calls[pass * 3 + 2], "sleep 9");
        }
    }
    std::string header =
        "Pinging multiple hosts with random size (10 to 1000) and data every 9 ms:\n\n";
    EXPECT_EQ(platform.output.substr(banner.size(), header.size()), header);
    std::string text = masked();
    EXPECT_EQ(text.find("\n\n", banner.size() + header.size()),
              text.size() - totals(6, 6, 0).size() - 1);
}

// --- Fallback to the echo service ---------------------------------------------------------------

TEST_F(DriverTest, RefusedRawSocketSwitchesBeforeEveryEchoAndDropsRoutesOnce) {
    platform.fake.openRawError = 10013;
    platform.fake.echoes = {goodEcho(), goodEcho()};
    run({"10.0.0.1", "10.0.0.2", "-r", "3"});
    EXPECT_EQ(masked(), banner + manyHostsHeader + "socket() - Operation not permitted\n" +
                            "switching to ICMP dll\n" + "Route options disabled by ICMP dll\n" +
                            reply(1, "10.0.0.1", 32) + "socket() - Operation not permitted\n" +
                            "switching to ICMP dll\n" + reply(2, "10.0.0.2", 32) + totals(2, 2, 0));
    ASSERT_EQ(platform.fake.echoRequests.size(), 2u);
    for (const auto& request : platform.fake.echoRequests) EXPECT_EQ(request.optionsSize, 0);
    EXPECT_EQ(platform.fake.callsStartingWith("socket").size(), 2u);
}

TEST_F(DriverTest, RefusedRawSocketForASingleHostHandsTheWholeRunOver) {
    platform.fake.openRawError = 10013;
    platform.fake.echoes = {goodEcho(), goodEcho()};
    run({"10.0.0.1", "-n", "2", "-r", "3", "-t", "5"});
    EXPECT_EQ(masked(), banner + "socket() - Operation not permitted\n" +
                            "switching to ICMP dll\n" + "Route options disabled by ICMP dll\n" +
                            "Pinging 10.0.0.1 with 32 bytes of data every 5 ms:\n\n" +
                            reply(1, "10.0.0.1", 32) + reply(2, "10.0.0.1", 32) +
                            "\nPing statistics for 10.0.0.1:"
                            "\n\tPackets: Sent = 2, Received = 2, Lost = 0 (0% loss)"
                            "\nApproximate round trip times in milli-seconds:"
                            "\n\tMinimum = * ms, Maximum = * ms, Average = * ms\n");
    EXPECT_EQ(platform.fake.callsStartingWith("socket").size(), 1u);
}

TEST_F(DriverTest, OtherRawSocketFailuresDoNotSwitch) {
    platform.fake.openRawError = 10024;
    run({"10.0.0.1", "10.0.0.2", "-l"});
    EXPECT_EQ(platform.output.find("switching"), std::string::npos);
    EXPECT_TRUE(platform.fake.echoRequests.empty());
}

TEST_F(DriverTest, EchoServiceChosenUpFrontDropsRoutesRightAfterTheBanner) {
    platform.fake.echoes = {goodEcho(), goodEcho()};
    run({"10.0.0.1", "10.0.0.2", "-i", "-r", "3"});
    EXPECT_EQ(masked(), banner + "Route options disabled by ICMP dll\n" + manyHostsHeader +
                            reply(1, "10.0.0.1", 32) + reply(2, "10.0.0.2", 32) + totals(2, 2, 0));
    EXPECT_TRUE(platform.fake.callsStartingWith("socket").empty());
}

// --- Stop and break requests --------------------------------------------------------------------

TEST_F(DriverTest, StopDuringAContinuousPassEndsItAfterTheRunningEcho) {
    int sends = 0;
    platform.fake.onSend = [&] {
        if (++sends == 2) stopRequested = true;
    };
    run({"10.0.0.1", "10.0.0.2", "10.0.0.3", "-c"});
    EXPECT_EQ(masked(), banner + manyHostsHeader + reply(1, "10.0.0.1", 32) +
                            reply(2, "10.0.0.2", 32) + totals(2, 2, 0));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 40", "sendto 40"}));
}

TEST_F(DriverTest, StopDuringTheWaitBetweenPassesEndsTheRun) {
    platform.fake.onSleep = [](uint32_t) { stopRequested = true; };
    run({"10.0.0.1", "10.0.0.2", "-c", "-t", "3"});
    EXPECT_EQ(masked(), banner + "Pinging multiple hosts with 32 bytes of data every 3 ms:\n\n" +
                            reply(1, "10.0.0.1", 32) + reply(2, "10.0.0.2", 32) + "\n" +
                            totals(2, 2, 0));
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 40", "sendto 40", "sleep 3"}));
}

TEST_F(DriverTest, StopBetweenTheSizesOfASweepEndsTheRun) {
    platform.fake.onSleep = [](uint32_t) { stopRequested = true; };
    run({"10.0.0.1", "-S", "10/20", "-c"});
    EXPECT_EQ(pacing(), (std::vector<std::string>{"sendto 18", "sleep 1000"}));
    EXPECT_NE(masked().find(totals(1, 1, 0)), std::string::npos);
}

TEST_F(DriverTest, ContinuousManyHostRunGoesOnUntilStopped) {
    int sends = 0;
    platform.fake.onSend = [&] {
        if (++sends == 7) stopRequested = true;
    };
    run({"10.0.0.1", "10.0.0.2", "-c", "-n", "1", "-l"});
    EXPECT_EQ(platform.fake.callsStartingWith("sendto").size(), 7u);
    EXPECT_EQ(platform.fake.callsStartingWith("sleep").size(), 3u);
}

TEST_F(DriverTest, BreakDuringAManyHostRunPrintsNothing) {
    int sends = 0;
    platform.fake.onSend = [&] {
        if (++sends == 1) breakRequested = true;
    };
    run({"10.0.0.1", "10.0.0.2"});
    EXPECT_EQ(masked(), banner + manyHostsHeader + reply(1, "10.0.0.1", 32) +
                            reply(2, "10.0.0.2", 32) + totals(2, 2, 0));
    EXPECT_FALSE(breakRequested.load());
}

}  // namespace
}  // namespace quilvane
