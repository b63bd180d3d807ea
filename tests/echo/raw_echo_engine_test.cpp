// The raw-socket engine against the fake platform: opening, resolution, echo cycle and closing.
#include "echo/raw_echo_engine.h"

#include <gtest/gtest.h>

#include "echo/engine_test_support.h"
#include "support/console_control.h"

namespace quilvane::testing {
namespace {

const std::string header = "Pinging 10.0.0.1 with 32 bytes of data every 1000 ms:\n\n";
const std::string reply1 = "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";
const std::string reply2 = "Reply[2] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";
const std::string reply3 = "Reply[3] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";

uint16_t little16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

class RawEngineTest : public EngineTest {
  protected:
    EngineResult ping(const std::string& host = "10.0.0.1", bool inRound = false,
                      PingStatistics* statistics = nullptr) {
        return pingWith<RawEchoEngine>(host, inRound, statistics);
    }

    std::vector<uint8_t> echoReply(uint16_t sequence, const std::vector<uint8_t>& options = {}) {
        return makeEchoReplyDatagram(identifierOf(fake), sequence, settings.dataSize, 64, 0,
                                     options);
    }
};

// --- Answered, silent and failing hosts, with their pauses ---

TEST_F(RawEngineTest, AnsweredHostPrintsRepliesWithOnePauseBetweenThem) {
    settings.count = 2;
    fake.autoReply = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + reply2 + statisticsBlock("10.0.0.1", 2, 2, 1.0, 1.0, 1.0));
    EXPECT_EQ(lastStatus, 0);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"socket", "setsockopt ReceiveTimeout 1000",
                                        "setsockopt SendTimeout 1000", "gethostbyname 10.0.0.1",
                                        "sendto 40", "select 1000", "recvfrom", "sleep 1000",
                                        "sendto 40", "select 1000", "recvfrom", "closesocket"}));
}

TEST_F(RawEngineTest, SilentHostTimesOutWithoutPauses) {
    settings.count = 4;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    std::string timeout = "10.0.0.1: request timed out\n";
    EXPECT_EQ(output, header + timeout + timeout + timeout + timeout +
                          statisticsBlock("10.0.0.1", 4, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(lastStatus, 1);
    EXPECT_TRUE(fake.callsStartingWith("sleep").empty());
    EXPECT_EQ(fake.callsStartingWith("select"), std::vector<std::string>(4, "select 1000"));
    EXPECT_TRUE(fake.callsStartingWith("recvfrom").empty());
}

TEST_F(RawEngineTest, FailedSendPausesTheIntervalAndCountsAsLost) {
    settings.count = 2;
    fake.sendErrors = {10051, 10051};

    EXPECT_EQ(ping(), EngineResult::Pinged);

    std::string failure = "sendto() - Network is unreachable\n";
    EXPECT_EQ(output,
              header + failure + failure + statisticsBlock("10.0.0.1", 2, 0, 0.0, 0.0, 0.0));
    // Between the attempts only: nothing follows the last one.
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>{"sleep 1000"});
    EXPECT_TRUE(fake.callsStartingWith("select").empty());
    // Nothing went out, so the run must not end as if answered.
    EXPECT_EQ(lastStatus, 1);
}

TEST_F(RawEngineTest, ReplyAfterFailedSendIsNumberedBySentCount) {
    settings.count = 2;
    fake.sendErrors = {10051};
    fake.autoReply = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + "sendto() - Network is unreachable\n" + reply2 +
                          statisticsBlock("10.0.0.1", 2, 1, 1.0, 1.0, 1.0));
    EXPECT_EQ(lastStatus, 0);
}

TEST_F(RawEngineTest, SendRefusedReturnsAccessDeniedWithoutStatistics) {
    settings.count = 3;
    fake.sendErrors = {wsa::accessDenied};
    lastStatus = 7;
    PingStatistics record;
    record.sent = 99;

    EXPECT_EQ(ping("10.0.0.1", false, &record), EngineResult::RawAccessDenied);

    EXPECT_EQ(output, header + "sendto() - Operation not permitted\n");
    EXPECT_EQ(record.sent, 99u);
    EXPECT_EQ(lastStatus, 7);
    EXPECT_EQ(fake.calls.back(), "closesocket");
    EXPECT_EQ(fake.callsStartingWith("sendto").size(), 1u);
}

