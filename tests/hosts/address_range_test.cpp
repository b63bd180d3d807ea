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

// What a prefix or range yields: its size and its first and last entries (empty: nothing added).
struct Expansion {
    const char* value;
    size_t count;
    const char* first;
    const char* last;
};

void expectExpansions(const std::vector<Expansion>& cases) {
    for (const Expansion& c : cases) {
        HostList list;
        EXPECT_TRUE(addAddressRange(list, "", c.value)) << c.value;
        ASSERT_EQ(list.size(), c.count) << c.value;
        if (c.count == 0) continue;
        EXPECT_EQ(list.entry(0), c.first) << c.value;
        EXPECT_EQ(list.entry(c.count - 1), c.last) << c.value;
    }
}

TEST(AddressPrefix, WalkedAsTheRangeOfTheNetworkItWrites) {
    expectExpansions({
        {"198.19.7.0/24", 254, "198.19.7.1", "198.19.7.254"},
        {"198.19.7.77/24", 254, "198.19.7.1", "198.19.7.254"},  // host bits are ignored
        {"198.18.240.0/28", 15, "198.18.240.1", "198.18.240.15"},
        {"198.18.240.12/30", 4, "198.18.240.12", "198.18.240.15"},
        {"198.18.0.0/23", 508, "198.18.0.1", "198.18.1.254"},
        {"198.18.0.0/16", 65536 - 512, "198.18.0.1", "198.18.255.254"},
        {"198.18.0.5/32", 1, "198.18.0.5", "198.18.0.5"},
        {"198.18.0.0/32", 0, "", ""},  // the -g rule leaves .0 out
        {"0.0.0.0/0", 4261412864u, "0.0.0.1", "255.255.255.254"},
        {"fd00::1:0/120", 256, "fd00::1:0", "fd00::1:ff"},
        {"fd00::1:ab/120", 256, "fd00::1:0", "fd00::1:ff"},
        {"fd00::/112", 65536, "fd00::", "fd00::ffff"},
        {"fd00::9/128", 1, "fd00::9", "fd00::9"},
        {"::ffff:198.18.3.0/120", 254, "198.18.3.1", "198.18.3.254"},
    });
}

TEST(AddressPrefix, InvalidPrefixIsReportedAndConsumed) {
    for (const char* value : {"198.18.0.0/33", "198.18.0/24", "198.18.0.256/24", "198.18.0.0.0/8",
                              "fd00::/111", "fd00::/129", "fd00:::1/120", "::ffff:1.2.3.4/95"}) {
        HostList list;
        RangeOption range = addAddressRangeOption(list, "", value);
        EXPECT_TRUE(range.consumed) << value;
        EXPECT_TRUE(range.invalidPrefix) << value;
        EXPECT_TRUE(list.empty()) << value;
        EXPECT_EQ(addPrefix(list, value), PrefixResult::Invalid) << value;
    }
    HostList list;
    RangeOption attached = addAddressRangeOption(list, "198.18.0.0/40", "next");
    EXPECT_FALSE(attached.consumed);
    EXPECT_TRUE(attached.invalidPrefix);
}

TEST(AddressPrefix, OtherTextsAreNoPrefix) {
    for (const char* value : {"host.example", "10.0.0.1/10.0.0.9", "host/24", "/24", "10.0.0.1/",
                              "10.0.0.1/2a", "10.0.0.1/1000", "fd00::1/fd00::9"}) {
        HostList list;
        EXPECT_EQ(addPrefix(list, value), PrefixResult::NotPrefix) << value;
        EXPECT_TRUE(list.empty()) << value;
    }
}

TEST(AddressRangeIpv6, WalkedWhereverItLies) {
    expectExpansions({
        {"fd00:0:0:1:ffff:ffff:ffff:fffe/fd00:0:0:2::1", 4, "fd00::1:ffff:ffff:ffff:fffe",
         "fd00:0:0:2::1"},
        {"fd00::ffff/fd00::1:0", 2, "fd00::ffff", "fd00::1:0"},
        {"fd00::/fd00::ffff", 65536, "fd00::", "fd00::ffff"},
        {"fd00::/fd00::1:0", 0, "", ""},  // more than 65,536 addresses
    });
}

TEST(AddressRangeIpv6, MappedEndsFollowTheIpv4Rule) {
    expectExpansions({
        {"::ffff:198.18.0.0/::ffff:198.18.1.255", 508, "198.18.0.1", "198.18.1.254"},
        {"::ffff:198.18.0.0/::ffff:198.18.0.0", 0, "", ""},
        {"::ffff:198.18.0.9/fd00::1", 0, "", ""},  // one family or the other, not both
        {"fd00::1/::ffff:198.18.0.9", 0, "", ""},
        {"::ffff:198.18.0.9/::ffff:198.18.0.1", 0, "", ""},
    });
}

}  // namespace
}  // namespace quilvane
