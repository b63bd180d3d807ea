// Echo request bytes, the checksum, the record-route option and the split and judging of replies,
// over IPv4 and over IPv6.
#include "echo/icmp_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "fakes/fake_platform.h"
#include "support/random.h"

namespace quilvane {
namespace {

using testing::makeEchoReplyDatagram;
using testing::makeEchoReplyMessage6;
using testing::sealIcmpChecksum;

// The checksum exactly as written down: a signed 32-bit sum of little-endian words, two folds.
uint16_t referenceChecksum(const std::vector<uint8_t>& bytes) {
    int32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum += bytes[i] | (bytes[i + 1] << 8);
    if (bytes.size() % 2 != 0) sum += bytes.back();
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

class ScriptedTicks : public TickSource {
  public:
    std::deque<uint32_t> readings;
    int reads = 0;
    uint32_t tickCount() override {
        ++reads;
        uint32_t value = readings.front();
        if (readings.size() > 1) readings.pop_front();
        return value;
    }
};

TEST(Checksum, AbcIsStoredAs3B9D) {
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    uint16_t checksum = internetChecksum(abc, 3);
    EXPECT_EQ(checksum & 0xFF, 0x3B);
    EXPECT_EQ(checksum >> 8, 0x9D);
}

TEST(Checksum, EmptyAndZeroInputsGiveAllOnes) {
    const uint8_t zeros[9] = {};
    EXPECT_EQ(internetChecksum(nullptr, 0), 0xFFFF);
    EXPECT_EQ(internetChecksum(zeros, sizeof zeros), 0xFFFF);
}

TEST(Checksum, AgreesWithTheWordByWordSumForEveryLengthAndAlignment) {
    std::mt19937 generator(7);
    std::vector<uint8_t> storage(2100);
    for (size_t length : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 1500u, 2047u}) {
        for (size_t offset = 0; offset < 4; ++offset) {
            for (auto& byte : storage) byte = static_cast<uint8_t>(generator());
            std::vector<uint8_t> bytes(storage.begin() + offset, storage.begin() + offset + length);
            EXPECT_EQ(internetChecksum(storage.data() + offset, length), referenceChecksum(bytes))
                << "length " << length << " offset " << offset;
        }
    }
    std::vector<uint8_t> ones(65508, 0xFF);  // the largest message, every carry taken
    EXPECT_EQ(internetChecksum(ones.data(), ones.size()), referenceChecksum(ones));
}

TEST(Checksum, OddLastByteCountsAsFollowedByZero) {
    const uint8_t odd[] = {0x12, 0x34, 0x56};
    const uint8_t padded[] = {0x12, 0x34, 0x56, 0x00};
    EXPECT_EQ(internetChecksum(odd, 3), internetChecksum(padded, 4));
}

TEST(EchoRequest, HeaderFieldsAreLittleEndianAndChecksumVerifies) {
    std::vector<uint8_t> buffer(requestBufferSize, 0xEE);
    ScriptedTicks ticks;
    ticks.readings = {0x11223344};
    size_t length = buildEchoRequest(buffer.data(), 33, 0x0102, "xyz", 0xABCD, ticks);
    ASSERT_EQ(length, 41u);
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(buffer[1], 0);
    EXPECT_EQ(buffer[4], 0xCD);
    EXPECT_EQ(buffer[5], 0xAB);
    EXPECT_EQ(buffer[6], 0x02);
    EXPECT_EQ(buffer[7], 0x01);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 8, buffer.begin() + 12),
              (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(internetChecksum(buffer.data(), length), 0) << "odd length 41";
    EXPECT_EQ(buffer[41], 0xEE) << "nothing written behind the message";
}

TEST(EchoRequest, TenLetterPatternFillsTwoCopiesAndEightLetters) {
    std::vector<uint8_t> buffer(requestBufferSize);
    ScriptedTicks ticks;
    ticks.readings = {5};
    ASSERT_EQ(buildEchoRequest(buffer.data(), 32, 1, "abcdefghij", 1, ticks), 40u);
    std::string fill(buffer.begin() + 12, buffer.begin() + 40);
    EXPECT_EQ(fill, "abcdefghijabcdefghijabcdefgh");
    EXPECT_EQ(ticks.reads, 1) << "with a pattern the clock is read for the stamp only";
}

TEST(EchoRequest, PatternLongerThanTheFillIsCut) {
    std::vector<uint8_t> buffer(requestBufferSize, 0xEE);
    ScriptedTicks ticks;
    ticks.readings = {5};
    buildEchoRequest(buffer.data(), 7, 1, "abcdefghij", 1, ticks);
    EXPECT_EQ(std::string(buffer.begin() + 12, buffer.begin() + 15), "abc");
    EXPECT_EQ(buffer[15], 0xEE);
}

TEST(EchoRequest, PatternFillWholeCopiesThenHeadAndNothingForAnEmptyPattern) {
    std::vector<uint8_t> data(11, 0xEE);
    fillPattern(data.data(), 8, "abc");
    EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "abcabcab");
    EXPECT_EQ(data[8], 0xEE);
    fillPattern(data.data(), data.size(), "");
    EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "abcabcab");
    EXPECT_EQ(data[8], 0xEE);
}