TEST_F(RawEngineTest, FailedWaitEndsTheHostWithStatistics) {
    settings.count = 3;
    fake.waitResults = {-1};

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + "select() - WSAError: 10022\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(fake.callsStartingWith("sendto").size(), 1u);
    EXPECT_TRUE(fake.callsStartingWith("sleep").empty());
}

TEST_F(RawEngineTest, DontFragmentOver1472IsNeverSent) {
    settings.count = 2;
    settings.dontFragment = 1;
    settings.dataSize = 1473;
    uint16_t first = session.nextSequence;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    std::string refused = "Packet size exceeds MTU and needs to be fragmented but DF set.\n";
    EXPECT_EQ(output, "Pinging 10.0.0.1 with 1473 bytes of data every 1000 ms:\n\n" + refused +
                          refused + statisticsBlock("10.0.0.1", 2, 0, 0.0, 0.0, 0.0));
    EXPECT_TRUE(fake.callsStartingWith("sendto").empty());
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>{"sleep 1000"});
    EXPECT_EQ(lastStatus, 3);
    // The refused requests still used up their sequence numbers.
    EXPECT_EQ(session.nextSequence, static_cast<uint16_t>(first + 2));
}

TEST_F(RawEngineTest, DontFragmentAt1472IsSent) {
    settings.dontFragment = 1;
    settings.dataSize = 1472;
    fake.autoReply = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(fake.callsStartingWith("sendto"), std::vector<std::string>{"sendto 1480"});
    EXPECT_EQ(lastStatus, 0);
}

TEST_F(RawEngineTest, ClosingFailureIsReportedAfterStatistics) {
    fake.autoReply = true;
    fake.closeFails = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0) +
                          "closesocket() - WSAError: 10038\n");
}

// --- Receive steps: verdicts, their limits and the coded time-outs ---

struct VerdictCase {
    const char* name;
    int code;
    size_t datagramsRead;
};

class RawEngineVerdictTest : public RawEngineTest,
                             public ::testing::WithParamInterface<VerdictCase> {
  protected:
    std::vector<uint8_t> rejected(uint16_t sequence) {
        switch (GetParam().code) {
            case 4: {
                std::vector<uint8_t> truncated = echoReply(sequence);
                truncated.resize(20);
                return truncated;
            }
            case 5:
                return makeEchoReplyDatagram(identifierOf(fake), sequence, settings.dataSize, 64, 0,
                                             {}, 3);
            case 6:
                return makeEchoReplyDatagram(identifierOf(fake) ^ 0x0101, sequence,
                                             settings.dataSize);
            default:
                return echoReply(static_cast<uint16_t>(sequence - 1));
        }
    }
};

TEST_P(RawEngineVerdictTest, ReceiveStepGivesUpAfterItsLimitWithTheCode) {
    for (int i = 0; i < 30; ++i)
        fake.datagrams.push_back(datagramFrom(rejected(session.nextSequence)));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + "10.0.0.1: request timed out (" + std::to_string(GetParam().code) +
                          ")\n" + statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(fake.callsStartingWith("recvfrom").size(), GetParam().datagramsRead);
    EXPECT_EQ(fake.callsStartingWith("select").size(), 1u);
    EXPECT_EQ(lastStatus, 1);
    EXPECT_EQ(session.receiveRetries, 0);
}

INSTANTIATE_TEST_SUITE_P(Verdicts, RawEngineVerdictTest,
                         ::testing::Values(VerdictCase{"TooShort", 4, 3},
                                           VerdictCase{"NotEchoReply", 5, 3},
                                           VerdictCase{"ForeignIdentifier", 6, 21},
                                           VerdictCase{"WrongSequence", 7, 21}),
                         [](const auto& verdict) { return std::string(verdict.param.name); });

