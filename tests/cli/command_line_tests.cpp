// The command-line scan: clamps, letters, values, ranges, invalid options, hosts and usage.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "cli/cli_test_support.h"
#include "cli/command_line.h"
#include "fakes/fake_platform.h"
#include "hosts/host_list.h"
#include "settings/ping_settings.h"
#include "support/output_sink.h"

namespace quilvane {
namespace {

using testing::ArgumentVector;
using testing::ScopedFakePlatform;

std::vector<std::string> openedLogs;
void recordLogOpen(const char* path) {
    openedLogs.emplace_back(path);
}

struct Scanned {
    PingSettings settings;
    RunOptions options;
    RunState run;
    ScanOutcome outcome = ScanOutcome::Done;

    const HostList& hosts() const { return run.hosts; }
    std::vector<std::string> hostTexts() const {
        const HostList& hosts = run.hosts;
        std::vector<std::string> texts;
        for (size_t i = 0; i < hosts.size(); ++i) texts.push_back(hosts.entry(i));
        return texts;
    }
};

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override { openedLogs.clear(); }

    // Scans the arguments (after the program name) into fresh settings and a fresh list.
    Scanned scan(std::initializer_list<std::string> arguments) {
        return scanVector(std::vector<std::string>(arguments));
    }
    Scanned scanVector(const std::vector<std::string>& arguments) {
        ArgumentVector vector(arguments);
        Scanned result;
        result.outcome = scanCommandLine(vector.argc(), vector.argv(), result.settings,
                                         result.options, result.run, recordLogOpen);
        return result;
    }

    PingSettings settingsOf(std::initializer_list<std::string> arguments) {
        return scan(arguments).settings;
    }

    ScopedFakePlatform platform;
};

// --- Clamps -------------------------------------------------------------------------------------

TEST_F(CommandLineTest, DataSizeIsClampedToFourAndSixtyFiveThousandFiveHundred) {
    EXPECT_EQ(settingsOf({"h", "-s", "2"}).dataSize, 4);
    EXPECT_EQ(settingsOf({"h", "-s", "0"}).dataSize, 4);
    EXPECT_EQ(settingsOf({"h", "-s", "-1"}).dataSize, 32);
    EXPECT_EQ(settingsOf({"h", "-s", "70000"}).dataSize, 65500);
    EXPECT_EQ(settingsOf({"h", "-s", "65500"}).dataSize, 65500);
    EXPECT_EQ(settingsOf({"h", "-s", "1472"}).dataSize, 1472);
}

TEST_F(CommandLineTest, IntervalZeroIsOneNegativeIsDefaultAndLargeIsCapped) {
    EXPECT_EQ(settingsOf({"h", "-t", "0"}).intervalMs, 1);
    EXPECT_EQ(settingsOf({"h", "-t", "-5"}).intervalMs, 1000);
    EXPECT_EQ(settingsOf({"h", "-t", "2000000"}).intervalMs, 1000000);
    EXPECT_EQ(settingsOf({"h", "-t", "250"}).intervalMs, 250);
}

TEST_F(CommandLineTest, TimeoutZeroBecomesOneAndNothingElseChanges) {
    EXPECT_EQ(settingsOf({"h", "-w", "0"}).timeoutMs, 1);
    EXPECT_EQ(settingsOf({"h", "-w", "-5"}).timeoutMs, -5);
    EXPECT_EQ(settingsOf({"h", "-w", "99999999999"}).timeoutMs, INT32_MAX);
}

TEST_F(CommandLineTest, CountZeroBecomesOneAndNegativeIsKept) {
    Scanned zero = scan({"h", "-n", "0"});
    EXPECT_EQ(zero.settings.count, 1);
    EXPECT_EQ(zero.options.countGiven, 1);
    EXPECT_EQ(settingsOf({"h", "-n", "-3"}).count, -3);
    EXPECT_EQ(scan({"h", "-a"}).options.countGiven, 0);
}

TEST_F(CommandLineTest, TtlTosAndRoutesAreClamped) {
    EXPECT_EQ(settingsOf({"h", "-h", "0"}).ttl, 1);
    EXPECT_EQ(settingsOf({"h", "-h", "-4"}).ttl, 1);
    EXPECT_EQ(settingsOf({"h", "-h", "200"}).ttl, 128);
    EXPECT_EQ(settingsOf({"h", "-h", "64"}).ttl, 64);

    PingSettings high = settingsOf({"h", "-v", "300"});
    EXPECT_EQ(high.tos, 0);
    EXPECT_EQ(high.tosGiven, 1);
    PingSettings negative = settingsOf({"h", "-v", "-1"});
    EXPECT_EQ(negative.tos, 0);
    EXPECT_EQ(negative.tosGiven, 1);
    EXPECT_EQ(settingsOf({"h", "-v", "255"}).tos, 255);
    EXPECT_EQ(settingsOf({"h", "-a"}).tosGiven, 0);

    EXPECT_EQ(settingsOf({"h", "-r", "12"}).recordRoutes, 9);
    EXPECT_EQ(settingsOf({"h", "-r", "-1"}).recordRoutes, 0);
    EXPECT_EQ(settingsOf({"h", "-r", "3"}).recordRoutes, 3);

    for (auto [given, kept] : {std::pair{"0", 1}, {"-7", 1}, {"256", 256}, {"5000", 4096}}) {
        EXPECT_EQ(scan({"h", "-p", given}).options.inFlight, kept) << given;
    }
    EXPECT_EQ(scan({"h"}).options.inFlight, 1);
}

TEST_F(CommandLineTest, LongOptionsTakeTheirValueAttachedOrNextAndAreClamped) {
    struct Case {
        std::vector<std::string> arguments;
        int32_t rate;
        int32_t retries;
    };
    const Case cases[] = {
        {{"h", "--rate", "5000"}, 5000, 0},
        {{"h", "--rate=5000"}, 5000, 0},
        {{"h", "--rate", "0"}, 1, 0},
        {{"h", "--rate=99999999"}, 10'000'000, 0},
        {{"h", "--retries", "2"}, 0, 2},
        {{"h", "--retries=-3"}, 0, 0},
        {{"h", "--retries", "11", "--rate", "7"}, 7, 10},
    };
    for (const Case& c : cases) {
        Scanned scanned = scanVector(c.arguments);
        EXPECT_EQ(scanned.options.rate, c.rate) << c.arguments[1];
        EXPECT_EQ(scanned.options.retries, c.retries) << c.arguments[1];
        EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{"h"}) << c.arguments[1];
    }
    EXPECT_EQ(platform.output, "");