TEST(EchoRequest, DataSizeFourIsTwelveBytesWithoutFill) {
    std::vector<uint8_t> buffer(requestBufferSize, 0xEE);
    ScriptedTicks ticks;
    ticks.readings = {5};
    EXPECT_EQ(buildEchoRequest(buffer.data(), 4, 1, "abc", 1, ticks), 12u);
    EXPECT_EQ(buffer[12], 0xEE);
    EXPECT_EQ(internetChecksum(buffer.data(), 12), 0);
}

TEST(EchoRequest, RandomFillIsSeededWithTheTickCountAndStampIsReadAfterIt) {
    std::vector<uint8_t> buffer(requestBufferSize);
    ScriptedTicks ticks;
    ticks.readings = {1234, 1240};
    size_t length = buildEchoRequest(buffer.data(), 1000, 9, "", 1, ticks);
    seedRandom(1234);
    for (size_t i = 12; i < length; ++i) {
        ASSERT_EQ(buffer[i], nextRandom() & 0xFF) << "fill byte " << i;
    }
    EXPECT_EQ(buffer[8] | (buffer[9] << 8), 1240) << "the stamp is the second reading";
    EXPECT_EQ(internetChecksum(buffer.data(), length), 0);
}

TEST(EchoRequest, SizesOutOfRangeStayInsideTheBuffer) {
    std::vector<uint8_t> buffer(requestBufferSize);
    ScriptedTicks ticks;
    ticks.readings = {1};
    EXPECT_EQ(buildEchoRequest(buffer.data(), 70000, 1, "a", 1, ticks), requestBufferSize);
    EXPECT_EQ(buildEchoRequest(buffer.data(), -3, 1, "a", 1, ticks), 12u);
}

TEST(RecordRouteOption, BytesForOneAndNineSlots) {
    RecordRouteOption one = buildRecordRouteOption(1);
    ASSERT_EQ(one.length, 7);
    EXPECT_EQ(std::vector<uint8_t>(one.bytes, one.bytes + 7),
              (std::vector<uint8_t>{7, 7, 4, 0, 0, 0, 0}));
    RecordRouteOption nine = buildRecordRouteOption(9);
    ASSERT_EQ(nine.length, 39);
    EXPECT_EQ(nine.bytes[0], 7);
    EXPECT_EQ(nine.bytes[1], 39);
    EXPECT_EQ(nine.bytes[2], 4);
    for (int i = 3; i < 39; ++i) EXPECT_EQ(nine.bytes[i], 0);
}

