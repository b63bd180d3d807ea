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

}  // namespace
}  // namespace quilvane
