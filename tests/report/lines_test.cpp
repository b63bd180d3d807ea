// Whole texts of the host header, reply, time-out, route and statistics lines.
#include "report/lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "fakes/fake_platform.h"
#include "support/inet.h"

namespace quilvane {
namespace {

using testing::ScopedFakePlatform;

const LocalTime stamp{2026, 12, 7, 9, 5, 3};

TEST(HostHeader, WithAndWithoutName) {
    ScopedFakePlatform scoped;
    printHostHeader(std::string("lab.example"), "10.0.0.1", 32, 1000);
    printHostHeader(std::nullopt, "10.0.0.1", 4, 250);
    EXPECT_EQ(scoped.output,
              "Pinging lab.example [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n"
              "Pinging 10.0.0.1 with 4 bytes of data every 250 ms:\n\n");
}

TEST(ReplyLine, PlainWithAndWithoutTosTail) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    printReplyLine(settings, stamp, 3, "10.0.0.1", 0.04L, 64, 0x10);
    settings.tosGiven = 1;
    settings.dataSize = 1472;
    printReplyLine(settings, stamp, 4, "10.0.0.1", 999.96L, 255, 0x10);
    EXPECT_EQ(scoped.output,
              "Reply[3] from 10.0.0.1: bytes=32 time=0.0 ms TTL=64\n"
              "Reply[4] from 10.0.0.1: bytes=1472 time=1000.0 ms TTL=255 TOS=16\n");
}

TEST(ReplyLine, StampsWithTimeWinningOverDate) {
    PingSettings settings;
    settings.dateStamp = 1;
    {
        ScopedFakePlatform scoped;
        printReplyLine(settings, stamp, 1, "10.0.0.1", 1.25L, 64, 0);
        printTimeoutLine(settings, stamp, "10.0.0.1");
        printCodedTimeoutLine(settings, stamp, "10.0.0.1", 7);
        EXPECT_EQ(scoped.output,
                  "2026/12/07 09:05:03 : Reply[1] from 10.0.0.1: bytes=32 time=1.2 ms TTL=64\n"
                  "2026/12/07 09:05:03 : 10.0.0.1: request timed out\n"
                  "2026/12/07 09:05:03 : 10.0.0.1: request timed out (7)\n");
    }
    for (int date : {0, 1}) {
        ScopedFakePlatform scoped;
        settings.timeStamp = 1;
        settings.dateStamp = date;
        printReplyLine(settings, stamp, 1, "10.0.0.1", 1.25L, 64, 0);
        printTimeoutLine(settings, stamp, "10.0.0.1");
        printCodedTimeoutLine(settings, stamp, "10.0.0.1", 4);
        EXPECT_EQ(scoped.output,
                  "09:05:03 : Reply[1] from 10.0.0.1: bytes=32 time=1.2 ms TTL=64\n"
                  "09:05:03 : 10.0.0.1: request timed out\n"
                  "09:05:03 : 10.0.0.1: request timed out (4)\n");
    }
}

TEST(TimeoutLines, Unstamped) {
    ScopedFakePlatform scoped;
    PingSettings settings;
    printTimeoutLine(settings, stamp, "192.168.1.9");
    printCodedTimeoutLine(settings, stamp, "192.168.1.9", 5);
    EXPECT_EQ(scoped.output,
              "192.168.1.9: request timed out\n192.168.1.9: request timed out (5)\n");
}

// An option area as a reply brings it: type 7, length, pointer, the slots, zero padding to 40.
std::vector<uint8_t> routeArea(int slots, const std::vector<Ipv4>& hops, size_t areaSize = 40) {
    std::vector<uint8_t> area(areaSize, 0);
    area[0] = 7;
    area[1] = static_cast<uint8_t>(3 + 4 * slots);
    area[2] = static_cast<uint8_t>(4 + 4 * hops.size());
    for (size_t i = 0; i < hops.size(); ++i) std::memcpy(&area[3 + 4 * i], &hops[i], 4);
    return area;
}

const Ipv4 hop1 = inetAddr("10.0.0.1");
const Ipv4 hop2 = inetAddr("10.0.1.2");
const Ipv4 hop3 = inetAddr("192.168.200.3");

std::string routeText(const std::vector<uint8_t>& area, int32_t recordRoutes,
                      bool resolveNames = false,
                      const std::map<IpAddress, std::string>& reverseNames = {}) {
    ScopedFakePlatform scoped;
    scoped.fake.reverseNames = reverseNames;
    printRouteBlock(area.data(), area.size(), recordRoutes, resolveNames);
    return scoped.output;
}

TEST(RouteBlock, FullRoutesForCountdownsOneToThree) {
    EXPECT_EQ(routeText(routeArea(1, {hop1}), 1), "\tRoute:  10.0.0.1\n");
    EXPECT_EQ(routeText(routeArea(2, {hop1, hop2}), 2), "\tRoute:  10.0.0.1  ->\n\t\t10.0.1.2\n");
    EXPECT_EQ(routeText(routeArea(3, {hop1, hop2, hop3}), 3),
              "\tRoute:  10.0.0.1  ->\n\t\t10.0.1.2  ->\n\t\t192.168.200.3\n");
}

TEST(RouteBlock, ShortRoutesEndAfterTheLastHopInFinalForm) {
    EXPECT_EQ(routeText(routeArea(2, {hop1}), 2), "\tRoute:  10.0.0.1\n");
    EXPECT_EQ(routeText(routeArea(3, {hop1}), 3), "\tRoute:  10.0.0.1\n");
    EXPECT_EQ(routeText(routeArea(3, {hop1, hop2}), 3), "\tRoute:  10.0.0.1  ->\n\t\t10.0.1.2\n");
}

TEST(RouteBlock, EmptyFirstSlot) {
    EXPECT_EQ(routeText(routeArea(1, {}), 1), "\tRoute:  ") << "no line end with -r 1";
    EXPECT_EQ(routeText(routeArea(2, {}), 2), "\tRoute:  \n");
    EXPECT_EQ(routeText(routeArea(3, {}), 3), "\tRoute:  \n");
}

TEST(RouteBlock, CountdownStopsBeforeFurtherRecordedHops) {
    EXPECT_EQ(routeText(routeArea(3, {hop1, hop2, hop3}), 2),
              "\tRoute:  10.0.0.1  ->\n\t\t10.0.1.2\n");
}

TEST(RouteBlock, NamesWhereForwardAndReverseLookupsSucceed) {
    std::map<IpAddress, std::string> names{{hop1, "gw.lab"}, {hop3, "far.lab"}};
    EXPECT_EQ(routeText(routeArea(3, {hop1, hop2, hop3}), 3, true, names),
              "\tRoute:  gw.lab [10.0.0.1]  ->\n\t\t10.0.1.2  ->\n\t\tfar.lab [192.168.200.3]\n");
    EXPECT_EQ(routeText(routeArea(1, {hop1}), 1, true, names), "\tRoute:  gw.lab [10.0.0.1]\n");
}

TEST(RouteBlock, HopWhoseForwardLookupFailsIsPrintedPlain) {
    ScopedFakePlatform scoped;
    scoped.fake.reverseNames[hop1] = "gw.lab";
    scoped.fake.unresolvable.push_back("10.0.0.1");
    auto area = routeArea(1, {hop1});
    printRouteBlock(area.data(), area.size(), 1, true);
    EXPECT_EQ(scoped.output, "\tRoute:  10.0.0.1\n");
    EXPECT_TRUE(scoped.fake.callsStartingWith("gethostbyaddr").empty());
}

// Nine hops of 198.18.N.7-style addresses: bytes of 7 inside the slots, a full option.
std::vector<uint8_t> nineHopsWithSevens() {
    std::vector<uint8_t> area{7, 39, 40};
    for (uint8_t hop = 1; hop <= 9; ++hop) {
        std::vector<uint8_t> address{198, 18, 7, hop};
        area.insert(area.end(), address.begin(), address.end());
    }
    area.push_back(0);
    return area;
}

TEST(RouteBlock, OptionsAreWalkedByTheirLength) {
    struct Case {
        const char* what;
        std::vector<uint8_t> area;  // exact size, so that a read past it shows under ASan
        int32_t recordRoutes;
        const char* printed;
    };
    const Case cases[] = {
        {"bytes of 7 inside the addresses start no block", nineHopsWithSevens(), 1,
         "\tRoute:  198.18.7.1\n"},
        {"all nine hops", nineHopsWithSevens(), 9,
         "\tRoute:  198.18.7.1  ->\n\t\t198.18.7.2  ->\n\t\t198.18.7.3  ->\n\t\t198.18.7.4  ->\n"
         "\t\t198.18.7.5  ->\n\t\t198.18.7.6  ->\n\t\t198.18.7.7  ->\n\t\t198.18.7.8  ->\n"
         "\t\t198.18.7.9\n"},
        {"no-operation bytes before, and two blocks",
         {1, 1, 7, 7, 8, 10, 0, 0, 1, 1, 7, 7, 8, 10, 0, 0, 2},
         1,
         "\tRoute:  10.0.0.1\n\tRoute:  10.0.0.2\n"},
        {"another option before is stepped over whole, sevens and all",
         {68, 8, 5, 7, 7, 7, 7, 7, 7, 7, 8, 10, 0, 0, 3},
         2,
         "\tRoute:  10.0.0.3\n"},
        {"the end-of-options byte ends the walk", {0, 7, 7, 8, 10, 0, 0, 1}, 1, ""},
        {"a slot past the pointer was never recorded",
         {7, 11, 8, 10, 0, 0, 1, 10, 0, 0, 2},
         3,
         "\tRoute:  10.0.0.1\n"},
        {"a pointer of 4: nothing recorded", {7, 7, 4, 10, 0, 0, 1}, 2, "\tRoute:  \n"},
        {"a pointer below the first slot", {7, 7, 1, 10, 0, 0, 1}, 2, "\tRoute:  \n"},
        {"a pointer past the option counts only its slots",
         {7, 7, 200, 10, 0, 0, 1, 10, 0, 0, 2},
         3,
         "\tRoute:  10.0.0.1\n"},
        {"a truncated option shows the slots that fit",
         {7, 11, 12, 10, 0, 0, 1, 10, 0},
         3,
         "\tRoute:  10.0.0.1\n"},
        {"a slot cut by the area's end", {7, 7, 8, 10, 0, 0}, 3, "\tRoute:  \n"},
        {"a type without its length byte", {7}, 3, ""},
        {"a route option too short for its pointer",
         {7, 2, 7, 7, 8, 10, 0, 0, 1},
         1,
         "\tRoute:  10.0.0.1\n"},
        {"a length of 0 ends the walk", {68, 0, 7, 7, 8, 10, 0, 0, 1}, 1, ""},
        {"a length of 1 ends the walk", {68, 1, 7, 7, 8, 10, 0, 0, 1}, 1, ""},
        {"an area of nothing but sevens", std::vector<uint8_t>(40, 7), 0,
         "\tRoute:  \n\tRoute:  \n\tRoute:  \n\tRoute:  \n\tRoute:  \n\tRoute:  \n"},
        {"an empty area", {}, 3, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(routeText(c.area, c.recordRoutes), c.printed) << c.what;
    }
}

TEST(RouteBlock, HostileBytesNeverCrash) {
    std::mt19937 generator(11);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> area(generator() % 41);
        for (auto& byte : area) byte = static_cast<uint8_t>(generator() % 3 == 0 ? 7 : generator());
        int32_t recordRoutes = static_cast<int32_t>(generator() % 12) - 1;
        std::string text = routeText(area, recordRoutes, round % 2 == 0);
        if (!text.empty()) {
            ASSERT_EQ(text.rfind("\tRoute:  ", 0), 0u);
        }
    }
}

PingStatistics statisticsOf(uint32_t sent, std::initializer_list<long double> times) {
    PingStatistics statistics;
    statistics.sent = sent;
    for (long double ms : times) {
        ++statistics.received;
        recordSample(statistics, ms);
    }
    return statistics;
}

TEST(StatisticsBlock, FinalBlockOfThreeReplies) {
    ScopedFakePlatform scoped;
    printStatisticsBlock("10.0.0.1", statisticsOf(3, {12.3L, 10.0L, 15.5L}), false);
    EXPECT_EQ(scoped.output,
              "\nPing statistics for 10.0.0.1:"
              "\n\tPackets: Sent = 3, Received = 3, Lost = 0 (0% loss)"
              "\nApproximate round trip times in milli-seconds:"
              "\n\tMinimum = 10.0 ms, Maximum = 15.5 ms, Average = 12.6 ms\n");
}

TEST(StatisticsBlock, AllLostShowsZeroTimes) {
    ScopedFakePlatform scoped;
    printStatisticsBlock("lab.example", statisticsOf(4, {}), false);
    EXPECT_EQ(scoped.output,
              "\nPing statistics for lab.example:"
              "\n\tPackets: Sent = 4, Received = 0, Lost = 4 (100% loss)"
              "\nApproximate round trip times in milli-seconds:"
              "\n\tMinimum = 0.0 ms, Maximum = 0.0 ms, Average = 0.0 ms\n");
}

TEST(StatisticsBlock, LossIsTruncated) {
    struct Case {
        uint32_t sent, received;
        const char* shown;
    };
    for (Case c : {Case{3, 2, "Lost = 1 (33% loss)"}, Case{3, 1, "Lost = 2 (66% loss)"},
                   Case{4, 3, "Lost = 1 (25% loss)"},
                   Case{4'000'000'000u, 0, "Lost = 4000000000 (100% loss)"}}) {
        ScopedFakePlatform scoped;
        PingStatistics statistics;
        statistics.sent = c.sent;
        statistics.received = c.received;
        printPacketsAndTimes(statistics, false);
        EXPECT_NE(scoped.output.find(c.shown), std::string::npos) << scoped.output;
    }
}

TEST(StatisticsBlock, InterimBlockEndsWithABlankLine) {
    ScopedFakePlatform scoped;
    printStatisticsBlock("10.0.0.1", statisticsOf(2, {1.0L}), true);
    EXPECT_EQ(scoped.output,
              "\nPing statistics for 10.0.0.1:"
              "\n\tPackets: Sent = 2, Received = 1, Lost = 1 (50% loss)"
              "\nApproximate round trip times in milli-seconds:"
              "\n\tMinimum = 1.0 ms, Maximum = 1.0 ms, Average = 1.0 ms\n\n");
}

TEST(StatisticsBlock, InterimBlockBeforeAnyAttemptShowsNoStatistics) {
    ScopedFakePlatform scoped;
    printStatisticsBlock("10.0.0.1", PingStatistics{}, true);
    printNoStatisticsLine();
    EXPECT_EQ(scoped.output, "No ping statistics available\nNo ping statistics available");
}

}  // namespace
}  // namespace quilvane