TEST(RecordRouteOption, NoOptionOutsideOneToNine) {
    for (int slots : {0, 10, -1}) EXPECT_EQ(buildRecordRouteOption(slots).length, 0) << slots;
}

class ParseReplyTest : public ::testing::Test {
  protected:
    static constexpr uint16_t ourId = 0xABCD;
    std::vector<uint8_t> replyCopy = std::vector<uint8_t>(receiveBufferSize, 0x5A);
    uint8_t options[optionAreaSize];

    ParsedReply parse(const std::vector<uint8_t>& datagram, int32_t dataSize, uint16_t sequence,
                      long length = -2) {
        std::memset(options, 0x77, sizeof options);
        if (length == -2) length = static_cast<long>(datagram.size());
        return parseReply(datagram.data(), length, dataSize, sequence, ourId, replyCopy.data(),
                          options);
    }
};

TEST_F(ParseReplyTest, MatchGivesTtlTosAndStamp) {
    auto datagram = makeEchoReplyDatagram(ourId, 3, 32, 57, 0x10);
    datagram[28] = 0x78;
    datagram[31] = 0x12;
    sealIcmpChecksum(datagram);
    ParsedReply reply = parse(datagram, 32, 3);
    EXPECT_EQ(reply.verdict, ReplyVerdict::Match);
    EXPECT_FALSE(reply.optionsTaken);
    EXPECT_EQ(reply.ttl, 57);
    EXPECT_EQ(reply.tos, 0x10);
    EXPECT_EQ(reply.timeStamp, 0x12000078u);
    for (uint8_t byte : options) ASSERT_EQ(byte, 0);
}

TEST_F(ParseReplyTest, VerdictsAndTheirNumbers) {
    EXPECT_EQ(static_cast<int>(ReplyVerdict::TooShort), 4);
    EXPECT_EQ(static_cast<int>(ReplyVerdict::NotEchoReply), 5);
    EXPECT_EQ(static_cast<int>(ReplyVerdict::ForeignIdentifier), 6);
    EXPECT_EQ(static_cast<int>(ReplyVerdict::WrongSequence), 7);

    EXPECT_EQ(parse(makeEchoReplyDatagram(ourId, 3, 32, 64, 0, {}, 3), 32, 3).verdict,
              ReplyVerdict::NotEchoReply);
    EXPECT_EQ(parse(makeEchoReplyDatagram(ourId, 3, 32, 64, 0, {}, 8), 32, 3).verdict,
              ReplyVerdict::NotEchoReply)
        << "our own request seen on the socket";
    EXPECT_EQ(parse(makeEchoReplyDatagram(0x1111, 3, 32), 32, 3).verdict,
              ReplyVerdict::ForeignIdentifier);
    EXPECT_EQ(parse(makeEchoReplyDatagram(ourId, 2, 32), 32, 3).verdict,
              ReplyVerdict::WrongSequence);
}

TEST_F(ParseReplyTest, TooShortCases) {
    auto datagram = makeEchoReplyDatagram(ourId, 3, 32);
    EXPECT_EQ(parse(datagram, 32, 3, -1).verdict, ReplyVerdict::TooShort);
    EXPECT_FALSE(parse(datagram, 32, 3, -1).optionsTaken);
    EXPECT_EQ(parse(datagram, 32, 3, 0).verdict, ReplyVerdict::TooShort);
    EXPECT_EQ(parse(datagram, 32, 3, 27).verdict, ReplyVerdict::TooShort);
    datagram.resize(80);
    datagram[0] = 0x4F;  // a header that claims 60 bytes
    EXPECT_EQ(parse(datagram, 32, 3, 60 + 7).verdict, ReplyVerdict::TooShort);
}