    Scanned flags = scan({"h", "--summary", "--alive", "--json", "--metrics", "m.prom"});
    EXPECT_TRUE(flags.options.summary && flags.options.alive && flags.options.json);
    EXPECT_EQ(flags.options.metricsPath, "m.prom");
    EXPECT_EQ(scan({"h", "--metrics=x.prom"}).options.metricsPath, "x.prom");
    EXPECT_FALSE(scan({"h", "-a"}).options.json);
}

TEST_F(CommandLineTest, UnknownLongWordsAndValuedFlagsAreInvalidOptions) {
    for (std::string word : {"--ratex", "--json=1", "--", "--RATE"}) {
        platform.output.clear();
        Scanned scanned = scan({"h", word});
        EXPECT_EQ(platform.output, "Invalid Option: " + word + "\n") << word;
        EXPECT_EQ(scanned.options.argumentWarning, 1) << word;
    }
}

TEST_F(CommandLineTest, BeepModeFollowsTheCharacterAfterTheLetter) {
    EXPECT_EQ(settingsOf({"h", "-b-"}).beepMode, 2);
    EXPECT_EQ(settingsOf({"h", "-b"}).beepMode, 1);
    EXPECT_EQ(settingsOf({"h", "-bx"}).beepMode, 1);
    EXPECT_EQ(settingsOf({"h", "-B-"}).beepMode, 2);
}

// --- Letters and prefixes -----------------------------------------------------------------------

TEST_F(CommandLineTest, BothPrefixesAndBothCasesOfCountGiveTheSameValue) {
    EXPECT_EQ(settingsOf({"h", "/n", "5"}).count, 5);
    EXPECT_EQ(settingsOf({"h", "-n", "5"}).count, 5);
    EXPECT_EQ(settingsOf({"h", "-n5"}).count, 5);
    EXPECT_EQ(settingsOf({"h", "-N5"}).count, 5);
    EXPECT_EQ(settingsOf({"h", "/N5"}).count, 5);
}

