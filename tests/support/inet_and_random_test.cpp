// Address texts (IPv4 with the classic conversion rules, IPv6 compressed), and the random sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "support/inet.h"
#include "support/ip_address.h"
#include "support/random.h"

namespace quilvane {
namespace {

Ipv4 address(int a, int b, int c, int d) {
    return hostToNetwork(static_cast<uint32_t>(a << 24 | b << 16 | c << 8 | d));
}

TEST(InetAddr, ParsesDottedAddressesInNetworkOrder) {
    EXPECT_EQ(inetAddr("10.0.0.1"), address(10, 0, 0, 1));
    EXPECT_EQ(inetAddr("192.168.254.7"), address(192, 168, 254, 7));
    EXPECT_EQ(inetAddr("0.0.0.0"), 0u);
    Ipv4 parsed = inetAddr("1.2.3.4");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&parsed);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
}

TEST(InetAddr, AllOnesAndNonAddressesGiveTheSameNone) {
    EXPECT_EQ(inetAddr("255.255.255.255"), inaddrNone);
    for (const char* text :
         {"", "host", "example.com", "1.2.3.256", "1.2.3.4.5", "10.0.0.x", "-1.2.3.4", "."}) {
        EXPECT_EQ(inetAddr(text), inaddrNone) << '"' << text << '"';
    }
}

TEST(InetNtoa, WritesFourNumbersWithoutLeadingZeros) {
    EXPECT_EQ(inetNtoa(address(10, 0, 0, 1)), "10.0.0.1");
    EXPECT_EQ(inetNtoa(address(255, 255, 255, 255)), "255.255.255.255");
    EXPECT_EQ(inetNtoa(0), "0.0.0.0");
    EXPECT_EQ(inetNtoa(address(100, 20, 3, 109)), "100.20.3.109");
    char text[16];
    EXPECT_EQ(formatIpv4(address(192, 168, 100, 200), text), 15u);
    EXPECT_STREQ(text, "192.168.100.200");
}

TEST(InetNtoa, RoundTripsThroughInetAddr) {
    for (const char* text : {"1.2.3.4", "127.0.0.1", "10.255.0.254", "200.100.50.25"}) {
        EXPECT_EQ(inetNtoa(inetAddr(text)), text);
    }
}

TEST(ByteOrder, SwapsBetweenHostAndNetworkOrder) {
    EXPECT_EQ(networkToHost(address(10, 0, 1, 0)), 0x0A000100u);
    EXPECT_EQ(hostToNetwork(networkToHost(address(1, 2, 3, 4))), address(1, 2, 3, 4));
    EXPECT_GT(networkToHost(address(10, 0, 1, 0)), networkToHost(address(10, 0, 0, 255)));
}

std::vector<int> draws(uint32_t seed, int count) {
    seedRandom(seed);
    std::vector<int> values;
    for (int i = 0; i < count; ++i) values.push_back(nextRandom());
    return values;
}

TEST(Random, TheSameSeedGivesTheSameSequence) {
    EXPECT_EQ(draws(12345, 50), draws(12345, 50));
    EXPECT_EQ(draws(0, 10), draws(0, 10));
    EXPECT_NE(draws(1, 10), draws(2, 10));
}

TEST(Random, KnownSequenceForSeedOne) {
    // The classic linear congruential generator's first draws after seed 1.
    EXPECT_EQ(draws(1, 5), (std::vector<int>{41, 18467, 6334, 26500, 19169}));
}

TEST(Random, FilledBytesAreTheLowBytesOfTheDrawsAndTheSequenceGoesOn) {
    std::vector<int> expected = draws(777, 71);
    seedRandom(777);
    std::vector<uint8_t> bytes(69);
    fillRandomBytes(bytes.data(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], expected[i] & 0xFF) << i;
    EXPECT_EQ(nextRandom(), expected[69]);
    fillRandomBytes(nullptr, 0);
    EXPECT_EQ(nextRandom(), expected[70]);
}

TEST(Random, DrawsStayWithinZeroTo32767AndCoverTheRange) {
    seedRandom(0xFFFFFFFFu);
    int lowest = 32767;
    int highest = 0;
    for (int i = 0; i < 100'000; ++i) {
        int value = nextRandom();
        ASSERT_GE(value, 0);
        ASSERT_LE(value, 32767);
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
    }
    EXPECT_LT(lowest, 100);
    EXPECT_GT(highest, 32667);
}

}  // namespace
}  // namespace quilvane

// --- IPv6 addresses -----------------------------------------------------------------------------