TEST_F(ParseReplyTest, HeaderLengthBelowTwentyDoesNotReadAnEarlierDatagram) {
    ASSERT_EQ(parse(makeEchoReplyDatagram(ourId, 3, 32), 32, 3).verdict, ReplyVerdict::Match);
    std::vector<uint8_t> scrap(12, 0);
    scrap[0] = 0x41;
    EXPECT_EQ(parse(scrap, 32, 3).verdict, ReplyVerdict::TooShort);
}

TEST_F(ParseReplyTest, DatagramOfExactlyDPlus28TakesNoOptions) {
    auto datagram = makeEchoReplyDatagram(ourId, 3, 32);
    ASSERT_EQ(datagram.size(), 60u);
    ParsedReply reply = parse(datagram, 32, 3);
    EXPECT_FALSE(reply.optionsTaken);
    EXPECT_EQ(std::memcmp(replyCopy.data(), datagram.data(), 60), 0);
}

TEST_F(ParseReplyTest, FullRouteOptionIsSplitOffAndMessageMovesToTwenty) {
    std::vector<uint8_t> route(40, 0);
    route[0] = 7;
    route[1] = 39;
    route[2] = 40;
    for (int i = 3; i < 39; ++i) route[i] = static_cast<uint8_t>(i);
    auto datagram = makeEchoReplyDatagram(ourId, 3, 56, 64, 0, route);
    ASSERT_EQ(datagram.size(), 124u);
    ParsedReply reply = parse(datagram, 56, 3);
    EXPECT_EQ(reply.verdict, ReplyVerdict::Match);
    EXPECT_TRUE(reply.optionsTaken);
    EXPECT_EQ(std::memcmp(options, route.data(), 40), 0);
    EXPECT_EQ(std::memcmp(replyCopy.data() + 20, datagram.data() + 60, 64), 0);
}

TEST_F(ParseReplyTest, ShortOptionAreaIsClearedBehindTheTakenBytes) {
    auto datagram = makeEchoReplyDatagram(ourId, 3, 32, 64, 0, {7, 7, 4, 0, 0, 0, 0, 0});
    ParsedReply reply = parse(datagram, 32, 3);
    EXPECT_EQ(reply.verdict, ReplyVerdict::Match);
    EXPECT_TRUE(reply.optionsTaken);
    EXPECT_EQ(options[0], 7);
    for (size_t i = 8; i < optionAreaSize; ++i) ASSERT_EQ(options[i], 0) << i;
}

TEST_F(ParseReplyTest, OversizedForeignDatagramIsSplitByLengthAlone) {
    // A time-exceeded message quoting our whole request: longer than D + 28, so split as if it
    // had options, and judged on what then lies at offset 20, the quoted echo request.
    std::vector<uint8_t> datagram(20 + 8 + 20 + 8 + 32, 0);
    datagram[0] = 0x45;
    datagram[20] = 11;
    datagram[28] = 0x45;
    datagram[48] = 8;
    datagram[52] = ourId & 0xFF;
    datagram[53] = ourId >> 8;
    datagram[54] = 3;
    ParsedReply reply = parse(datagram, 32, 3);
    EXPECT_TRUE(reply.optionsTaken);
    EXPECT_EQ(reply.verdict, ReplyVerdict::NotEchoReply);
    EXPECT_EQ(options[0], 11);
    EXPECT_EQ(options[8], 0x45);
}

TEST_F(ParseReplyTest, LengthsBeyondTheReceiveBufferAreBounded) {
    std::vector<uint8_t> datagram(receiveBufferSize, 0);
    datagram[0] = 0x45;
    // Both sizes leave 40 bytes taken as options: the judged message starts at 60.
    datagram[62] = datagram[63] = 0xFF;
    EXPECT_EQ(parse(datagram, 70000, 3, 1'000'000).verdict, ReplyVerdict::ForeignIdentifier);
    EXPECT_EQ(parse(datagram, -5, 3).verdict, ReplyVerdict::ForeignIdentifier);
}