TEST_F(CommandLineTest, FlagLettersSetTheirFields) {
    Scanned lower = scan({"h", "-a", "-c", "-f", "-i", "-l", "-T", "-D"});
    EXPECT_EQ(lower.settings.resolveNames, 1);
    EXPECT_EQ(lower.settings.continuous, 1);
    EXPECT_EQ(lower.options.countGiven, 1);
    EXPECT_EQ(lower.settings.dontFragment, 1);
    EXPECT_EQ(lower.options.useIcmpLibrary, 1);
    EXPECT_EQ(lower.settings.limitOutput, 1);
    EXPECT_EQ(lower.settings.timeStamp, 1);
    EXPECT_EQ(lower.settings.dateStamp, 1);
    EXPECT_EQ(lower.options.argumentWarning, 0);

    Scanned upper = scan({"h", "/A", "/C", "/F", "/I"});
    EXPECT_EQ(upper.settings.resolveNames, 1);
    EXPECT_EQ(upper.settings.continuous, 1);
    EXPECT_EQ(upper.settings.dontFragment, 1);
    EXPECT_EQ(upper.options.useIcmpLibrary, 1);
    EXPECT_EQ(upper.options.argumentWarning, 0);
}

TEST_F(CommandLineTest, CaseSensitiveLettersAreInvalidInTheOtherCase) {
    // -t is the interval, -T the time stamp; -l limits the output, -L names a log.
    EXPECT_EQ(settingsOf({"h", "-t", "5"}).timeStamp, 0);
    EXPECT_EQ(settingsOf({"h", "-L", "x.log"}).limitOutput, 0);
    EXPECT_EQ(openedLogs, std::vector<std::string>{"x.log"});

    for (std::string letter : {"E", "G", "J", "K", "M", "O", "P", "Q", "U", "X", "Y", "Z",
                               "e", "j", "k", "m", "o", "q", "u", "x", "y", "z", "0", "9"}) {
        platform.output.clear();
        Scanned scanned = scan({"h", "-" + letter});
        EXPECT_EQ(platform.output, "Invalid Option: -" + letter + "\n") << letter;
        EXPECT_EQ(scanned.options.argumentWarning, 1) << letter;
    }
}

TEST_F(CommandLineTest, APrefixAloneIsAnInvalidOption) {
    scan({"h", "-"});
    scan({"h", "/"});
    EXPECT_EQ(platform.output, "Invalid Option: -\nInvalid Option: /\n");
}