// Datagrams that carry the awaited sequence number, or quote it, and still do not answer the
// request: each is passed over as its verdict says, and a step that reads nothing else ends with
// that verdict's code once its limit is spent.
struct NotTheAnswer {
    const char* name;
    int code;
    size_t datagramsRead;
    FakeDatagram (*make)(uint16_t identifier, uint16_t sequence);
};

FakeDatagram staleReply(uint16_t identifier, uint16_t sequence) {
    // An earlier request with the same number: its time stamp is not this request's.
    FakeDatagram datagram = datagramFrom(makeEchoReplyDatagram(identifier, sequence, 32));
    datagram.echoesStamp = false;
    return datagram;
}

const NotTheAnswer notTheAnswer[] = {
    {"FromAnotherHost", 6, 21,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(makeEchoReplyDatagram(id, seq, 32), address("10.0.0.77"));
     }},
    {"ForeignIdentifierWithTheAwaitedNumber", 6, 21,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(makeEchoReplyDatagram(id ^ 0x0101, seq, 32));
     }},
    {"WrappedNumberWithAStaleStamp", 7, 21, staleReply},
    {"TooShortToBringTheStampBack", 4, 3,
     [](uint16_t id, uint16_t seq) { return datagramFrom(makeEchoReplyDatagram(id, seq, 2)); }},
    {"ErrorQuotingAnotherDestination", 6, 21,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(makeIcmpErrorDatagram(address("10.0.0.2"), id, seq),
                             address("10.9.9.9"));
     }},
    {"ErrorQuotingAnotherIdentifier", 6, 21,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(makeIcmpErrorDatagram(address("10.0.0.1"), id ^ 0x0101, seq),
                             address("10.9.9.9"));
     }},
    {"ErrorQuotingAnEarlierRequest", 7, 21,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(
             makeIcmpErrorDatagram(address("10.0.0.1"), id, static_cast<uint16_t>(seq - 1), 11),
             address("10.9.9.9"));
     }},
    // The one error that is about the request keeps its specified verdict.
    {"ErrorQuotingTheRequest", 5, 3,
     [](uint16_t id, uint16_t seq) {
         return datagramFrom(makeIcmpErrorDatagram(address("10.0.0.1"), id, seq, 11),
                             address("10.9.9.9"));
     }},
};

class RawEngineNotTheAnswerTest : public RawEngineTest,
                                  public ::testing::WithParamInterface<NotTheAnswer> {};

TEST_P(RawEngineNotTheAnswerTest, IsPassedOverWithItsVerdict) {
    for (int i = 0; i < 30; ++i) {
        fake.datagrams.push_back(GetParam().make(identifierOf(fake), session.nextSequence));
    }

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + "10.0.0.1: request timed out (" + std::to_string(GetParam().code) +
                          ")\n" + statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(fake.callsStartingWith("recvfrom").size(), GetParam().datagramsRead);
}

INSTANTIATE_TEST_SUITE_P(Matching, RawEngineNotTheAnswerTest, ::testing::ValuesIn(notTheAnswer),
                         [](const auto& param) { return std::string(param.param.name); });

// Replies that answer the request although they look unlike the one sent.
struct StillTheAnswer {
    const char* name;
    const char* host;
    FakeDatagram (*make)(uint16_t identifier, uint16_t sequence);
    const char* line;
};

const StillTheAnswer stillTheAnswer[] = {
    // The kernel gives a link-local reply the zone it came in on; the destination has none.
    {"ZonelessLinkLocalDestination", "fe80::1",
     [](uint16_t id, uint16_t seq) {
         FakeDatagram datagram = datagramFrom(makeEchoReplyMessage6(id, seq, 32));
         datagram.sender = IpAddress::fromIpv6(*parseIpv6("fe80::1"), 2);
         return datagram;
     },
     "Reply[1] from fe80::1%2: bytes=32 time=1.0 ms TTL=0\n"},
    // Eight bytes more than the request, no IP options: the checksum covers the whole message.
    {"ReplyLongerThanTheRequest", "10.0.0.1",
     [](uint16_t id, uint16_t seq) { return datagramFrom(makeEchoReplyDatagram(id, seq, 40)); },
     "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n"},
};