// Requests as built here, answered as a host answers them (type 0, checksum written again), are
// taken; one changed bit inside the ICMP message makes any of them damage, whatever it hit.
TEST_F(ParseReplyTest, OnlyAReplyWhoseChecksumVerifiesIsTaken) {
    constexpr long ipTtl = -1;
    constexpr long untouched = -2;
    const std::vector<uint8_t> route = {7, 7, 4, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        int32_t dataSize;
        std::vector<uint8_t> options;
        long flipped;  // offset inside the ICMP message
        ReplyVerdict verdict;
    };
    const Case cases[] = {
        {"intact", 32, {}, untouched, ReplyVerdict::Match},
        {"intact, odd size", 33, {}, untouched, ReplyVerdict::Match},
        {"intact, no fill", 4, {}, untouched, ReplyVerdict::Match},
        {"intact behind a route option", 32, route, untouched, ReplyVerdict::Match},
        {"TTL in the IP header", 32, {}, ipTtl, ReplyVerdict::Match},
        {"code", 32, {}, 1, ReplyVerdict::NotEchoReply},
        {"checksum", 32, {}, 3, ReplyVerdict::NotEchoReply},
        {"identifier", 32, {}, 4, ReplyVerdict::NotEchoReply},
        {"sequence", 32, {}, 7, ReplyVerdict::NotEchoReply},
        {"time stamp", 32, {}, 8, ReplyVerdict::NotEchoReply},
        {"last byte of an odd size", 33, {}, 40, ReplyVerdict::NotEchoReply},
        {"data behind a route option", 32, route, 20, ReplyVerdict::NotEchoReply},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> request(requestBufferSize);
        ScriptedTicks ticks;
        ticks.readings = {0x01020304};
        size_t length = buildEchoRequest(request.data(), c.dataSize, 3, "abc", ourId, ticks);
        auto datagram = makeEchoReplyDatagram(ourId, 3, c.dataSize, 64, 0, c.options);
        size_t message = 20 + c.options.size();
        std::copy_n(request.begin(), length, datagram.begin() + static_cast<long>(message));
        datagram[message] = 0;
        sealIcmpChecksum(datagram);
        if (c.flipped == ipTtl) datagram[8] ^= 0x01;
        if (c.flipped >= 0) datagram[message + static_cast<size_t>(c.flipped)] ^= 0x10;
        EXPECT_EQ(parse(datagram, c.dataSize, 3).verdict, c.verdict) << c.name;
    }
}

// --- ICMPv6 -------------------------------------------------------------------------------------

TEST(EchoRequest6, IsTheSameMessageWithType128AndTheChecksumLeftToTheKernel) {
    std::vector<uint8_t> request(requestBufferSize);
    std::vector<uint8_t> request6(requestBufferSize);
    ScriptedTicks ticks;
    ticks.readings = {0x01020304};
    ScriptedTicks ticks6 = ticks;
    size_t length = buildEchoRequest(request.data(), 10, 0x0102, "abc", 0xABCD, ticks);
    ASSERT_EQ(buildEchoRequest6(request6.data(), 10, 0x0102, "abc", 0xABCD, ticks6), length);
    EXPECT_EQ(request6[0], 128);
    EXPECT_EQ(request6[2], 0);
    EXPECT_EQ(request6[3], 0);
    EXPECT_TRUE(std::equal(request.begin() + 4, request.begin() + static_cast<long>(length),
                           request6.begin() + 4));
}

// An ICMPv6 error about one of our requests: its header, the request's IPv6 header, its start.
std::vector<uint8_t> icmp6Error(uint8_t type, uint16_t identifier, uint16_t sequence,
                                uint8_t nextHeader = 58, uint8_t quotedType = 128) {
    std::vector<uint8_t> message(8 + 40, 0);
    message[0] = type;
    message[8] = 0x60;
    message[8 + 6] = nextHeader;
    std::vector<uint8_t> quoted = makeEchoReplyMessage6(identifier, sequence, 4, quotedType);
    message.insert(message.end(), quoted.begin(), quoted.end());
    return message;
}

