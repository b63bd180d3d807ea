// The sources of the list as the command line meets them: arguments, -H and -g in their order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fakes/fake_platform.h"
#include "hosts/host_list.h"
#include "hosts/list_entries.h"

namespace quilvane {
namespace {

using Hosts = std::vector<std::string>;

class CommandLineSources : public ::testing::Test {
  protected:
    void scan(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "quilvane");
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        parseCommandLine(static_cast<int>(arguments.size()), argv.data(), settings, options, run);
    }
    Hosts entries() const { return testing::entriesOf(list); }

    testing::ScopedFakePlatform scope;
    testing::FakePlatform& fake = scope.fake;
    PingSettings settings;
    RunOptions options;
    RunState run;
    HostList& list = run.hosts;
};

TEST_F(CommandLineSources, HostFilesAndRangesAppendInCommandLineOrder) {
    fake.files["a.txt"] = "alpha\nbeta\n";
    fake.files["b.txt"] = "gamma";
    scan({"first", "second", "-g", "10.0.0.254/10.0.1.1", "-Ha.txt", "-g10.0.0.7/10.0.0.7", "-H",
          "b.txt", "late", "-H", "a.txt"});
    EXPECT_EQ(entries(), (Hosts{"first", "second", "10.0.0.254", "10.0.1.1", "alpha", "beta",
                                "10.0.0.7", "gamma", "alpha", "beta"}));
    EXPECT_TRUE(list.hostFileGiven);
    EXPECT_EQ(scope.output, "Host late ignored\n");
}

TEST_F(CommandLineSources, SingleAddressRangeIsOneHostWithoutAHostFile) {
    scan({"-g", "10.0.0.7/10.0.0.7"});
    EXPECT_EQ(entries(), (Hosts{"10.0.0.7"}));
    EXPECT_FALSE(list.hostFileGiven);
}

TEST_F(CommandLineSources, RangeWithoutSlashLeavesItsArgumentToTheScan) {
    scan({"-g", "10.0.0.1", "-n", "1"});
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(scope.output, "Host 10.0.0.1 ignored\n");
}

TEST_F(CommandLineSources, RangeWithInvalidFirstAddressLeavesItsArgumentToTheScan) {
    scan({"-g", "x10.0.0.1/10.0.0.3", "-n", "1"});
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(scope.output, "Host x10.0.0.1/10.0.0.3 ignored\n");
}

TEST_F(CommandLineSources, IgnoredRangesPrintNothing) {
    scan({"-g0.0.0.0/10.0.0.5", "-g10.0.0.1/255.255.255.255", "-g", "10.0.0.5/10.0.0.1"});
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(scope.output, "");
}

TEST_F(CommandLineSources, PrefixArgumentsAndOptionsAddTheirAddresses) {
    scan({"198.18.0.0/30", "alpha", "-g", "198.18.1.0/31", "-g198.18.2.4/31"});
    EXPECT_EQ(entries(), (Hosts{"198.18.0.1", "198.18.0.2", "198.18.0.3", "alpha", "198.18.1.1",
                                "198.18.2.4", "198.18.2.5"}));
    EXPECT_EQ(scope.output, "");
    EXPECT_EQ(options.argumentWarning, 0);
}

TEST_F(CommandLineSources, LonePrefixArgumentIsItsAddresses) {
    scan({"198.18.240.0/29"});
    EXPECT_EQ(list.size(), 7u);
    EXPECT_EQ(list.entry(6), "198.18.240.7");
}

TEST_F(CommandLineSources, InvalidPrefixIsAnErrorLineOfItsOwn) {
    struct Case {
        std::vector<std::string> arguments;
        const char* output;
    };
    const Case cases[] = {
        {{"198.18.240.0/33"}, "Invalid prefix: 198.18.240.0/33\n"},
        {{"198.18.240.0/33", "alpha"}, "Invalid prefix: 198.18.240.0/33\n"},
        {{"alpha", "-g", "fd00::/64", "-n", "1"}, "Invalid prefix: fd00::/64\n"},
        {{"alpha", "-gfd00::/64", "-n", "1"}, "Invalid prefix: fd00::/64\n"},
    };
    for (const Case& c : cases) {
        list = HostList();
        scope.output.clear();
        options = RunOptions();
        scan(c.arguments);
        EXPECT_EQ(scope.output, c.output);
        EXPECT_EQ(options.argumentWarning, 1);
        for (const std::string& entry : entries()) EXPECT_EQ(entry, "alpha");
    }
}

}  // namespace
}  // namespace quilvane