class RawEngineStillTheAnswerTest : public RawEngineTest,
                                    public ::testing::WithParamInterface<StillTheAnswer> {};

TEST_P(RawEngineStillTheAnswerTest, IsTaken) {
    fake.datagrams.push_back(GetParam().make(identifierOf(fake), session.nextSequence));

    ping(GetParam().host, true);

    EXPECT_EQ(output, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Matching, RawEngineStillTheAnswerTest, ::testing::ValuesIn(stillTheAnswer),
                         [](const auto& param) { return std::string(param.param.name); });

// Copies of a reply left queued during the pause belong to the request before: they are dropped
// before the next send and cannot spend its receive step's limit.
TEST_F(RawEngineTest, QueuedCopiesOfEarlierRepliesCannotTimeOutTheNextRequest) {
    settings.count = 3;
    fake.autoReply = true;
    fake.replyCopies = 25;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output,
              header + reply1 + reply2 + reply3 + statisticsBlock("10.0.0.1", 3, 3, 1.0, 1.0, 1.0));
    EXPECT_EQ(fake.callsStartingWith("recvfrom").size(), 3u + 2u * 24u);
}

TEST_F(RawEngineTest, OneRetryCounterServesEveryVerdictOfAStep) {
    uint16_t sequence = session.nextSequence;
    for (int i = 0; i < 20; ++i) {
        fake.datagrams.push_back(datagramFrom(echoReply(static_cast<uint16_t>(sequence - 1))));
    }
    fake.datagrams.push_back(datagramFrom({0x45, 0, 0}));
    fake.datagrams.push_back(datagramFrom(echoReply(sequence)));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + "10.0.0.1: request timed out (4)\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
    EXPECT_EQ(fake.callsStartingWith("recvfrom").size(), 21u);
}

TEST_F(RawEngineTest, StrayDatagramsBeforeTheReplyAreSkippedSilently) {
    uint16_t sequence = session.nextSequence;
    fake.datagrams.push_back(datagramFrom(echoReply(static_cast<uint16_t>(sequence - 1))));
    fake.datagrams.push_back(datagramFrom({0x45, 0, 0}));
    fake.datagrams.push_back(datagramFrom(echoReply(sequence)));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_EQ(lastStatus, 0);
}

TEST_F(RawEngineTest, RetryCounterStartsAfreshForEveryRequest) {
    settings.count = 2;
    uint16_t sequence = session.nextSequence;
    auto foreign = [&](uint16_t s) {
        return datagramFrom(makeEchoReplyDatagram(0x1234, s, settings.dataSize));
    };
    for (int i = 0; i < 2; ++i) fake.datagrams.push_back(foreign(sequence));
    fake.datagrams.push_back(datagramFrom(echoReply(sequence)));
    for (int i = 0; i < 20; ++i) fake.datagrams.push_back(foreign(sequence + 1));
    fake.datagrams.push_back(datagramFrom(echoReply(static_cast<uint16_t>(sequence + 1))));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + reply2 + statisticsBlock("10.0.0.1", 2, 2, 1.0, 1.0, 1.0));
}