TEST_F(CommandLineTest, RangeLetterIsLowerCaseGOnly) {
    Scanned range = scan({"h", "-g", "10.0.0.1/10.0.0.2"});
    EXPECT_EQ(range.hostTexts(), (std::vector<std::string>{"h", "10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(platform.output, "");

    Scanned upper = scan({"h", "-G", "-n", "2"});
    EXPECT_EQ(platform.output, "Invalid Option: -G\n");
    EXPECT_EQ(upper.settings.count, 2);
}

TEST_F(CommandLineTest, UsageIsRequestedByQuestionMarkAnywhere) {
    EXPECT_EQ(scan({"-?"}).outcome, ScanOutcome::UsageRequested);
    EXPECT_EQ(scan({"/?"}).outcome, ScanOutcome::UsageRequested);
    EXPECT_EQ(scan({"host", "-?"}).outcome, ScanOutcome::UsageRequested);
    EXPECT_EQ(scan({"host", "-n", "2", "/?"}).outcome, ScanOutcome::UsageRequested);
    EXPECT_EQ(scan({}).outcome, ScanOutcome::UsageRequested);
    EXPECT_EQ(scan({"host", "-n"}).outcome, ScanOutcome::Done);
}

TEST_F(CommandLineTest, ALoneArgumentIsTheHostWhateverItLooksLike) {
    for (std::string lone : {"-c", "-l", "-Hhosts.txt", "-g10.0.0.1/10.0.0.9", "-?x", "-x", ""}) {
        Scanned scanned = scan({lone});
        EXPECT_EQ(scanned.outcome, ScanOutcome::Done) << lone;
        EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{lone});
        EXPECT_EQ(scanned.settings.continuous, 0);
        EXPECT_EQ(scanned.settings.limitOutput, 0);
        EXPECT_FALSE(scanned.hosts().hostFileGiven);
    }
    EXPECT_EQ(platform.output, "");
    EXPECT_TRUE(platform.fake.calls.empty());
}

// --- Values attached or in the next argument ----------------------------------------------------

TEST_F(CommandLineTest, NumberAttachedOrInTheNextArgument) {
    Scanned attached = scan({"h", "-n7", "-a"});
    EXPECT_EQ(attached.settings.count, 7);
    EXPECT_EQ(attached.settings.resolveNames, 1);

    Scanned separate = scan({"h", "-n", "7", "-a"});
    EXPECT_EQ(separate.settings.count, 7);
    EXPECT_EQ(separate.settings.resolveNames, 1);
    EXPECT_EQ(platform.output, "");
}

TEST_F(CommandLineTest, AnAttachedZeroTakesTheNextArgument) {
    EXPECT_EQ(settingsOf({"h", "-n0", "6"}).count, 6);
    EXPECT_EQ(settingsOf({"h", "-nx", "6"}).count, 6);
    // The next argument is consumed even when it is no number, so it is no refused host.
    Scanned word = scan({"h", "-n", "abc"});
    EXPECT_EQ(word.settings.count, 1);
    EXPECT_EQ(platform.output, "");
    EXPECT_EQ(word.options.argumentWarning, 0);
}

TEST_F(CommandLineTest, NumbersAreReadAsBaseTenWithSaturation) {
    EXPECT_EQ(readNumber("42"), 42);
    EXPECT_EQ(readNumber("  \t+42abc"), 42);
    EXPECT_EQ(readNumber("-17"), -17);
    EXPECT_EQ(readNumber(""), 0);
    EXPECT_EQ(readNumber("abc"), 0);
    EXPECT_EQ(readNumber("- 5"), 0);
    EXPECT_EQ(readNumber("0x10"), 0);
    EXPECT_EQ(readNumber("2147483647"), INT32_MAX);
    EXPECT_EQ(readNumber("2147483648"), INT32_MAX);
    EXPECT_EQ(readNumber("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(readNumber("-2147483648"), INT32_MIN);
    EXPECT_EQ(readNumber("-99999999999999999999999"), INT32_MIN);
}

TEST_F(CommandLineTest, PingDataAttachedOrNextAndTheLastOneWins) {
    EXPECT_EQ(scan({"h", "-d", "abc"}).run.pingData, "abc");
    EXPECT_EQ(scan({"h", "-dxyz", "-d", "second"}).run.pingData, "second");
    EXPECT_EQ(platform.output, "");
}

TEST_F(CommandLineTest, PingDataWithAnEmptyNextArgumentHasNoEffectAndConsumesNothing) {
    Scanned scanned = scan({"h", "-d", ""});
    EXPECT_EQ(scanned.run.pingData, "");
    EXPECT_EQ(platform.output, "Host  ignored\n");
    EXPECT_EQ(scanned.options.argumentWarning, 1);
}

TEST_F(CommandLineTest, HostFileAttachedOrNext) {
    platform.fake.files["list.txt"] = "alpha,beta,gamma";
    Scanned separate = scan({"h", "-H", "list.txt"});
    EXPECT_EQ(separate.hostTexts(), (std::vector<std::string>{"h", "alpha", "beta", "gamma"}));
    EXPECT_TRUE(separate.hosts().hostFileGiven);

    Scanned attached = scan({"-Hlist.txt", "-Hlist.txt"});
    EXPECT_EQ(attached.hostTexts().size(), 6u);
    EXPECT_EQ(platform.output, "");
}

TEST_F(CommandLineTest, HostFileThatIsMissingStillSetsTheFlag) {
    Scanned scanned = scan({"-H", "missing.txt", "-n", "2"});
    EXPECT_TRUE(scanned.hosts().hostFileGiven);
    EXPECT_TRUE(scanned.hosts().empty());
    EXPECT_EQ(platform.output, "\nFile missing.txt not found.\n");
    EXPECT_EQ(scanned.settings.count, 2);
}

TEST_F(CommandLineTest, AddressRangeSeparateConsumesOnlyAValidValue) {
    Scanned valid = scan({"h", "-g", "10.0.0.254/10.0.1.1"});
    EXPECT_EQ(valid.hostTexts(), (std::vector<std::string>{"h", "10.0.0.254", "10.0.1.1"}));
    EXPECT_EQ(platform.output, "");

    // Without a '/' the next argument is left to the scan, which refuses it as a host.
    Scanned noSlash = scan({"h", "-g", "10.0.0.1"});
    EXPECT_EQ(noSlash.hostTexts(), std::vector<std::string>{"h"});
    EXPECT_EQ(platform.output, "Host 10.0.0.1 ignored\n");
}

TEST_F(CommandLineTest, LogFileAttachedOrNext) {
    scan({"h", "-Lfirst.log", "-L", "second.log", "-a"});
    EXPECT_EQ(openedLogs, (std::vector<std::string>{"first.log", "second.log"}));
    EXPECT_EQ(platform.output, "");
}

// An option that needs a value and stands last reads nothing beyond the last argument; the
// argument vectors are sized to the byte, so AddressSanitizer sees any such read.
TEST_F(CommandLineTest, OptionsThatNeedAValueAndStandLastReadNothingMore) {
    Scanned count = scan({"h", "-n"});
    EXPECT_EQ(count.settings.count, 1);
    EXPECT_EQ(count.options.countGiven, 1);
    EXPECT_EQ(settingsOf({"h", "-s"}).dataSize, 4);
    EXPECT_EQ(settingsOf({"h", "-t"}).intervalMs, 1);
    EXPECT_EQ(settingsOf({"h", "-w"}).timeoutMs, 1);
    EXPECT_EQ(settingsOf({"h", "-h"}).ttl, 1);
    EXPECT_EQ(settingsOf({"h", "-v"}).tosGiven, 1);
    EXPECT_EQ(settingsOf({"h", "-r"}).recordRoutes, 0);

    Scanned sweep = scan({"h", "-S"});
    EXPECT_EQ(sweep.options.sweepEnabled, 0);
    EXPECT_EQ(sweep.settings.dataSize, 4);
    EXPECT_EQ(scan({"h", "-R"}).options.randomEnabled, 0);

    EXPECT_EQ(scan({"h", "-d"}).run.pingData, "");

    scan({"h", "-L"});
    EXPECT_TRUE(openedLogs.empty());

    Scanned file = scan({"h", "-H"});
    EXPECT_TRUE(file.hosts().hostFileGiven);
    EXPECT_EQ(file.hostTexts(), std::vector<std::string>{"h"});

    EXPECT_EQ(scan({"h", "-g"}).hostTexts(), std::vector<std::string>{"h"});

    Scanned invalid = scan({"h", "-x"});
    EXPECT_EQ(invalid.options.argumentWarning, 1);
    EXPECT_TRUE(platform.fake.callsStartingWith("gethostbyname").empty());
    EXPECT_EQ(platform.output, "Invalid Option: -x\n");
}

// --- Ranges -------------------------------------------------------------------------------------

TEST_F(CommandLineTest, SweepStaysOffUnlessFirstIsBelowSecond) {
    for (std::string value : {"10/5", "10", "10/10"}) {
        Scanned scanned = scan({"h", "-S", value});
        EXPECT_EQ(scanned.options.sweepEnabled, 0) << value;
        EXPECT_EQ(scanned.settings.dataSize, 10) << value;
    }
}

TEST_F(CommandLineTest, SweepBoundsAreClampedLikeTheDataSize) {
    Scanned wide = scan({"h", "-S", "2/100000"});
    EXPECT_EQ(wide.options.sweepEnabled, 1);
    EXPECT_EQ(wide.options.sweepFirst, 4);
    EXPECT_EQ(wide.options.sweepLast, 65500);
    EXPECT_EQ(wide.settings.dataSize, 32);

    Scanned negative = scan({"h", "-S", "-5/10"});
    EXPECT_EQ(negative.options.sweepEnabled, 0);
    EXPECT_EQ(negative.settings.dataSize, 32);
}

TEST_F(CommandLineTest, SweepAttachedOrSeparateLeavesTheDataSizeAlone) {
    Scanned attached = scan({"h", "-s", "100", "-S10/12"});
    EXPECT_EQ(attached.options.sweepEnabled, 1);
    EXPECT_EQ(attached.options.sweepFirst, 10);
    EXPECT_EQ(attached.options.sweepLast, 12);
    EXPECT_EQ(attached.settings.dataSize, 100);

    Scanned separate = scan({"h", "-S", "10/12", "-a"});
    EXPECT_EQ(separate.options.sweepEnabled, 1);
    EXPECT_EQ(separate.settings.resolveNames, 1);
}

TEST_F(CommandLineTest, TheSecondBoundFollowsTheLastSlash) {
    Scanned scanned = scan({"h", "-S", "10/x/20"});
    EXPECT_EQ(scanned.options.sweepEnabled, 1);
    EXPECT_EQ(scanned.options.sweepLast, 20);
}

TEST_F(CommandLineTest, RandomRangeUsesItsOwnFields) {
    Scanned on = scan({"h", "-R", "10/20"});
    EXPECT_EQ(on.options.randomEnabled, 1);
    EXPECT_EQ(on.options.randomMin, 10);
    EXPECT_EQ(on.options.randomMax, 20);
    EXPECT_EQ(on.options.sweepEnabled, 0);

    Scanned off = scan({"h", "-R20/10"});
    EXPECT_EQ(off.options.randomEnabled, 0);
    EXPECT_EQ(off.settings.dataSize, 20);
}

TEST_F(CommandLineTest, ALaterRangeThatIsOffSwitchesAnEarlierOneOff) {
    Scanned scanned = scan({"h", "-S", "10/20", "-S", "30"});
    EXPECT_EQ(scanned.options.sweepEnabled, 0);
    EXPECT_EQ(scanned.settings.dataSize, 30);
}

TEST_F(CommandLineTest, ReconciliationDisablesRoutesThenRandomSizes) {
    PingSettings settings;
    settings.recordRoutes = 3;
    RunOptions options;
    options.useIcmpLibrary = 1;
    options.randomEnabled = 1;
    options.sweepEnabled = 1;
    applyReconciliation(settings, options);
    EXPECT_EQ(settings.recordRoutes, 0);
    EXPECT_EQ(options.randomEnabled, 0);
    EXPECT_EQ(options.sweepEnabled, 1);
    EXPECT_EQ(platform.output,
              "Route options disabled by ICMP dll\n"
              "Random length ping disabled, using size sweep\n");

    platform.output.clear();
    PingSettings quiet;
    RunOptions raw;
    raw.randomEnabled = 1;
    applyReconciliation(quiet, raw);
    EXPECT_EQ(platform.output, "");
    EXPECT_EQ(raw.randomEnabled, 1);
}

// --- Invalid options and look-ahead -------------------------------------------------------------

TEST_F(CommandLineTest, AnInvalidOptionWarnsAndBeeps) {
    Scanned scanned = scan({"h", "-x", "-n", "3"});
    EXPECT_EQ(platform.output, "Invalid Option: -x\n");
    EXPECT_EQ(platform.fake.callsStartingWith("beep"), std::vector<std::string>{"beep 880 100"});
    EXPECT_EQ(scanned.options.argumentWarning, 1);
    // An option after it is left to the scan without a lookup.
    EXPECT_EQ(scanned.settings.count, 3);
    EXPECT_TRUE(platform.fake.callsStartingWith("gethostbyname").empty());
}

TEST_F(CommandLineTest, AnUnresolvableNextArgumentIsTakenAsTheInvalidOptionsValue) {
    Scanned scanned = scan({"h", "-x", "nosuchname", "host2"});
    EXPECT_EQ(platform.output, "Invalid Option: -x\nHost host2 ignored\n");
    EXPECT_EQ(platform.fake.callsStartingWith("gethostbyname"),
              std::vector<std::string>{"gethostbyname nosuchname"});
    EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{"h"});
}

TEST_F(CommandLineTest, AResolvableNextArgumentIsLeftAndRefusedAsAHost) {
    platform.fake.names["server"] = HostEntry{"server.lab", 0x0100000A};
    Scanned scanned = scan({"h", "-x", "server", "-y", "10.0.0.5"});
    EXPECT_EQ(platform.output,
              "Invalid Option: -x\nHost server ignored\nInvalid Option: -y\n"
              "Host 10.0.0.5 ignored\n");
    EXPECT_EQ(platform.fake.callsStartingWith("beep").size(), 4u);
    EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{"h"});
}

TEST_F(CommandLineTest, AnOptionTextAfterAnInvalidOptionIsNeverLookedUp) {
    scan({"h", "-x", "/a"});
    EXPECT_TRUE(platform.fake.callsStartingWith("gethostbyname").empty());
}

// --- Hosts after options ------------------------------------------------------------------------

TEST_F(CommandLineTest, HostsBeforeTheFirstOptionAreKeptInOrder) {
    Scanned scanned = scan({"host1", "host2", "host1", "-n", "2"});
    EXPECT_EQ(scanned.hostTexts(), (std::vector<std::string>{"host1", "host2", "host1"}));
    EXPECT_EQ(platform.output, "");
    EXPECT_EQ(scanned.options.argumentWarning, 0);
}

TEST_F(CommandLineTest, AHostAfterAnOptionIsRefusedWithABeep) {
    Scanned scanned = scan({"host1", "-n", "2", "host2"});
    EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{"host1"});
    EXPECT_EQ(platform.output, "Host host2 ignored\n");
    EXPECT_EQ(platform.fake.callsStartingWith("beep"), std::vector<std::string>{"beep 880 100"});
    EXPECT_EQ(scanned.options.argumentWarning, 1);
}

TEST_F(CommandLineTest, AnInvalidOptionAlsoEndsTheHosts) {
    Scanned scanned = scan({"host1", "-x", "-a", "host2"});
    EXPECT_EQ(scanned.hostTexts(), std::vector<std::string>{"host1"});
    EXPECT_EQ(platform.output, "Invalid Option: -x\nHost host2 ignored\n");
}

TEST_F(CommandLineTest, OptionsFirstLeaveTheListEmpty) {
    Scanned scanned = scan({"-n", "2", "host1"});
    EXPECT_TRUE(scanned.hosts().empty());
    EXPECT_EQ(platform.output, "Host host1 ignored\n");
}

TEST_F(CommandLineTest, AHundredThousandArgumentsAreScannedInOrder) {
    std::vector<std::string> arguments;
    for (int i = 0; i < 99'997; ++i) arguments.push_back("h" + std::to_string(i));
    arguments.insert(arguments.end(), {"-n", "2", "late"});
    ArgumentVector vector(arguments);
    Scanned scanned;
    scanCommandLine(vector.argc(), vector.argv(), scanned.settings, scanned.options, scanned.run,
                    recordLogOpen);
    ASSERT_EQ(scanned.hosts().size(), 99'997u);
    EXPECT_EQ(scanned.hosts().entry(99'996), "h99996");
    EXPECT_EQ(scanned.settings.count, 2);
    EXPECT_EQ(platform.output, "Host late ignored\n");
}

TEST_F(CommandLineTest, APercentInARefusedHostIsWrittenAsItStands) {
    scan({"h", "-a", "%s%n%x"});
    EXPECT_EQ(platform.output, "Host %s%n%x ignored\n");
}

// --- Program name, banner and usage -------------------------------------------------------------

TEST_F(CommandLineTest, ProgramNameIsThePartAfterTheLastSlashOfEitherKind) {
    EXPECT_EQ(programName("/usr/local/bin/quilvane"), "quilvane");
    EXPECT_EQ(programName("C:\\tools\\qv.exe"), "qv.exe");
    EXPECT_EQ(programName("a\\b/c\\pinger"), "pinger");
    EXPECT_EQ(programName("quilvane"), "quilvane");
    EXPECT_EQ(programName(nullptr), "quilvane");
    EXPECT_EQ(programName(""), "quilvane");
    EXPECT_EQ(programName("/opt/bin/"), "quilvane");
}

TEST_F(CommandLineTest, AProgramNameLongerThan259CharactersIsCut) {
    std::string longName(300, 'q');
    EXPECT_EQ(programName(("/bin/" + longName).c_str()), std::string(259, 'q'));
    EXPECT_EQ(programName(std::string(259, 'p').c_str()), std::string(259, 'p'));
}

TEST_F(CommandLineTest, BannerIsTwoLinesBetweenEmptyLines) {
    printBanner();
    EXPECT_EQ(platform.output, "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n");
}

const char* const expectedUsage =
    "Usage:\n"
    "qv <host(-list)> [-s data_size] [-S size1/size2] [-c] [-t time] [-w timeout]\n"
    "       [-n count] [-h TTL] [-v TOS] [-r routes] [-R min/max] [-a] [-f] \n"
    "       [-b(-)] [-i] [-l] [-T] [-D] [-d ping_data] [-g host1/host2]\n"
    "       [-H filename] [-L filename] [-p requests] [-4] [-6]\n\n"
    "Options:\n"
    "\t-s : data_size in bytes up to 65500\n"
    "\t-S : size sweep. Ping with size1, size1 + 1, ..., size 2 datalength\n"
    "\t-c : continuous ping (higher priority than -n)\n"
    "\t     to see statistics and continue - type Control-Break;\n"
    "\t     to stop - type Control-C.\n"
    "\t-t : time between 2 pings in ms up to 1000000\n"
    "\t-w : timeout in ms to wait for each reply\n"
    "\t-n : number of echo requests to send\n"
    "\t-h : number of hops (TTL: 1 to 128)\n"
    "\t-v : Type Of Service (0 to 255)\n"
    "\t-r : record route (1 to 9 routes)\n"
    "\t-R : random length between min and max (disabled when using -S)\n"
    "\t-a : resolve addresses to hostnames\n"
    "\t-f : set Don't Fragment flag in packet\n"
    "\t-b : beep on every successful reply (- to beep on timeout)\n"
    "\t-i : use ICMP dll instead of raw socket (disables -r)\n"
    "\t-l : limit the output to ping results and errors\n"
    "\t-T : print timestamp with each reply\n"
    "\t-D : print datestamp and timestamp with each reply\n"
    "\t-d : ping with specified data (disabled when using -R)\n"
    "\t-g : ping IP range from host1 to host2\n"
    "\t-H : get hosts from filename (comma delimited, filename with full path)\n"
    "\t-L : logging to a text file\n"
    "\t-p : echo requests in flight at once over many hosts (1 to 4096)\n"
    "\t-4 : resolve host names to IPv4 addresses only\n"
    "\t-6 : resolve host names to IPv6 addresses only\n"
    "\t--rate N : at most N echo requests a second with -p (1 to 10000000)\n"
    "\t--retries K : send a silent host's request again up to K times (0 to 10)\n"
    "\t--summary : one result line per host after the statistics\n"
    "\t--alive : print only the addresses that answered\n"
    "\t--json : print results as JSON Lines\n"
    "\t--metrics filename : write OpenMetrics results after every pass\n"
    "\t--help : print this usage text to standard output and exit\n"
    "\t--version : print the version and exit\n";

TEST_F(CommandLineTest, UsageGoesToStandardErrorAndOnlyTheBannerThroughTheSink) {
    ::testing::internal::CaptureStderr();
    writeUsage("qv");
    std::string standardError = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(standardError, expectedUsage);
    EXPECT_EQ(platform.output, "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n");
}

TEST_F(CommandLineTest, TheBannerOfTheUsageReachesStandardOutput) {
    setPlatform(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    writeUsage("qv");
    std::string standardError = ::testing::internal::GetCapturedStderr();
    std::string standardOutput = ::testing::internal::GetCapturedStdout();
    setPlatform(&platform.fake);
    EXPECT_EQ(standardOutput, "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n");
    EXPECT_EQ(standardError, expectedUsage);
}

using CommandLineDeathTest = CommandLineTest;

TEST_F(CommandLineDeathTest, UsageEndsTheProcessWith255) {
    ArgumentVector vector({"host", "-?"}, "/usr/bin/qv");
    PingSettings settings;
    RunOptions options;
    RunState run;
    EXPECT_EXIT(parseCommandLine(vector.argc(), vector.argv(), settings, options, run),
                testing::endedWithMinusOne, "^Usage:\nqv <host\\(-list\\)> ");
}

}  // namespace
}  // namespace quilvane
