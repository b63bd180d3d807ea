// The resolved hostname list of -a: names and addresses, entries that do not resolve left out.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "hosts/host_list.h"
#include "support/inet.h"

namespace quilvane {
namespace {

class ResolvedHostList : public ::testing::Test {
  protected:
    ResolvedHostList() {
        fake.names["gw"] = HostEntry{"gw.lab", inetAddr("10.0.0.1")};
        fake.reverseNames[inetAddr("10.0.0.1")] = "gw.lab";
        fake.reverseNames[inetAddr("10.0.0.3")] = "three.lab";
    }
    testing::ScopedFakePlatform scope;
    testing::FakePlatform& fake = scope.fake;
    HostList list;
};

TEST_F(ResolvedHostList, NameFirstThenTheEntryAsGiven) {
    list.append("gw");
    list.appendRange(networkToHost(inetAddr("10.0.0.2")), networkToHost(inetAddr("10.0.0.3")));
    printResolvedHostList(list, true, FamilyChoice::Any);
    EXPECT_EQ(scope.output,
              "Resolved hostname list:\n"
              "gw.lab [gw]\n"
              "10.0.0.2\n"
              "three.lab [10.0.0.3]\n"
              "\n");
}

TEST_F(ResolvedHostList, EntryThatDoesNotResolveIsLeftOut) {
    list.append("nosuchhost");
    list.append("gw");
    printResolvedHostList(list, true, FamilyChoice::Any);
    EXPECT_EQ(scope.output, "Resolved hostname list:\ngw.lab [gw]\n\n");
    EXPECT_EQ(fake.callsStartingWith("gethostbyaddr"),
              (std::vector<std::string>{"gethostbyaddr 10.0.0.1"}));
}

TEST_F(ResolvedHostList, NothingWithoutResolveNames) {
    list.append("gw");
    printResolvedHostList(list, false, FamilyChoice::Any);
    EXPECT_EQ(scope.output, "");
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(ResolvedHostList, EmptyListStillPrintsHeaderAndEmptyLine) {
    printResolvedHostList(list, true, FamilyChoice::Any);
    EXPECT_EQ(scope.output, "Resolved hostname list:\n\n");
}

}  // namespace
}  // namespace quilvane
