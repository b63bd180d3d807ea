// -g: the attached and separate forms, the checks that ignore a range, and what gets consumed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosts/host_list.h"
#include "hosts/list_entries.h"

namespace quilvane {
namespace {

using testing::entriesOf;

using Hosts = std::vector<std::string>;

TEST(AddressRangeForms, AttachedFormNeverConsumesTheNextArgument) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "10.0.0.1/10.0.0.3", "next"));
    EXPECT_EQ(entriesOf(list), (Hosts{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

TEST(AddressRangeForms, SeparateFormConsumesTheNextArgument) {
    HostList list;
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.254/10.0.1.1"));
    EXPECT_EQ(entriesOf(list), (Hosts{"10.0.0.254", "10.0.1.1"}));
}

TEST(AddressRangeForms, SingleAddressRange) {
    HostList list;
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.7/10.0.0.7"));
    EXPECT_EQ(entriesOf(list), (Hosts{"10.0.0.7"}));
    EXPECT_FALSE(list.hostFileGiven);
}

TEST(AddressRangeForms, NoValueAtAll) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "", nullptr));
    EXPECT_FALSE(addAddressRange(list, nullptr, nullptr));
    EXPECT_TRUE(list.empty());
}

TEST(AddressRangeIgnored, NoSlashLeavesTheNextArgumentForTheScan) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "", "10.0.0.1"));
    EXPECT_FALSE(addAddressRange(list, "10.0.0.1", "10.0.0.2/10.0.0.3"));
    EXPECT_TRUE(list.empty());
}

TEST(AddressRangeIgnored, InvalidFirstAddressLeavesTheNextArgument) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "x10.0.0.1/10.0.0.3", "next"));
    EXPECT_FALSE(addAddressRange(list, "", "x10.0.0.1/10.0.0.3"));
    EXPECT_FALSE(addAddressRange(list, "", "0.0.0.0/10.0.0.5"));
    EXPECT_FALSE(addAddressRange(list, "0.0.0.0/10.0.0.5", nullptr));
    EXPECT_FALSE(addAddressRange(list, "", "255.255.255.255/10.0.0.5"));
    EXPECT_FALSE(addAddressRange(list, "", "/10.0.0.5"));
    EXPECT_TRUE(list.empty());
}

TEST(AddressRangeIgnored, BadSecondHalfStillConsumesTheSeparateValue) {
    HostList list;
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.1/255.255.255.255"));
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.1/0.0.0.0"));
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.1/"));
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.1/nonsense"));
    EXPECT_TRUE(addAddressRange(list, "", "10.0.0.5/10.0.0.1"));
    EXPECT_FALSE(addAddressRange(list, "10.0.0.1/255.255.255.255", "next"));
    EXPECT_FALSE(addAddressRange(list, "10.0.0.5/10.0.0.1", "next"));
    EXPECT_TRUE(list.empty());
}

TEST(AddressRangeIgnored, FirstAboveLastComparesInHostByteOrder) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "10.0.1.0/10.0.0.255", nullptr));
    EXPECT_TRUE(list.empty());
    // In network byte order 10.0.0.255 would compare above 10.0.1.1.
    EXPECT_FALSE(addAddressRange(list, "10.0.0.255/10.0.1.1", nullptr));
    EXPECT_EQ(entriesOf(list), (Hosts{"10.0.1.1"}));
}

TEST(AddressRangeSlash, SearchedAmongSeventeenAttachedOrSixteenSeparateCharacters) {
    HostList list;
    // "012.000.000.0001" (octal 10.0.0.1) is 16 characters: the slash stands 17th.
    EXPECT_FALSE(addAddressRange(list, "012.000.000.0001/10.0.0.1", nullptr));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_FALSE(addAddressRange(list, "", "012.000.000.0001/10.0.0.1"));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_TRUE(addAddressRange(list, "", "012.000.000.001/10.0.0.1"));
    EXPECT_EQ(list.size(), 2u);
    // A slash further on is never found, not even inside the next argument.
    EXPECT_FALSE(addAddressRange(list, "10.0.0.1             /10.0.0.2", "10.0.0.1/10.0.0.2"));
    EXPECT_EQ(list.size(), 2u);
}

TEST(AddressRangeSlash, ShortValuesEndAtTheirTerminator) {
    HostList list;
    EXPECT_FALSE(addAddressRange(list, "1", "2/3"));
    EXPECT_FALSE(addAddressRange(list, "", ""));
    EXPECT_TRUE(list.empty());
}

TEST(AddressRangeOrder, SeveralRangesAppendInTurn) {
    HostList list;
    addAddressRange(list, "10.0.0.9/10.0.0.10", nullptr);
    addAddressRange(list, "", "10.0.0.1/10.0.0.2");
    addAddressRange(list, "10.0.0.9/10.0.0.9", nullptr);
    EXPECT_EQ(entriesOf(list),
              (Hosts{"10.0.0.9", "10.0.0.10", "10.0.0.1", "10.0.0.2", "10.0.0.9"}));
}

}  // namespace
}  // namespace quilvane
