// The host list: order of texts and ranges, and the compact ranges read like appended entries.
#include "hosts/host_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosts/list_entries.h"
#include "support/inet.h"

namespace quilvane {
namespace {

using testing::entriesOf;

uint32_t hostOrder(const char* dotted) {
    return networkToHost(inetAddr(dotted));
}

// What a range must read as: every address appended one by one.
std::vector<std::string> rangeOneByOne(uint32_t first, uint32_t last) {
    std::vector<std::string> entries;
    for (uint64_t address = first; address <= last; ++address) {
        uint32_t lastOctet = address & 0xFF;
        if (lastOctet == 0 || lastOctet == 255) continue;
        entries.push_back(inetNtoa(hostToNetwork(static_cast<uint32_t>(address))));
    }
    return entries;
}

TEST(HostListTexts, KeepsOrderDuplicatesAndEmptyTexts) {
    HostList list;
    EXPECT_TRUE(list.empty());
    list.append("host1");
    list.append("");
    list.append("host1");
    list.append("with space\tand\r\nline end");
    EXPECT_EQ(entriesOf(list),
              (std::vector<std::string>{"host1", "", "host1", "with space\tand\r\nline end"}));
    EXPECT_FALSE(list.hostFileGiven);
}

TEST(HostListTexts, EntryPastTheEndIsEmpty) {
    HostList list;
    EXPECT_EQ(list.entry(0), "");
    list.append("a");
    EXPECT_EQ(list.entry(1), "");
}

TEST(HostListRanges, SkipsZeroAndBroadcastAcrossBlockBoundaries) {
    HostList list;
    list.appendRange(hostOrder("10.0.0.254"), hostOrder("10.0.1.1"));
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"10.0.0.254", "10.0.1.1"}));

    HostList wide;
    wide.appendRange(hostOrder("10.0.0.0"), hostOrder("10.0.3.255"));
    EXPECT_EQ(wide.size(), 4u * 254);
    EXPECT_EQ(entriesOf(wide), rangeOneByOne(hostOrder("10.0.0.0"), hostOrder("10.0.3.255")));
}

TEST(HostListRanges, OddStartsAndEndsMatchTheOneByOneWalk) {
    const char* bounds[][2] = {{"1.2.3.4", "1.2.3.4"},        {"1.2.3.255", "1.2.4.0"},
                               {"1.2.3.255", "1.2.4.1"},      {"1.2.3.0", "1.2.3.1"},
                               {"9.255.255.200", "10.0.1.7"}, {"192.168.0.1", "192.168.2.254"}};
    for (const auto& bound : bounds) {
        HostList list;
        list.appendRange(hostOrder(bound[0]), hostOrder(bound[1]));
        EXPECT_EQ(entriesOf(list), rangeOneByOne(hostOrder(bound[0]), hostOrder(bound[1])))
            << bound[0] << "/" << bound[1];
    }
}

TEST(HostListRanges, RangeWithNoUsableAddressAddsNothing) {
    HostList list;
    list.appendRange(hostOrder("10.0.0.255"), hostOrder("10.0.1.0"));
    list.appendRange(hostOrder("10.0.0.9"), hostOrder("10.0.0.8"));
    EXPECT_TRUE(list.empty());
}

TEST(HostListRanges, WholeAddressSpaceIsCountedWithoutOverflow) {
    HostList list;
    list.appendRange(0, 0xFFFFFFFFu);
    EXPECT_EQ(list.size(), 16'777'216u * 254);
    EXPECT_EQ(list.entry(0), "0.0.0.1");
    EXPECT_EQ(list.entry(list.size() - 1), "255.255.255.254");
}

TEST(HostListRanges, HugeRangeReadsRightAtItsEndsAndBlockBoundaries) {
    HostList list;
    list.appendRange(hostOrder("10.0.0.1"), hostOrder("10.255.255.254"));
    ASSERT_EQ(list.size(), 16'646'144u);
    EXPECT_EQ(list.entry(0), "10.0.0.1");
    EXPECT_EQ(list.entry(253), "10.0.0.254");
    EXPECT_EQ(list.entry(254), "10.0.1.1");
    EXPECT_EQ(list.entry(254 * 256 - 1), "10.0.255.254");
    EXPECT_EQ(list.entry(254 * 256), "10.1.0.1");
    EXPECT_EQ(list.entry(16'646'143), "10.255.255.254");
    EXPECT_EQ(list.entry(16'646'144), "");
}

TEST(HostListMixed, SegmentsReadInTheOrderTheyWereAppended) {
    HostList list;
    list.append("first");
    list.append("second");
    list.appendRange(hostOrder("10.0.0.253"), hostOrder("10.0.1.2"));
    list.appendHostFile("alpha,beta");
    list.appendRange(hostOrder("10.0.0.7"), hostOrder("10.0.0.7"));
    list.append("last");
    list.appendHostFile("first");
    EXPECT_EQ(entriesOf(list),
              (std::vector<std::string>{"first", "second", "10.0.0.253", "10.0.0.254", "10.0.1.1",
                                        "10.0.1.2", "alpha", "beta", "10.0.0.7", "last", "first"}));
    // A second pass reads the same, also walking backwards.
    for (size_t i = list.size(); i-- > 0;) EXPECT_EQ(list.entry(i), entriesOf(list)[i]);
}

TEST(HostListMixed, HostFileWithNoHostsLeavesTheListAsItWas) {
    HostList list;
    list.append("a");
    list.appendHostFile("");
    list.appendHostFile(" ,\r\n\t,,");
    list.append("b");
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"a", "b"}));
}

TEST(HostListHostFiles, MostlyBlankFileReadsTheSameAfterCompaction) {
    std::string text(100'000, ' ');
    text.replace(10, 7, "\nalpha\n");
    text.replace(50'000, 11, ",\tbeta gam,");
    text.replace(99'990, 6, "\r\ndelt");
    HostList list;
    list.appendHostFile(text);
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"alpha", "beta gam", "delt"}));
    list.append("after");
    EXPECT_EQ(list.entry(3), "after");
}

TEST(HostListHostFiles, HostsEndAtTheFirstNulOfTheText) {
    HostList list;
    list.appendHostFile(std::string_view("one, two \0three", 15));
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"one", "two"}));
}

TEST(HostListMixed, CopiesAreIndependentValues) {
    HostList list;
    list.append("a");
    list.appendHostFile("b\nc");
    list.appendRange(hostOrder("10.0.0.1"), hostOrder("10.0.0.2"));
    HostList copy = list;
    list.appendHostFile("d");
    list = HostList();
    EXPECT_EQ(entriesOf(copy), (std::vector<std::string>{"a", "b", "c", "10.0.0.1", "10.0.0.2"}));
}

}  // namespace
}  // namespace quilvane
