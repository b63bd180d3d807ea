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
        // A lone -h is a host name here, and a pointer to -? follows the failure.
        {{"-h"}, banner + "Host not found: -h  error 11001\n", hint, 2},
        // Not lone: the usual warnings only.
        {{NOTHING_PINGED, "--helpful"},
         "Invalid Option: --helpful\n" + banner + "\n" + nothingPinged,
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

// The user asked for a record: a log that cannot be opened says so on standard error, once, with
// the path and the system's reason, and the run and its exit code stay as they were.
TEST_F(StartUpTest, ALogThatCannotBeOpenedIsReportedAndTheRunGoesOn) {
    std::filesystem::create_directories(logPath("folder"));
    for (const std::string& log : {logPath("no-such-directory/run.log"), logPath("folder")}) {
        SCOPED_TRACE(log);
        platform.output.clear();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(run({NOTHING_PINGED, "-L", log}), 0);
        std::string standardError = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(platform.output, banner + nothingPinged);
        std::string said = "Unable to open log file " + log + ": ";
        EXPECT_EQ(standardError.rfind(said, 0), 0u) << standardError;
        EXPECT_GT(standardError.size(), said.size() + 1) << "a reason follows";
        EXPECT_EQ(standardError.find('\n'), standardError.size() - 1) << "one line";
    }
    EXPECT_FALSE(std::filesystem::exists(logPath("no-such-directory/run.log")));
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

// --- A reader that is gone ---------------------------------------------------------------------

// A closed pipe or a hung-up terminal ends a run as Ctrl-C does, also a continuous one, and the
// log still gets every line, the statistics included.
TEST_F(StartUpTest, AReaderThatIsGoneEndsTheRunAndTheLogGetsEverything) {
    const std::string twoReplies = banner + testing::manyHostsHeader(32, 5) +
                                   testing::replyLines(1, {"10.0.0.1", "10.0.0.2"}, 32);
    const std::string twoTotals = testing::totalsLines(2, 2, testing::allTook(1));
    const struct {
        std::initializer_list<std::string> arguments;
        size_t writesRead;  // what reached the reader before it went
        std::string logged;
        std::string loggedInFlight;  // with -p, where a host's lines are one write
    } cases[] = {
        {{"10.0.0.1", "-c", "-t", "5"},
         3,
         banner + testing::hostHeader("10.0.0.1", 32, 5) + testing::replyLine(1, "10.0.0.1", 32) +
             testing::statisticsLines("10.0.0.1", 1, 1, testing::allTook(1)),
         ""},
        // One by one the second reply is the first line nobody reads; with -p the separator after
        // the pass is, as with a Ctrl-C in the pause there.
        {{"10.0.0.1", "10.0.0.2", "-c", "-t", "5"},
         4,
         twoReplies + twoTotals,
         twoReplies + "\n" + twoTotals},
    };
    for (const auto& c : cases) {
        for (bool inFlight : {false, true}) {
            ScopedFakePlatform scoped;
            scoped.fake.autoReply = true;
            scoped.fake.readerGoneAfter = c.writesRead;
            std::vector<std::string> arguments(c.arguments);
            std::string log = logPath("gone.log");
            arguments.insert(arguments.end(), {"-L", log});
            if (inFlight) arguments.insert(arguments.end(), {"-p", "3"});
            SCOPED_TRACE(::testing::PrintToString(arguments));
            ArgumentVector vector(arguments);
            EXPECT_EQ(runProgram(vector.argc(), vector.argv()), 0);
            EXPECT_EQ(fileText(log),
                      inFlight && !c.loggedInFlight.empty() ? c.loggedInFlight : c.logged);
            EXPECT_LE(scoped.fake.sentPackets.size(), 3u);
        }
    }
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

// --help and --version end the process with 0 wherever they stand, before anything is scanned:
// nothing on standard error, no warning, no log file. (What they print is checked on the real
// program by tests/packaging/documentation_test.py: a Windows death test's child cannot be
// captured.)
TEST_F(StartUpDeathTest, HelpAndVersionEndTheProcessWithZeroWhereverTheyStand) {
    std::string log = logPath("help.log");
    const std::initializer_list<std::string> cases[] = {
        {"--help"},
        {"10.0.0.1", "-x", "-L", log, "-n", "2", "--help"},
        {"--version"},
        {"-?", "10.0.0.1", "--version", "--help"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<std::string>(arguments)));
        EXPECT_EXIT(
            {
                setPlatform(nullptr);
                ArgumentVector vector(arguments);
                runProgram(vector.argc(), vector.argv());
            },
            ::testing::ExitedWithCode(0), ::testing::IsEmpty());
    }
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(StartUpDeathTest, UsageWinsOverEverythingElseOnTheLine) {
    EXPECT_EXIT(run({"10.0.0.1", "-n", "3", "/?", "-x"}), testing::endedWithMinusOne, "^Usage:\n");
}

}  // namespace
}  // namespace quilvane
