// Start-up and shut-down: banner, warnings, -l, reconciliation, log files, usage and exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_test_support.h"
#include "cli/start_up.h"
#include "fakes/fake_platform.h"
#include "hosts/host_list.h"

namespace quilvane {
namespace {

using testing::ArgumentVector;
using testing::ScopedFakePlatform;

const std::string banner = "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n";

// Read as text: a log on Windows ends its lines with CR LF on disk, as the console does.
std::string fileText(const std::filesystem::path& path) {
    std::ifstream stream(path);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

class StartUpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("quilvane-start-up-" +
                      std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    // One program run over a fresh host list; returns the exit code as the shell sees it.
    int run(std::initializer_list<std::string> arguments) {
        ArgumentVector vector(arguments);
        return runProgram(vector.argc(), vector.argv()) & 0xFF;
    }

    std::string logPath(const std::string& name) const { return (directory_ / name).string(); }

    ScopedFakePlatform platform;
    std::filesystem::path directory_;
};

// Two hosts and a negative count: a many-host run that pings nothing.
#define NOTHING_PINGED "10.0.0.1", "10.0.0.2", "-n", "-3"
const std::string nothingPinged =
    "Pinging multiple hosts with 32 bytes of data every 1000 ms:\n\n"
    "No ping statistics available\n";

// --- Banner, warnings and the extra blank line --------------------------------------------------

TEST_F(StartUpTest, BannerComesAfterTheScanAndBeforeTheRun) {
    EXPECT_EQ(run({NOTHING_PINGED}), 0);
    EXPECT_EQ(platform.output, banner + nothingPinged);
    EXPECT_TRUE(platform.fake.callsStartingWith("sendto").empty());
}

TEST_F(StartUpTest, AWarningPutsOneEmptyLineAfterTheBanner) {
    run({NOTHING_PINGED, "-x"});
    EXPECT_EQ(platform.output, "Invalid Option: -x\n" + banner + "\n" + nothingPinged);
}

// --- Runs that ping nothing, and the pointer to the usage text ---------------------------------

TEST_F(StartUpTest, NoHostAndHelpRequestsPointToTheUsageTextOnStandardError) {
    const std::string hint = "Type quilvane -? for the usage text.\n";
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
        std::string standardError;
        int exitCode;
    };
    const Case cases[] = {
        {{"-n", "2", "-a"}, banner + "No host specified\n", hint, 2},
        // A refused host is a warning too, which puts a blank line after the banner.
        {{"-n", "5", "host"}, "Host host ignored\n" + banner + "\nNo host specified\n", hint, 2},
        // -l drops the banner and the blank line but keeps the warnings.
        {{"-l", "-n", "2", "host"}, "Host host ignored\nNo host specified\n", hint, 2},
        // A lone --help or -h is a host name here, and a pointer to -? follows the failure.
        {{"--help"}, banner + "Host not found: --help  error 11001\n", hint, 2},
        {{"-h"}, banner + "Host not found: -h  error 11001\n", hint, 2},
        // Not lone: the usual warnings only.
        {{NOTHING_PINGED, "--help"},
         "Invalid Option: --help\n" + banner + "\n" + nothingPinged,
         "",
         0},
        {{NOTHING_PINGED}, banner + nothingPinged, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        platform.output.clear();
        ArgumentVector vector(c.arguments);
        ::testing::internal::CaptureStderr();
        int exitCode = runProgram(vector.argc(), vector.argv()) & 0xFF;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.standardError);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_EQ(platform.output, c.output);
    }
}

TEST_F(StartUpTest, LimitedOutputOfARunThatPingsNothingIsEmpty) {
    EXPECT_EQ(run({NOTHING_PINGED, "-l"}), 0);
    EXPECT_EQ(platform.output, "");
}

TEST_F(StartUpTest, ReconciliationMessagesFollowTheBanner) {
    run({NOTHING_PINGED, "-r", "3", "-i", "-R", "10/20", "-S", "10/12"});
    EXPECT_EQ(platform.output, banner +
                                   "Route options disabled by ICMP dll\n"
                                   "Random length ping disabled, using size sweep\n"
                                   "Pinging multiple hosts with data sweep (10 to 12) every 1000 "
                                   "ms:\n\n"
                                   "No ping statistics available\n");
}

TEST_F(StartUpTest, ReconciliationMessagesStayWithLimitedOutput) {
    run({NOTHING_PINGED, "-l", "-i", "-r", "3"});
    EXPECT_EQ(platform.output, "Route options disabled by ICMP dll\n");
}

// --- Log file -----------------------------------------------------------------------------------

TEST_F(StartUpTest, MessagesAfterTheLogOptionReachTheLog) {
    std::string log = logPath("run.log");
    run({NOTHING_PINGED, "-L", log, "-x"});
    std::string expected = "Invalid Option: -x\n" + banner + "\n" + nothingPinged;
    EXPECT_EQ(platform.output, expected);
    EXPECT_EQ(fileText(log), expected);
}

TEST_F(StartUpTest, MessagesBeforeTheLogOptionStayOnTheConsole) {
    std::string log = logPath("run.log");
    run({NOTHING_PINGED, "-x", "-L", log});
    EXPECT_EQ(platform.output, "Invalid Option: -x\n" + banner + "\n" + nothingPinged);
    EXPECT_EQ(fileText(log), banner + "\n" + nothingPinged);
}

TEST_F(StartUpTest, EachLogOptionReplacesTheOneBefore) {
    std::string first = logPath("a.log");
    std::string second = logPath("b.log");
    run({NOTHING_PINGED, "-L" + first, "-x", "-L", second});
    EXPECT_EQ(fileText(first), "Invalid Option: -x\n");
    EXPECT_EQ(fileText(second), banner + "\n" + nothingPinged);
}

TEST_F(StartUpTest, ALogThatCannotBeOpenedLeavesNoLogAndNoMessage) {
    std::string log = logPath("no-such-directory/run.log");
    EXPECT_EQ(run({NOTHING_PINGED, "-L", log}), 0);
    EXPECT_EQ(platform.output, banner + nothingPinged);
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(StartUpTest, ALogThatCannotBeOpenedEndsAnEarlierLog) {
    std::string first = logPath("a.log");
    run({NOTHING_PINGED, "-L", first, "-L", logPath("missing/b.log")});
    EXPECT_EQ(fileText(first), "");
}

TEST_F(StartUpTest, ALogOptionStandingLastOpensNothing) {
    EXPECT_EQ(run({NOTHING_PINGED, "-L"}), 0);
    EXPECT_EQ(platform.output, banner + nothingPinged);
}

TEST_F(StartUpTest, TheLossFigureShowsOnePercentSignOnConsoleAndInTheLog) {
    std::string log = logPath("loss.log");
    platform.fake.autoReply = true;
    platform.fake.sendErrors = {0, 0, 0, 10051};
    run({"-g", "10.0.0.1/10.0.0.4", "-L", log});
    std::string packets = "\n\tPackets: Sent = 4, Received = 3, Lost = 1 (25% loss)\n";
    EXPECT_NE(platform.output.find(packets), std::string::npos) << platform.output;
    EXPECT_NE(fileText(log).find(packets), std::string::npos);
    EXPECT_EQ(fileText(log), platform.output);
}

// --- Exit codes ---------------------------------------------------------------------------------

TEST_F(StartUpTest, ExitCodeIsZeroAfterAReply) {
    platform.fake.autoReply = true;
    EXPECT_EQ(run({"10.0.0.1", "-n", "2", "-t", "5"}), 0);
}

TEST_F(StartUpTest, ExitCodeIsOneAfterATimeOut) {
    EXPECT_EQ(run({"10.0.0.1", "-n", "1"}), 1);
}

TEST_F(StartUpTest, ExitCodeFollowsTheLastEchoOnly) {
    platform.fake.autoReply = true;
    platform.fake.sendErrors = {0, 10051};
    EXPECT_EQ(run({"10.0.0.1", "10.0.0.2", "-l"}), 1);
    platform.fake.sendErrors = {10051, 0};
    EXPECT_EQ(run({"10.0.0.1", "10.0.0.2", "-l"}), 0);
}

TEST_F(StartUpTest, ExitCodeIsZeroWhenANegativeCountPingsNothing) {
    EXPECT_EQ(run({NOTHING_PINGED}), 0);
}

using StartUpDeathTest = StartUpTest;

TEST_F(StartUpDeathTest, NoArgumentPrintsUsageAndEndsWith255) {
    // Matchers, not a regular expression: the simple one of Windows builds stops "." at a line end.
    EXPECT_EXIT(run({}), testing::endedWithMinusOne,
                ::testing::AllOf(::testing::StartsWith("Usage:\nquilvane <host(-list)> "),
                                 ::testing::HasSubstr("\t-p : echo requests in flight "),
                                 ::testing::EndsWith("\n")));
}

TEST_F(StartUpDeathTest, UsageIsNeverLoggedButTheBannerBeforeItIs) {
    std::string log = logPath("usage.log");
    EXPECT_EXIT(run({"10.0.0.1", "-L", log, "-?"}), testing::endedWithMinusOne, "^Usage:\n");
    EXPECT_EQ(fileText(log), banner);
}

TEST_F(StartUpTest, TheSocketLayerIsStartedBeforeTheRunAndStoppedAfterIt) {
    EXPECT_EQ(run({NOTHING_PINGED}), 0);
    EXPECT_EQ(platform.fake.socketsStarted, 1);
    EXPECT_EQ(platform.fake.socketsStopped, 1);
}

TEST_F(StartUpDeathTest, ASocketLayerThatCannotStartEndsTheProcessWithMinusOne) {
    platform.fake.socketStartFails = true;
    EXPECT_EXIT(run({"10.0.0.1"}), testing::endedWithMinusOne, "^$");
}

TEST_F(StartUpDeathTest, UsageWinsOverEverythingElseOnTheLine) {
    EXPECT_EXIT(run({"10.0.0.1", "-n", "3", "/?", "-x"}), testing::endedWithMinusOne, "^Usage:\n");
}

}  // namespace
}  // namespace quilvane