TEST_F(RawEngineTest, TimeExceededThenSilenceEndsWithCodeFour) {
    fake.datagrams.push_back(datagramFrom(
        makeEchoReplyDatagram(0, 0, settings.dataSize, 255, 0, {}, 11), address("10.9.9.9")));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    std::string failure = "recvfrom() - Resource temporarily unavailable\n";
    EXPECT_EQ(output, header + failure + failure + "10.0.0.1: request timed out (4)\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
}

TEST_F(RawEngineTest, LateReplyIsSkippedAndIntervalFollowsACodedTimeout) {
    settings.count = 2;
    settings.intervalMs = 500;
    fake.autoReply = true;
    for (int i = 0; i < 3; ++i) fake.datagrams.push_back(datagramFrom({0x45}));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    // The first request's reply is still queued behind the short datagrams when the second
    // request waits: it is stale then, and the second reply is found behind it.
    EXPECT_EQ(output,
              "Pinging 10.0.0.1 with 32 bytes of data every 500 ms:\n\n"
              "10.0.0.1: request timed out (4)\n" +
                  reply2 + statisticsBlock("10.0.0.1", 2, 1, 1.0, 1.0, 1.0));
    EXPECT_EQ(fake.callsStartingWith("sleep"), std::vector<std::string>{"sleep 500"});
}

// --- Opening: socket, options and their order ---

TEST_F(RawEngineTest, RefusedSocketReturnsAccessDeniedAndLeavesStatus) {
    fake.openRawError = wsa::accessDenied;
    lastStatus = 7;

    EXPECT_EQ(ping(), EngineResult::RawAccessDenied);

    EXPECT_EQ(output, "socket() - Operation not permitted\n");
    EXPECT_EQ(lastStatus, 7);
    EXPECT_EQ(fake.calls, std::vector<std::string>{"socket"});
}

TEST_F(RawEngineTest, OtherSocketFailureReturnsItsNumberAndMarksHostUnpinged) {
    fake.openRawError = 10024;

    EXPECT_EQ(ping(), EngineResult::SocketFailed);

    EXPECT_EQ(output, "socket() - WSAError: 10024\n");
    EXPECT_EQ(lastStatus, 2);
}

TEST_F(RawEngineTest, OptionsAreReadThenSetInTheirOrder) {
    settings.timeoutMs = 250;
    settings.ttl = 5;
    settings.tosGiven = 1;
    settings.tos = 16;
    settings.dontFragment = 1;
    settings.recordRoutes = 3;
    fake.autoReply = true;
    fake.replyTos = 16;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    std::vector<std::string> opening(fake.calls.begin(), fake.calls.begin() + 12);
    EXPECT_EQ(opening,
              (std::vector<std::string>{
                  "socket", "setsockopt ReceiveTimeout 250", "setsockopt SendTimeout 250",
                  "getsockopt Ttl", "setsockopt Ttl 5", "getsockopt Tos", "setsockopt Tos 16",
                  "getsockopt DontFragment", "setsockopt DontFragment 1", "setsockopt IpOptions 15",
                  "gethostbyname 10.0.0.1", "sendto 40"}));
    EXPECT_EQ(fake.optionsSet.back().second,
              (std::vector<uint8_t>{7, 15, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fake.callsStartingWith("select"), std::vector<std::string>{"select 250"});
    EXPECT_EQ(output,
              "Pinging 10.0.0.1 with 32 bytes of data every 1000 ms:\n\n"
              "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64 TOS=16\n" +
                  statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
}

TEST_F(RawEngineTest, DefaultSettingsSetOnlyTheTimeouts) {
    settings.recordRoutes = 10;
    fake.autoReply = true;

    ping();

    EXPECT_TRUE(fake.callsStartingWith("getsockopt").empty());
    EXPECT_EQ(fake.callsStartingWith("setsockopt"),
              (std::vector<std::string>{"setsockopt ReceiveTimeout 1000",
                                        "setsockopt SendTimeout 1000"}));
}

TEST_F(RawEngineTest, UnreadableOptionStaysUnsetAndPingingGoesOn) {
    settings.ttl = 5;
    settings.tosGiven = 1;
    fake.failingOptionReads = {SocketOption::Ttl};
    fake.autoReply = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, "socket() - WSAError: 10022\n" + header +
                          "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64 TOS=0\n" +
                          statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_TRUE(fake.callsStartingWith("setsockopt Ttl").empty());
    EXPECT_EQ(fake.callsStartingWith("setsockopt Tos"),
              std::vector<std::string>{"setsockopt Tos 0"});
}

// --- Resolution and the host header ---

TEST_F(RawEngineTest, UnknownNameClosesTheSocketAndReturnsMinusOne) {
    PingStatistics record;
    record.sent = 99;

    EXPECT_EQ(ping("nosuch.example", false, &record), EngineResult::HostNotFound);

    EXPECT_EQ(output, "Host not found: nosuch.example  error 11001\n");
    EXPECT_EQ(lastStatus, 2);
    EXPECT_EQ(record.sent, 99u);
    EXPECT_EQ(fake.calls.back(), "closesocket");
    EXPECT_TRUE(fake.callsStartingWith("sendto").empty());
}

TEST_F(RawEngineTest, NameShowsItsOfficialNameAndStatisticsTheAddress) {
    fake.names["gw"] = HostEntry{"gateway.lab", address("10.0.0.1")};
    fake.autoReply = true;

    EXPECT_EQ(ping("gw"), EngineResult::Pinged);

    EXPECT_EQ(output, "Pinging gateway.lab [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n" +
                          reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
}

TEST_F(RawEngineTest, DottedHostWithNamesShowsTheReverseName) {
    settings.resolveNames = 1;
    settings.count = 0;
    fake.reverseNames[address("10.0.0.1")] = "host.lab";

    ping();

    EXPECT_EQ(output,
              "Pinging host.lab [10.0.0.1] with 32 bytes of data every 1000 ms:\n\n"
              "No ping statistics available");
}

TEST_F(RawEngineTest, DottedHostWithoutReverseNameShowsTheAddressAlone) {
    settings.resolveNames = 1;
    settings.count = 0;

    ping();

    EXPECT_EQ(output, header + "No ping statistics available");
    EXPECT_EQ(fake.callsStartingWith("gethostbyaddr"),
              std::vector<std::string>{"gethostbyaddr 10.0.0.1"});
}

TEST_F(RawEngineTest, UnresolvableDottedHostTurnsNamesOffAndIsPinged) {
    settings.resolveNames = 1;
    fake.unresolvable = {"10.0.0.1"};
    fake.autoReply = true;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output,
              "Host 10.0.0.1 cannot be resolved. Resolve addresses to hostnames turned off.\n" +
                  header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_TRUE(fake.callsStartingWith("gethostbyaddr").empty());
    EXPECT_EQ(lastStatus, 0);
}

// --- Control-\ and Control-C check points ---

TEST_F(RawEngineTest, BreakRequestPrintsInterimBlockAndPingingGoesOn) {
    settings.count = 3;
    fake.autoReply = true;
    fake.onSleep = [&](uint32_t) {
        if (fake.callsStartingWith("sleep").size() == 1) breakRequested = true;
    };

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0, true) +
                          reply2 + reply3 + statisticsBlock("10.0.0.1", 3, 3, 1.0, 1.0, 1.0));
    EXPECT_FALSE(breakRequested);
}

TEST_F(RawEngineTest, BreakRequestBeforeTheFirstRequestHasNoLossToShow) {
    fake.autoReply = true;
    breakRequested = true;

    ping();

    EXPECT_EQ(output, header + "No ping statistics available\n" + reply1 +
                          statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_FALSE(breakRequested);
}

TEST_F(RawEngineTest, BreakRequestInARoundIsClearedSilently) {
    fake.autoReply = true;
    breakRequested = true;

    ping("10.0.0.1", true);

    EXPECT_EQ(output, reply1);
    EXPECT_FALSE(breakRequested);
}

TEST_F(RawEngineTest, StopRequestEndsTheHostAfterThePause) {
    settings.count = 5;
    fake.autoReply = true;
    fake.onSleep = [](uint32_t) { stopRequested = true; };

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
    EXPECT_EQ(fake.callsStartingWith("sendto").size(), 1u);
}

TEST_F(RawEngineTest, StopRequestAfterAFailedSendEndsTheHost) {
    settings.count = 5;
    fake.sendErrors = {10051};
    fake.onSleep = [](uint32_t) { stopRequested = true; };

    ping();

    EXPECT_EQ(output, header + "sendto() - Network is unreachable\n" +
                          statisticsBlock("10.0.0.1", 1, 0, 0.0, 0.0, 0.0));
}

TEST_F(RawEngineTest, StopRequestBeforeStartSendsNothingAndHandsNothingOver) {
    stopRequested = true;
    PingStatistics record;
    record.sent = 99;

    EXPECT_EQ(ping("10.0.0.1", false, &record), EngineResult::Pinged);

    EXPECT_EQ(output, header + "No ping statistics available");
    EXPECT_TRUE(fake.callsStartingWith("sendto").empty());
    EXPECT_EQ(record.sent, 99u);
}

TEST_F(RawEngineTest, NegativeCountPingsUntilStopped) {
    settings.count = -1;
    fake.autoReply = true;
    fake.onSleep = [&](uint32_t) {
        if (fake.callsStartingWith("sleep").size() == 5) stopRequested = true;
    };
    PingStatistics record;

    EXPECT_EQ(ping("10.0.0.1", true, &record), EngineResult::Pinged);

    EXPECT_EQ(record.sent, 5u);
    EXPECT_EQ(record.received, 5u);
}

TEST_F(RawEngineTest, ContinuousModeGoesPastTheCount) {
    settings.continuous = 1;
    settings.count = 1;
    fake.sendErrors = {10051, 10051, 10051};
    fake.onSleep = [&](uint32_t) {
        if (fake.callsStartingWith("sleep").size() == 3) stopRequested = true;
    };
    PingStatistics record;

    ping("10.0.0.1", true, &record);

    EXPECT_EQ(record.sent, 3u);
    EXPECT_EQ(record.received, 0u);
}

// --- Rounds, sequence numbers and what goes on the wire ---

TEST_F(RawEngineTest, SequenceNumbersStartAtOneAndRunOnAcrossHosts) {
    fake.autoReply = true;
    const uint16_t first = 1;

    settings.count = 2;
    ping("10.0.0.1", true);
    settings.count = 1;
    ping("10.0.0.2", true);

    ASSERT_EQ(fake.sentPackets.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(little16(fake.sentPackets[i], 6), static_cast<uint16_t>(first + i));
        EXPECT_EQ(little16(fake.sentPackets[i], 4), 0xABCD);
    }
    EXPECT_EQ(output, reply1 + reply2 + "Reply[1] from 10.0.0.2: bytes=32 time=1.0 ms TTL=64\n");
}

TEST_F(RawEngineTest, SequenceNumberWrapsToZero) {
    fake.autoReply = true;
    settings.count = 2;
    session.nextSequence = 65535;

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(little16(fake.sentPackets[0], 6), 65535);
    EXPECT_EQ(little16(fake.sentPackets[1], 6), 0);
    EXPECT_EQ(output, header + reply1 + reply2 + statisticsBlock("10.0.0.1", 2, 2, 1.0, 1.0, 1.0));
}

TEST_F(RawEngineTest, RoundUsesItsReplyNumberAndHandsOverStatistics) {
    settings.count = 3;
    settings.replyNumber = 7;
    fake.autoReply = true;
    PingStatistics record;

    EXPECT_EQ(ping("10.0.0.1", true, &record), EngineResult::Pinged);

    std::string reply7 = "Reply[7] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n";
    EXPECT_EQ(output, reply7 + reply7 + reply7);
    EXPECT_EQ(record.sent, 3u);
    EXPECT_EQ(record.received, 3u);
    EXPECT_EQ(record.samples, 3u);
    EXPECT_DOUBLE_EQ(record.average, 1.0);
}

TEST_F(RawEngineTest, PayloadPatternReachesTheWire) {
    settings.dataSize = 10;
    pattern = "abc";
    fake.autoReply = true;

    ping("10.0.0.1", true);

    ASSERT_EQ(fake.sentPackets.size(), 1u);
    EXPECT_EQ(std::string(fake.sentPackets[0].begin() + 12, fake.sentPackets[0].end()), "abcabc");
}

TEST_F(RawEngineTest, ReplyLineShowsTheSenderAndItsTtl) {
    fake.names["gw"] = HostEntry{"gw", address("10.0.0.77")};
    fake.datagrams.push_back(
        datagramFrom(makeEchoReplyDatagram(identifierOf(fake), session.nextSequence, 32, 57),
                     address("10.0.0.77")));

    ping("gw", true);

    EXPECT_EQ(output, "Reply[1] from 10.0.0.77: bytes=32 time=1.0 ms TTL=57\n");
}

// --- Record route ---

TEST_F(RawEngineTest, RouteBlockFollowsAReplyThatCarriesOptions) {
    settings.recordRoutes = 3;
    std::vector<uint8_t> options(40, 0);
    const uint8_t route[] = {7, 15, 16, 10, 1, 1, 1, 10, 1, 2, 1, 10, 0, 0, 1};
    std::copy(std::begin(route), std::end(route), options.begin());
    fake.datagrams.push_back(datagramFrom(echoReply(session.nextSequence, options)));

    EXPECT_EQ(ping(), EngineResult::Pinged);

    EXPECT_EQ(output, header + reply1 + "\tRoute:  10.1.1.1  ->\n\t\t10.1.2.1  ->\n\t\t10.0.0.1\n" +
                          statisticsBlock("10.0.0.1", 1, 1, 1.0, 1.0, 1.0));
}

TEST_F(RawEngineTest, OptionsOfARejectedDatagramPrintNoRoute) {
    settings.recordRoutes = 3;
    std::vector<uint8_t> options(40, 0);
    const uint8_t route[] = {7, 15, 8, 10, 9, 9, 9};
    std::copy(std::begin(route), std::end(route), options.begin());
    fake.datagrams.push_back(
        datagramFrom(makeEchoReplyDatagram(0x1111, session.nextSequence, 32, 64, 0, options)));
    fake.datagrams.push_back(datagramFrom(echoReply(session.nextSequence)));

    ping("10.0.0.1", true);

    EXPECT_EQ(output, reply1);
}

// --- Kernel receive stamps ---

// The kernel's stamps of a request and its reply, relative to the start of the timer in
// microseconds (none: no stamp), and the time the line shows: the reply is judged 1 ms after the
// start.
struct StampCase {
    std::optional<int64_t> sentAfterStartUs;
    std::optional<int64_t> receivedAfterStartUs;
    const char* shown;
};

const StampCase stampCases[] = {
    {std::nullopt, std::nullopt, "1.0"},  // no stamps: the readings stand
    {std::nullopt, 400, "0.4"},           // the reply waited 0.6 ms in the kernel
    {std::nullopt, 1'000, "1.0"},         // stamped as it was read
    {std::nullopt, 1'500, "1.0"},         // a stamp later than the reading waited no time
    {std::nullopt, -5'000, "0.0"},        // the clock stepped back: never more than the interval
    {200, 700, "0.5"},                    // the request left 0.2 ms after the start
    {300, std::nullopt, "0.7"},           // a transmit stamp without a receive stamp
    {5'000, std::nullopt, "0.0"},         // the clock stepped forward: never below zero
};

TEST_F(RawEngineTest, RoundTripRunsFromTheTransmitStampToTheReceiveStamp) {
    for (const StampCase& stampCase : stampCases) {
        session.nextSequence = 1;
        output.clear();
        fake.transmitDelayNs.reset();
        if (stampCase.sentAfterStartUs) fake.transmitDelayNs = *stampCase.sentAfterStartUs * 1'000;
        FakeDatagram reply = datagramFrom(echoReply(1));
        if (stampCase.receivedAfterStartUs) {
            reply.receivedAtNs = fake.realTimeNs() + *stampCase.receivedAfterStartUs * 1'000;
        }
        fake.datagrams.push_back(reply);

        ping("10.0.0.1", true);

        EXPECT_EQ(output, std::string("Reply[1] from 10.0.0.1: bytes=32 time=") + stampCase.shown +
                              " ms TTL=64\n");
    }
}

}  // namespace
}  // namespace quilvane::testing