namespace quilvane {
namespace {

struct Ipv6Text {
    const char* written;    // as a user may write it
    const char* canonical;  // RFC 5952's form; null when written is no address
};

const Ipv6Text ipv6Texts[] = {
    {"::", "::"},
    {"::1", "::1"},
    {"1::", "1::"},
    {"FD00:5152:0000:0000:0000:0000:0000:0001", "fd00:5152::1"},
    {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of two equal runs
    {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run
    {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
    {"0:0:0:0:0:ffff:c000:201", "::ffff:192.0.2.1"},   // IPv4-mapped keeps the dotted tail
    {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
    {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
    {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
    {"1:2:3:4:5:6::8", "1:2:3:4:5:6:0:8"},
    {"", nullptr},
    {":", nullptr},
    {":::", nullptr},
    {":1::", nullptr},
    {"1::2::3", nullptr},
    {"1:2:3:4:5:6:7:8:9", nullptr},
    {"1:2:3:4:5:6:7", nullptr},
    {"1:2:3:4:5:6:7:", nullptr},
    {"1:2:3:4:5:6:7::8", nullptr},
    {"12345::", nullptr},
    {"g::", nullptr},
    {"::1.2.3", nullptr},
    {"::1.2.3.04", nullptr},
    {"::256.1.1.1", nullptr},
    {"1:2:3:4:5:6:7:1.2.3.4", nullptr},
    {"1.2.3.4", nullptr},
    {"fe80::1%eth0", nullptr},  // a zone index is the resolver's to read
};

TEST(Ipv6Address, ParsesTheWrittenFormsAndWritesTheCompressedOne) {
    for (const Ipv6Text& text : ipv6Texts) {
        std::optional<Ipv6Bytes> parsed = parseIpv6(text.written);
        ASSERT_EQ(parsed.has_value(), text.canonical != nullptr) << text.written;
        if (!parsed) continue;
        EXPECT_EQ(addressText(IpAddress::fromIpv6(*parsed)), text.canonical) << text.written;
        EXPECT_EQ(parseIpv6(text.canonical), parsed) << text.canonical;
    }
}

TEST(Ipv6Address, AZoneIndexIsWrittenAfterThePercentSignAndMakesALiteral) {
    Ipv6Bytes linkLocal = parseIpv6("fe80::1").value();
    EXPECT_EQ(addressText(IpAddress::fromIpv6(linkLocal, 4294967295u)), "fe80::1%4294967295");
    EXPECT_TRUE(isIpv6Literal("fe80::1%eth0"));
    EXPECT_TRUE(isIpv6Literal("::1"));
    EXPECT_FALSE(isIpv6Literal("fe80::1%"));
    EXPECT_FALSE(isIpv6Literal("10.0.0.1"));
    EXPECT_FALSE(isIpv6Literal("alpha"));
    // The longest text there is fits the buffer the lines use.
    Ipv6Bytes full = parseIpv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff").value();
    EXPECT_LT(addressText(IpAddress::fromIpv6(full, 4294967295u)).size(), addressTextSize);
}

TEST(Ipv6Address, IsNeverEqualToAnIpv4AddressAndOrdersByFamilyFirst) {
    IpAddress ipv4(inetAddr("10.0.0.1"));
    IpAddress ipv6 = IpAddress::fromIpv6(parseIpv6("::").value());
    EXPECT_NE(ipv4, ipv6);
    EXPECT_NE(IpAddress(), ipv6);
    EXPECT_TRUE(ipv4 < ipv6);
    EXPECT_EQ(addressText(ipv4), "10.0.0.1");
    EXPECT_NE(IpAddress::fromIpv6(ipv6.ipv6(), 1), ipv6);
}

TEST(Ipv6Range, CountsAtMostTheLimitWhereverTheRangeLies) {
    struct Case {
        const char* first;
        const char* last;
        std::optional<uint64_t> count;
    };
    const Case cases[] = {
        {"fd00::1", "fd00::1", 1},
        {"fd00::fffe", "fd00::1:1", 4},
        {"fd00::", "fd00::ffff", 65536},
        {"fd00::", "fd00::1:0", std::nullopt},
        {"fd00::2", "fd00::1", std::nullopt},
        {"fd00::ffff:ffff:ffff:ffff", "fd00:0:0:1::", 2},
        {"fd00:0:0:1:ffff:ffff:ffff:fffe", "fd00:0:0:2::1", 4},
        {"fd00::ffff:ffff:ffff:0", "fd00:0:0:1::", std::nullopt},
        {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ipv6RangeSize(parseIpv6(c.first).value(), parseIpv6(c.last).value(), 65536),
                  c.count)
            << c.first << " to " << c.last;
    }
    Ipv6Bytes top = parseIpv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe").value();
    EXPECT_TRUE(addToIpv6(top, 1));
    EXPECT_EQ(addressText(IpAddress::fromIpv6(top)), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_FALSE(addToIpv6(top, 1));
}

}  // namespace
}  // namespace quilvane