TEST(AnsweredRequest6, NamesTheRequestOfAReplyOrOfAnErrorQuotingIt) {
    struct Case {
        const char* name;
        std::vector<uint8_t> message;
        std::optional<uint16_t> sequence;
        bool isError;
    };
    std::vector<uint8_t> cut = icmp6Error(3, 0xABCD, 16);
    cut.resize(8 + 40 + 7);  // a byte short of the identifier and sequence
    const Case cases[] = {
        {"echo reply", makeEchoReplyMessage6(0xABCD, 7, 32), 7, false},
        {"destination unreachable", icmp6Error(1, 0xABCD, 8), 8, true},
        {"packet too big", icmp6Error(2, 0xABCD, 9), 9, true},
        {"time exceeded", icmp6Error(3, 0xABCD, 10), 10, true},
        {"parameter problem", icmp6Error(4, 0xABCD, 11), 11, true},
        {"an error quoting an extension header", icmp6Error(3, 0xABCD, 12, 0), std::nullopt, false},
        {"an error quoting a reply", icmp6Error(3, 0xABCD, 13, 58, 129), std::nullopt, false},
        {"an echo request", makeEchoReplyMessage6(0xABCD, 14, 32, 128), std::nullopt, false},
        {"a neighbour solicitation", makeEchoReplyMessage6(0xABCD, 15, 32, 135), std::nullopt,
         false},
        {"an error cut inside the quote", cut, std::nullopt, false},
        {"seven bytes", std::vector<uint8_t>(7, 129), std::nullopt, false},
    };
    for (const Case& c : cases) {
        bool isError = true;
        std::optional<EchoIds> ids = answeredRequest6(c.message.data(), c.message.size(), isError);
        EXPECT_EQ(ids.has_value(), c.sequence.has_value()) << c.name;
        if (ids && c.sequence) {
            EXPECT_EQ(ids->identifier, 0xABCD) << c.name;
            EXPECT_EQ(ids->sequence, *c.sequence) << c.name;
        }
        EXPECT_EQ(isError, c.isError) << c.name;
    }
}

TEST(ParseReply6, JudgesAMessageAsTheIpv4DatagramIsJudged) {
    struct Case {
        const char* name;
        std::vector<uint8_t> message;
        long length;
        ReplyVerdict verdict;
    };
    auto reply = makeEchoReplyMessage6(0xABCD, 3, 32);
    reply[8] = 0x78;
    reply[11] = 0x12;
    const Case cases[] = {
        {"our reply", reply, 40, ReplyVerdict::Match},
        {"a failed receive", reply, -1, ReplyVerdict::TooShort},
        {"seven bytes", reply, 7, ReplyVerdict::TooShort},
        {"nothing at all", {}, 0, ReplyVerdict::TooShort},
        {"an error", icmp6Error(3, 0xABCD, 3), 60, ReplyVerdict::NotEchoReply},
        {"another identifier", makeEchoReplyMessage6(0x1111, 3, 32), 40,
         ReplyVerdict::ForeignIdentifier},
        {"an earlier sequence", makeEchoReplyMessage6(0xABCD, 2, 32), 40,
         ReplyVerdict::WrongSequence},
    };
    std::vector<uint8_t> replyCopy(receiveBufferSize);
    for (const Case& c : cases) {
        ParsedReply parsed = parseReply6(c.message.data(), c.length, 3, 0xABCD, replyCopy.data());
        EXPECT_EQ(parsed.verdict, c.verdict) << c.name;
        EXPECT_FALSE(parsed.optionsTaken) << c.name;
        if (c.verdict == ReplyVerdict::Match) {
            EXPECT_EQ(parsed.timeStamp, 0x12000078u);
        }
    }
}

}  // namespace
}  // namespace quilvane
