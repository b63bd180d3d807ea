// The resolver, the raw socket, the capability handling and the echo service, on real sockets
// inside a private network namespace (root only; skipped otherwise).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "raw_icmp_helpers.h"
#include "support/console_control.h"
#include "support/inet.h"
#include "support/ip_address.h"
#include "support/linux/linux_platform.h"
#include "system_helpers.h"

namespace quilvane {
namespace {

using testing::NetworkSettings;
using testing::PrivateNetwork;

const Ipv4 loopback = inetAddr("127.0.0.1");

IpAddress ipv6(const char* text, uint32_t scopeId = 0) {
    return IpAddress::fromIpv6(parseIpv6(text).value_or(Ipv6Bytes{}), scopeId);
}

const IpAddress loopback6 = ipv6("::1");

#define SKIP_WITHOUT(network)                                                    \
    if (!(network).active())                                                     \
    GTEST_SKIP() << "needs root and network namespaces (" << (network).failure() \
                 << "); the lab tests cover this too"

#define SKIP_WITHOUT_IPV6(network) \
    SKIP_WITHOUT(network);         \
    if (!(network).hasIpv6()) GTEST_SKIP() << "the kernel gives the namespace no IPv6 loopback"

using testing::awaitType;
using testing::echoRequest;
using testing::icmpMessage;
using testing::ourIdentifier;
using testing::readOption;
using testing::ReceivedDatagram;
using testing::succeeded;

TEST(LinuxResolver, DottedTextResolvesToItselfWithoutANameService) {
    LinuxPlatform system;
    auto entry = system.getHostByName("10.1.2.3", FamilyChoice::Any);
    ASSERT_TRUE(entry.ok());
    EXPECT_EQ(entry.value.officialName, "10.1.2.3");
    EXPECT_EQ(entry.value.address, inetAddr("10.1.2.3"));
    auto broadcast = system.getHostByName("255.255.255.255", FamilyChoice::Any);
    ASSERT_TRUE(broadcast.ok());
    EXPECT_EQ(broadcast.value.address, inaddrNone);
}

TEST(LinuxResolver, LiteralsUnderEachFamilyChoice) {
    constexpr int anyHostError = -1;
    struct Case {
        const char* text;
        FamilyChoice family;
        IpAddress address;
        int error;  // 0 for an entry named as the text
    };
    const IpAddress linkLocal = ipv6("fe80::1", testing::interfaceIndex("lo"));
    const auto any = FamilyChoice::Any;
    const auto only4 = FamilyChoice::Ipv4Only;
    const auto only6 = FamilyChoice::Ipv6Only;
    const Case cases[] = {
        {"::1", any, loopback6, 0},
        {"::1", only6, loopback6, 0},
        {"::1", only4, {}, anyHostError},
        {"FD00:5152::0001", any, ipv6("fd00:5152::1"), 0},
        {"fe80::1%lo", any, linkLocal, 0},
        {"fe80::1%lo", only6, linkLocal, 0},
        {"fe80::1%lo", only4, {}, anyHostError},
        {"127.0.0.1", any, loopback, 0},
        {"127.0.0.1", only4, loopback, 0},
        {"127.0.0.1", only6, {}, anyHostError},
        {"10.1", only6, {}, anyHostError},
    };
    LinuxPlatform system;
    for (const Case& c : cases) {
        std::string label = std::string(c.text) + " as " + std::to_string(int(c.family));
        auto entry = system.getHostByName(c.text, c.family);
        if (c.error == 0) {
            ASSERT_TRUE(entry.ok()) << label << ": " << entry.error->text;
            EXPECT_EQ(entry.value.address, c.address) << label;
            EXPECT_EQ(entry.value.officialName, c.text) << label;
            continue;
        }
        ASSERT_FALSE(entry.ok()) << label;
        if (c.error != anyHostError) {
            EXPECT_EQ(entry.error->number, c.error) << label;
        }
        EXPECT_GE(entry.error->number, wsa::hostNotFound) << label;
        EXPECT_LE(entry.error->number, wsa::noData) << label;
        EXPECT_EQ(entry.error->text.back(), '\n') << label;
    }
}

TEST(LinuxResolver, NamesFromTheHostsFileBothWays) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto entry = system.getHostByName("localhost", FamilyChoice::Any);
    ASSERT_TRUE(entry.ok()) << entry.error->text;
    EXPECT_EQ(entry.value.officialName, "localhost");
    EXPECT_EQ(entry.value.address, loopback);
    auto name = system.getHostByAddr(loopback);
    ASSERT_TRUE(name.has_value());
    EXPECT_FALSE(name->empty());

    // The hosts file may give localhost both addresses: without a choice IPv4 comes first.
    auto forced = system.getHostByName("localhost", FamilyChoice::Ipv4Only);
    ASSERT_TRUE(forced.ok()) << forced.error->text;
    EXPECT_EQ(forced.value.address, loopback);
    auto only6 = system.getHostByName("localhost", FamilyChoice::Ipv6Only);
    if (only6.ok()) {
        EXPECT_EQ(only6.value.address, loopback6);
    } else {
        EXPECT_GE(only6.error->number, wsa::hostNotFound);
        EXPECT_LE(only6.error->number, wsa::noData);
    }
    EXPECT_FALSE(system.getHostByAddr(ipv6("fd00:5152::1")).has_value());
}

TEST(LinuxResolver, FailuresCarryAHostErrorNumber) {
    // Without any route no name server answers, so the lookups fail at once.
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    for (const std::string& text : std::vector<std::string>{"no-such-host.invalid", "10.0.0.1\r\n",
                                                            std::string(70'000, 'x')}) {
        auto entry = system.getHostByName(text, FamilyChoice::Any);
        ASSERT_FALSE(entry.ok());
        EXPECT_GE(entry.error->number, wsa::hostNotFound);
        EXPECT_LE(entry.error->number, wsa::noData);
        EXPECT_EQ(entry.error->text.back(), '\n');
        // An unknown name fails as it did before IPv6: with the IPv4 lookup's error.
        auto forced = system.getHostByName(text, FamilyChoice::Ipv4Only);
        ASSERT_FALSE(forced.ok());
        EXPECT_EQ(forced.error->number, entry.error->number);
        EXPECT_EQ(forced.error->text, entry.error->text);
        auto only6 = system.getHostByName(text, FamilyChoice::Ipv6Only);
        ASSERT_FALSE(only6.ok());
        EXPECT_GE(only6.error->number, wsa::hostNotFound);
        EXPECT_LE(only6.error->number, wsa::noData);
    }
    // A zone the host does not have: neither family finds an address.
    auto unknownZone = system.getHostByName("fe80::1%no-such-zone", FamilyChoice::Any);
    ASSERT_FALSE(unknownZone.ok());
    EXPECT_GE(unknownZone.error->number, wsa::hostNotFound);
    EXPECT_LE(unknownZone.error->number, wsa::noData);
    EXPECT_FALSE(system.getHostByAddr(inetAddr("10.77.1.2")).has_value());
}

TEST(LinuxRawSocket, LoopbackRoundTripWithTheOptionsOnTheWire) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    SocketHandle socket = socketOpened.value;

    int timeout = 1500, ttl = 17, tos = 0x28, dontFragment = 1;
    EXPECT_TRUE(
        succeeded(system.setSocketOption(socket, SocketOption::ReceiveTimeout, &timeout, 4)));
    EXPECT_TRUE(succeeded(system.setSocketOption(socket, SocketOption::SendTimeout, &timeout, 4)));
    EXPECT_TRUE(succeeded(system.setSocketOption(socket, SocketOption::Ttl, &ttl, 4)));
    EXPECT_TRUE(succeeded(system.setSocketOption(socket, SocketOption::Tos, &tos, 4)));
    EXPECT_TRUE(
        succeeded(system.setSocketOption(socket, SocketOption::DontFragment, &dontFragment, 4)));
    const uint8_t recordRoute[11] = {7, 11, 4};
    EXPECT_TRUE(
        succeeded(system.setSocketOption(socket, SocketOption::IpOptions, recordRoute, 11)));
    int value = 0;
    EXPECT_TRUE(readOption(system, socket, SocketOption::ReceiveTimeout, value));
    EXPECT_EQ(value, 1500);
    // Time-outs are unsigned, as the engines read them: -296 is 4294967000 ms, not 0 (no limit).
    int negative = -296;
    EXPECT_TRUE(succeeded(system.setSocketOption(socket, SocketOption::SendTimeout, &negative, 4)));
    EXPECT_TRUE(readOption(system, socket, SocketOption::SendTimeout, value));
    EXPECT_EQ(value, negative);
    EXPECT_TRUE(readOption(system, socket, SocketOption::Ttl, value));
    EXPECT_EQ(value, 17);
    EXPECT_TRUE(readOption(system, socket, SocketOption::Tos, value));
    EXPECT_EQ(value, 0x28);
    EXPECT_TRUE(readOption(system, socket, SocketOption::DontFragment, value));
    EXPECT_EQ(value, 1);

    SocketHandle wire = testing::openUnfilteredRawSocket();
    ASSERT_GE(wire, 0);
    auto request = echoRequest(ourIdentifier(system), 7, 56);
    EXPECT_EQ(system.sendTo(socket, request.data(), request.size(), loopback).value, 64u);

    auto sent = awaitType(system, wire, 8);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->bytes[8], 17) << "TTL";
    EXPECT_EQ(sent->bytes[1], 0x28) << "TOS";
    EXPECT_EQ(sent->bytes[6] & 0x40, 0x40) << "Don't Fragment";
    EXPECT_EQ(sent->headerSize(), 32u) << "record route option, padded";
    EXPECT_EQ(sent->bytes[20], 7);

    auto reply = awaitType(system, socket, 0);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->sender, loopback);
    EXPECT_EQ(reply->sequence(), 7);
    EXPECT_EQ(reply->icmpSize(), 64u);
    EXPECT_TRUE(succeeded(system.closeSocket(socket)));
    system.closeSocket(wire);
}

TEST(LinuxRawSocket, BatchedReceivesAndTransmitStampsTakeWhatIsQueuedInOrder) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    SocketHandle socket = socketOpened.value;

    constexpr size_t sent = 5;
    int64_t before = system.realTimeNs();
    std::vector<std::vector<uint8_t>> requests;
    std::vector<OutgoingDatagram> batch;
    for (uint16_t sequence = 1; sequence <= sent; ++sequence) {
        requests.push_back(echoRequest(ourIdentifier(system), sequence, 16 + sequence));
    }
    for (const auto& request : requests)
        batch.push_back({request.data(), request.size(), loopback});
    BatchSent left = system.sendBatch(socket, batch.data(), batch.size());
    EXPECT_EQ(left.sent, sent);
    EXPECT_FALSE(left.error.has_value());
    int64_t stamps[8] = {};
    ASSERT_EQ(system.transmitStampsNs(socket, before, stamps, sent), sent);
    for (size_t i = 0; i < sent; ++i) {
        EXPECT_GE(stamps[i], before) << i;
        if (i > 0) {
            EXPECT_GE(stamps[i], stamps[i - 1]) << "oldest first";
        }
    }
    EXPECT_EQ(system.transmitStampsNs(socket, before, stamps, 8), 0u) << "all taken";

    ASSERT_TRUE(system.waitReadableNs(socket, invalidSocket, 1'000'000'000).value);
    constexpr size_t slotSize = 2048;
    std::vector<uint8_t> slots(8 * slotSize);
    Datagram datagrams[8];
    // A batch smaller than the queue leaves the rest for the next, with no error between.
    QueuedBatch first = system.receiveQueuedBatch(socket, slots.data(), slotSize, datagrams, 3);
    EXPECT_EQ(first.count, 3u);
    EXPECT_FALSE(first.stoppedBy.has_value());
    QueuedBatch rest =
        system.receiveQueuedBatch(socket, slots.data() + 3 * slotSize, slotSize, datagrams + 3, 5);
    EXPECT_EQ(rest.count, 2u);
    ASSERT_TRUE(rest.stoppedBy.has_value()) << "a short batch found the queue empty";
    for (size_t i = 0; i < sent; ++i) {
        const uint8_t* bytes = slots.data() + i * slotSize;
        EXPECT_EQ(datagrams[i].sender, loopback) << i;
        EXPECT_EQ(datagrams[i].length, 20 + 8 + 16 + i + 1) << i;
        EXPECT_EQ(bytes[20], 0) << "an echo reply";
        EXPECT_EQ(bytes[26] << 8 | bytes[27], static_cast<int>(i + 1)) << "in the order sent";
        EXPECT_TRUE(datagrams[i].receivedAtNs.has_value()) << i;
    }
    QueuedBatch none = system.receiveQueuedBatch(socket, slots.data(), slotSize, datagrams, 8);
    EXPECT_EQ(none.count, 0u);
    EXPECT_TRUE(none.stoppedBy.has_value());
    system.closeSocket(socket);
}

// A batch longer than one system call takes, with a datagram the kernel refuses inside it (no
// route leads off this network's loopback): the batch stops there with that datagram's error,
// and the rest leaves with the next call.
TEST(LinuxRawSocket, ABatchedSendStopsAtTheFirstRefusedDatagram) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    SocketHandle socket = socketOpened.value;
    auto request = echoRequest(ourIdentifier(system), 1, 16);
    std::vector<OutgoingDatagram> batch(150, {request.data(), request.size(), loopback});
    batch[70].destination = inetAddr("198.18.0.1");

    BatchSent first = system.sendBatch(socket, batch.data(), batch.size());
    EXPECT_EQ(first.sent, 70u);
    ASSERT_TRUE(first.error.has_value());
    EXPECT_EQ(first.error->number, 10051) << "network unreachable";
    BatchSent rest = system.sendBatch(socket, batch.data() + 71, batch.size() - 71);
    EXPECT_EQ(rest.sent, 79u);
    EXPECT_FALSE(rest.error.has_value());
    system.closeSocket(socket);
}

TEST(LinuxRawSocket, WaitsEndByTimeOutAndGoOnAfterASignal) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    SocketHandle socket = socketOpened.value;

    int64_t start = system.performanceCounter();
    EXPECT_FALSE(system.waitReadable(socket, 100).value);
    EXPECT_GE(system.performanceCounter() - start, 100'000'000);

    installConsoleControlHandler();
    testing::interruptThisThreadLater(false, 30);
    start = system.performanceCounter();
    EXPECT_FALSE(system.waitReadable(socket, 300).value);
    EXPECT_GE(system.performanceCounter() - start, 300'000'000) << "the signal ended the wait";
    testing::joinInterrupter();

    // The second Ctrl-C ends the wait in progress, and no receive blocks after it.
    testing::interruptThisThreadLater(false, 30);
    start = system.performanceCounter();
    EXPECT_FALSE(system.waitReadable(socket, 20'000).value);
    EXPECT_LT(system.performanceCounter() - start, 10'000'000'000) << "the wait ran on";
    testing::joinInterrupter();
    int longTimeout = 20'000;
    system.setSocketOption(socket, SocketOption::ReceiveTimeout, &longTimeout, 4);
    uint8_t scrap[100];
    start = system.performanceCounter();
    SystemResult<Datagram> cutShort = system.receiveFrom(socket, scrap, sizeof scrap);
    ASSERT_FALSE(cutShort.ok());
    EXPECT_EQ(cutShort.error->number, wsa::timedOut);
    EXPECT_LT(system.performanceCounter() - start, 10'000'000'000) << "the receive blocked";
    testing::restoreDefaultSignals();
    EXPECT_TRUE(stopRequested.exchange(false));

    int timeout = 50;
    system.setSocketOption(socket, SocketOption::ReceiveTimeout, &timeout, 4);
    uint8_t buffer[100];
    SystemResult<Datagram> received = system.receiveFrom(socket, buffer, sizeof buffer);
    ASSERT_FALSE(received.ok());
    EXPECT_EQ(received.error->number, wsa::timedOut);
    EXPECT_EQ(received.error->text, "Resource temporarily unavailable\n");
    EXPECT_TRUE(succeeded(system.closeSocket(socket)));
}

std::vector<uint8_t> errorFor(const ReceivedDatagram& request, uint8_t type, uint8_t code,
                              uint16_t sequenceShift);

TEST(LinuxRawSocket, IcmpErrorsAboutOurRequestsArriveAsDatagramsNotAsFailures) {
    // A raw socket with IP_RECVERR, or a connected one, would fail its next receive with an
    // error such as ECONNREFUSED for a port unreachable; the engine must see the datagrams.
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    SocketHandle router = testing::openUnfilteredRawSocket();
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    ASSERT_NE(router, invalidSocket);
    SocketHandle socket = socketOpened.value;
    int timeout = 1000;
    system.setSocketOption(socket, SocketOption::ReceiveTimeout, &timeout, 4);

    auto request = echoRequest(ourIdentifier(system), 9, 8);
    ASSERT_EQ(system.sendTo(socket, request.data(), request.size(), loopback).value, 16u);
    auto seen = awaitType(system, router, 8);
    ASSERT_TRUE(seen.has_value());
    const uint8_t codes[] = {2, 3, 13, 1};
    for (uint8_t code : codes) {
        auto error = errorFor(*seen, 3, code, 0);
        ASSERT_GT(system.sendTo(router, error.data(), error.size(), loopback).value, 0u);
    }
    auto problem = errorFor(*seen, 12, 0, 0);
    ASSERT_GT(system.sendTo(router, problem.data(), problem.size(), loopback).value, 0u);

    int errors = 0;
    for (int received = 0; received < 5;) {
        ASSERT_TRUE(system.waitReadable(socket, 1000).value) << "after " << received;
        uint8_t buffer[600];
        SystemResult<Datagram> datagram = system.receiveFrom(socket, buffer, sizeof buffer);
        ASSERT_TRUE(datagram.ok()) << datagram.error->text;
        ++received;
        uint8_t type = buffer[(buffer[0] & 0x0F) * 4];
        if (type == 3 || type == 12) ++errors;
    }
    EXPECT_EQ(errors, 5);
    system.closeSocket(socket);
    system.closeSocket(router);
}

// A datagram as an ICMP error quotes it: IPv4 header (with optionWords words of options) and the
// first quotedBytes of its payload, an echo request with identifier (as written by echoRequest).
std::vector<uint8_t> quotedDatagram(uint8_t protocol, uint16_t identifier, size_t optionWords = 0,
                                    size_t quotedBytes = 8) {
    size_t headerSize = 20 + 4 * optionWords;
    std::vector<uint8_t> quote(headerSize, 0);
    quote[0] = static_cast<uint8_t>(0x40 | headerSize / 4);
    quote[8] = 1;
    quote[9] = protocol;
    if (optionWords != 0) quote[20] = 7;
    auto request = echoRequest(identifier, 1, 8);
    quote.insert(quote.end(), request.begin(), request.begin() + static_cast<long>(quotedBytes));
    return quote;
}

TEST(LinuxRawSocket, OnlyRepliesAndErrorsAboutOurRequestsPassTheFilter) {
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V4);
    SocketHandle wire = testing::openUnfilteredRawSocket();
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    ASSERT_GE(wire, 0);
    SocketHandle socket = socketOpened.value;
    const uint16_t ours = ourIdentifier(system);
    const uint16_t foreign = static_cast<uint16_t>(ours ^ 0x0100);
    struct Case {
        const char* name;
        uint8_t type;
        uint16_t identifier;  // echo messages; errors quote quotedDatagram instead
        std::vector<uint8_t> quote;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"our echo reply", 0, ours, {}, true},
        {"another pinger's echo reply", 0, foreign, {}, false},
        {"our own request seen on the loopback", 8, ours, {}, false},
        {"a timestamp request", 13, ours, {}, false},
        {"time exceeded for our request", 11, 0, quotedDatagram(1, ours), true},
        {"time exceeded for another pinger", 11, 0, quotedDatagram(1, foreign), false},
        {"unreachable for our request with a route option", 3, 0, quotedDatagram(1, ours, 3), true},
        {"unreachable quoting too little", 3, 0, quotedDatagram(1, ours, 0, 4), false},
        {"unreachable for a UDP datagram", 3, 0, quotedDatagram(17, ours), false},
        {"source quench for our request", 4, 0, quotedDatagram(1, ours), true},
        {"redirect for our request", 5, 0, quotedDatagram(1, ours), true},
        {"parameter problem for our request", 12, 0, quotedDatagram(1, ours), true},
    };
    // Each message carries its case number in byte 7 of the ICMP header.
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto marker = static_cast<uint8_t>(i + 1);
        std::vector<uint8_t> message;
        if (c.quote.empty()) {
            message = echoRequest(c.identifier, marker, 8);
            message[0] = c.type;
            message =
                icmpMessage(c.type, 0, message.data() + 4, {message.begin() + 8, message.end()});
        } else {
            const uint8_t rest[4] = {0, 0, 0, marker};
            message = icmpMessage(c.type, 0, rest, c.quote);
        }
        ASSERT_GT(system.sendTo(wire, message.data(), message.size(), loopback).value, 0u)
            << c.name;
    }
    std::vector<bool> arrived(cases.size(), false);
    while (system.waitReadable(socket, 300).value) {
        uint8_t buffer[600];
        SystemResult<Datagram> received = system.receiveFrom(socket, buffer, sizeof buffer);
        ASSERT_TRUE(received.ok());
        size_t headerSize = (buffer[0] & 0x0Fu) * 4u;
        ASSERT_GE(received.value.length, headerSize + 8);
        size_t marker = buffer[headerSize + 7];
        ASSERT_TRUE(marker >= 1 && marker <= cases.size()) << marker;
        arrived[marker - 1] = true;
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(arrived[i], cases[i].passes) << cases[i].name;
    }
    system.closeSocket(socket);
    system.closeSocket(wire);
}

// ICMPv6 messages as a raw ICMPv6 socket sends them: the kernel fills in the checksum.
std::vector<uint8_t> icmpv6Message(uint8_t type, uint8_t code, const uint8_t rest[4],
                                   const std::vector<uint8_t>& body) {
    std::vector<uint8_t> message = icmpMessage(type, code, rest, body);
    message[2] = message[3] = 0;
    return message;
}

std::vector<uint8_t> echoRequest6(uint16_t identifier, uint16_t sequence, size_t dataSize) {
    std::vector<uint8_t> message = echoRequest(identifier, sequence, dataSize);
    message[0] = 128;
    message[2] = message[3] = 0;
    return message;
}

// A packet from ::1 to ::1 as an ICMPv6 error quotes it: the fixed IPv6 header and the first
// quotedBytes of its payload, an echo request as given.
std::vector<uint8_t> quotedPacket6(uint8_t nextHeader, std::vector<uint8_t> request,
                                   size_t quotedBytes = 16) {
    std::vector<uint8_t> quote(40, 0);
    quote[0] = 0x60;
    quote[5] = static_cast<uint8_t>(request.size());
    quote[6] = nextHeader;
    quote[7] = 64;
    quote[23] = 1;
    quote[39] = 1;
    quotedBytes = std::min(quotedBytes, request.size());
    quote.insert(quote.end(), request.begin(), request.begin() + static_cast<long>(quotedBytes));
    return quote;
}

// A datagram from a raw ICMPv6 socket: the message alone, the rest beside it.
struct Received6 {
    std::vector<uint8_t> bytes;
    Datagram datagram;
    uint16_t sequence() const { return static_cast<uint16_t>(bytes[6] << 8 | bytes[7]); }
};

std::optional<Received6> awaitType6(Platform& system, SocketHandle socket, uint8_t type,
                                    uint32_t timeoutMs = 2000) {
    for (int i = 0; i < 20; ++i) {
        if (!system.waitReadable(socket, timeoutMs).value) return std::nullopt;
        Received6 received;
        received.bytes.resize(70'000);
        SystemResult<Datagram> read =
            system.receiveFrom(socket, received.bytes.data(), received.bytes.size());
        if (!read.ok() || read.value.length < 8) continue;
        received.datagram = read.value;
        received.bytes.resize(read.value.length);
        if (received.bytes[0] == type) return received;
    }
    return std::nullopt;
}

TEST(LinuxRawSocket, Ipv6LoopbackRoundTripWithHopLimitAndTrafficClass) {
    PrivateNetwork network(NetworkSettings{.loopbackMtu = 1500});
    SKIP_WITHOUT_IPV6(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V6);
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    SocketHandle socket = socketOpened.value;
    auto otherOpened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(otherOpened.ok());
    SocketHandle ipv4Socket = otherOpened.value;

    struct Setting {
        SocketOption option;
        int value;
    };
    const Setting settings[] = {
        {SocketOption::ReceiveTimeout, 1500},
        {SocketOption::SendTimeout, 700},
        {SocketOption::Ttl, 17},
        {SocketOption::Tos, 0x28},
        {SocketOption::DontFragment, 1},
    };
    for (auto [option, wanted] : settings) {
        EXPECT_TRUE(succeeded(system.setSocketOption(socket, option, &wanted, 4))) << wanted;
        int value = -1;
        EXPECT_TRUE(readOption(system, socket, option, value)) << wanted;
        EXPECT_EQ(value, wanted);
    }
    // IPv6 has no header options; the failure is the IPv4 socket's for an unknown option.
    const uint8_t recordRoute[11] = {7, 11, 4};
    std::optional<SystemError> refused =
        system.setSocketOption(socket, SocketOption::IpOptions, recordRoute, 11);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->number, 10042);
    EXPECT_FALSE(system.getSocketOption(socket, SocketOption::IpOptions).ok());

    // Nothing on either socket yet: the wait on both runs out.
    int64_t start = system.performanceCounter();
    EXPECT_FALSE(system.waitReadableNs(ipv4Socket, socket, 50'000'000).value);
    EXPECT_GE(system.performanceCounter() - start, 50'000'000);

    SocketHandle wire = testing::openUnfilteredRawIpv6Socket();
    ASSERT_GE(wire, 0);
    auto request = echoRequest6(ourIdentifier(system), 7, 56);
    EXPECT_EQ(system.sendTo(socket, request.data(), request.size(), loopback6).value, 64u);
    auto sent = awaitType6(system, wire, 128);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->datagram.hopLimit, std::optional<uint8_t>(17));
    EXPECT_EQ(sent->datagram.trafficClass, std::optional<uint8_t>(0x28));

    EXPECT_TRUE(system.waitReadableNs(ipv4Socket, socket, 2'000'000'000).value);
    auto reply = awaitType6(system, socket, 129);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->datagram.sender, loopback6);
    EXPECT_EQ(reply->sequence(), 7);
    EXPECT_EQ(reply->bytes.size(), 64u);
    EXPECT_TRUE(reply->datagram.hopLimit.has_value());
    EXPECT_EQ(reply->datagram.trafficClass, std::optional<uint8_t>(0x28)) << "reflected";
    EXPECT_TRUE(reply->datagram.receivedAtNs.has_value());

    // Don't Fragment holds a request above the loopback's MTU back; without it the request
    // leaves in fragments.
    auto large = echoRequest6(ourIdentifier(system), 8, 2000);
    SystemResult<size_t> held = system.sendTo(socket, large.data(), large.size(), loopback6);
    ASSERT_FALSE(held.ok());
    EXPECT_EQ(held.error->number, 10040);
    int fragments = 0;
    EXPECT_TRUE(
        succeeded(system.setSocketOption(socket, SocketOption::DontFragment, &fragments, 4)));
    EXPECT_EQ(system.sendTo(socket, large.data(), large.size(), loopback6).value, large.size());
    auto largeReply = awaitType6(system, socket, 129);
    ASSERT_TRUE(largeReply.has_value());
    EXPECT_EQ(largeReply->bytes.size(), large.size());
    system.closeSocket(wire);
    system.closeSocket(ipv4Socket);
    EXPECT_TRUE(succeeded(system.closeSocket(socket)));
}

TEST(LinuxRawSocket, OnlyIpv6RepliesAndErrorsAboutOurRequestsPassTheFilters) {
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT_IPV6(network);
    LinuxPlatform system;
    auto socketOpened = system.openRawSocket(AddressFamily::V6);
    SocketHandle wire = testing::openUnfilteredRawIpv6Socket();
    ASSERT_TRUE(socketOpened.ok()) << socketOpened.error->text;
    ASSERT_GE(wire, 0);
    SocketHandle socket = socketOpened.value;
    const uint16_t ours = ourIdentifier(system);
    const uint16_t foreign = static_cast<uint16_t>(ours ^ 0x0100);
    const auto ourRequest = echoRequest6(ours, 1, 8);
    struct Case {
        const char* name;
        uint8_t type;
        uint16_t identifier;  // echo messages; errors quote quote instead
        std::vector<uint8_t> quote;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"our echo reply", 129, ours, {}, true},
        {"another pinger's echo reply", 129, foreign, {}, false},
        {"our own request seen on the loopback", 128, ours, {}, false},
        {"an unknown informational message", 200, ours, {}, false},
        {"time exceeded for our request", 3, 0, quotedPacket6(58, ourRequest), true},
        {"time exceeded for another pinger", 3, 0, quotedPacket6(58, echoRequest6(foreign, 1, 8)),
         false},
        {"unreachable for our request", 1, 0, quotedPacket6(58, ourRequest), true},
        {"unreachable quoting too little", 1, 0, quotedPacket6(58, ourRequest, 4), false},
        {"unreachable for a UDP datagram", 1, 0, quotedPacket6(17, ourRequest), false},
        {"packet too big for our request", 2, 0, quotedPacket6(58, ourRequest), true},
        {"parameter problem for our request", 4, 0, quotedPacket6(58, ourRequest), true},
    };
    // Each message carries its case number in byte 7 of the ICMPv6 header.
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto marker = static_cast<uint8_t>(i + 1);
        std::vector<uint8_t> message;
        if (c.quote.empty()) {
            message = echoRequest6(c.identifier, marker, 8);
            message[0] = c.type;
        } else {
            // A too-big message's MTU is its marker: the kernel takes any MTU up to 1280.
            const uint8_t rest[4] = {0, 0, 0, marker};
            message = icmpv6Message(c.type, 0, rest, c.quote);
        }
        ASSERT_GT(system.sendTo(wire, message.data(), message.size(), loopback6).value, 0u)
            << c.name;
    }
    std::vector<bool> arrived(cases.size(), false);
    while (system.waitReadable(socket, 300).value) {
        uint8_t buffer[600];
        SystemResult<Datagram> received = system.receiveFrom(socket, buffer, sizeof buffer);
        ASSERT_TRUE(received.ok());
        ASSERT_GE(received.value.length, 8u);
        size_t marker = buffer[7];
        ASSERT_TRUE(marker >= 1 && marker <= cases.size()) << marker;
        arrived[marker - 1] = true;
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(arrived[i], cases[i].passes) << cases[i].name;
    }
    system.closeSocket(socket);
    system.closeSocket(wire);
}

TEST(LinuxRawSocket, FailedCallsCarryTheirNumberAndText) {
    LinuxPlatform system;
    std::optional<SystemError> closed = system.closeSocket(-1);
    ASSERT_TRUE(closed.has_value());
    EXPECT_EQ(closed->number, 10009);
    EXPECT_EQ(closed->text, "Bad file descriptor\n");
    SystemResult<bool> waited = system.waitReadable(-5, 10);
    EXPECT_TRUE(waited.ok() && !waited.value) << "poll ignores negative descriptors";
    uint8_t byte = 0;
    SystemResult<size_t> sent = system.sendTo(-1, &byte, 1, loopback);
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error->number, 10009);
    EXPECT_FALSE(system.getSocketOption(-1, SocketOption::Ttl).ok());
    std::optional<SystemError> set = system.setSocketOption(-1, SocketOption::Ttl, nullptr, 4);
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->number, 10014);
}

TEST(LinuxPrivileges, RawCapabilityIsEffectiveOnlyWhileTheSocketIsCreated) {
    if (!testing::runningAsRoot()) GTEST_SKIP() << "needs root (or cap_net_raw+p)";
    LinuxPlatform system;
    EXPECT_EQ(testing::effectiveCapabilities() & testing::netRawBit, 0u);
    auto opened = system.openRawSocket(AddressFamily::V4);
    EXPECT_TRUE(opened.ok()) << opened.error->text;
    EXPECT_EQ(testing::effectiveCapabilities() & testing::netRawBit, 0u);
    if (opened.ok()) system.closeSocket(opened.value);
}

TEST(LinuxPrivileges, WithoutTheCapabilityTheRawSocketIsRefusedWith10013) {
    LinuxPlatform system;
    SystemResult<SocketHandle> opened;
    // Capabilities belong to a thread: this one gives CAP_NET_RAW up for good.
    std::thread([&] {
        testing::giveUpRawCapability();
        opened = system.openRawSocket(AddressFamily::V4);
    }).join();
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.value, invalidSocket);
    EXPECT_EQ(opened.error->number, wsa::accessDenied);
    EXPECT_EQ(opened.error->text, "Operation not permitted\n");
}

// The remedy line names the setcap command with this very program's path, and leaves the raw
// right out where the run asked for the echo service itself.
TEST(LinuxPrivileges, TheRemedyNamesThisProgramsPathWhenTheRawSocketWasRefused) {
    LinuxPlatform system;
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(system.echoServiceRemedy(true),
              "To ping, give this program the raw-socket right (setcap cap_net_raw+p " + self +
                  ") or allow ping sockets for your group (sysctl net.ipv4.ping_group_range).\n");
    EXPECT_EQ(system.echoServiceRemedy(false),
              "To ping with the ICMP dll, allow ping sockets for your group (sysctl "
              "net.ipv4.ping_group_range).\n");
}

class LinuxEchoServiceTest : public ::testing::Test {
  protected:
    EchoServiceRequest request(const IpAddress& destination, uint16_t dataSize,
                               uint32_t timeoutMs = 2000) {
        data.assign(dataSize, 0x5A);
        EchoServiceRequest result;
        result.destination = destination;
        result.data = data.data();
        result.dataSize = dataSize;
        result.ttl = 64;
        result.timeoutMs = timeoutMs;
        return result;
    }

    LinuxPlatform system;
    std::vector<uint8_t> data;
};

TEST_F(LinuxEchoServiceTest, RefusedPingSocketsCannotBeLoaded) {
    PrivateNetwork network(NetworkSettings{.allowPingSockets = false});
    SKIP_WITHOUT(network);
    EXPECT_EQ(system.loadEchoService(), EchoServiceState::NotLoadable);
    EXPECT_EQ(system.createEchoHandle(), invalidEchoHandle);
}

TEST_F(LinuxEchoServiceTest, LoopbackRepliesCarrySizeTtlAndRecordedRoute) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    ASSERT_EQ(system.loadEchoService(), EchoServiceState::Ready);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);

    EchoServiceReply reply;
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 32), reply), 1);
    EXPECT_EQ(reply.status, ipStatus::success);
    EXPECT_EQ(reply.address, loopback);
    EXPECT_EQ(reply.dataSize, 32);
    EXPECT_EQ(reply.ttl, 64);
    EXPECT_EQ(reply.optionsSize, 0);

    const uint8_t recordRoute[39] = {7, 39, 4};
    EchoServiceRequest routed = request(loopback, 0);
    routed.options = recordRoute;
    routed.optionsSize = sizeof recordRoute;
    routed.tos = 0x10;
    EXPECT_EQ(system.sendEcho(handle, routed, reply), 1);
    EXPECT_EQ(reply.status, ipStatus::success);
    EXPECT_EQ(reply.dataSize, 0);
    EXPECT_EQ(reply.tos, 0x10);
    ASSERT_EQ(reply.optionsSize, 40);
    EXPECT_EQ(reply.options[0], 7);
    EXPECT_GT(reply.options[2], 4) << "the loopback recorded addresses";

    // Back to no options on the same handle.
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 1000), reply), 1);
    EXPECT_EQ(reply.dataSize, 1000);
    EXPECT_EQ(reply.optionsSize, 0);
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, LocalSendFailuresGiveOneReplyWithAStatus) {
    PrivateNetwork network(NetworkSettings{.loopbackMtu = 1500});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    EchoServiceReply reply;

    // No route leads anywhere but the loopback.
    EXPECT_EQ(system.sendEcho(handle, request(inetAddr("10.99.0.1"), 32), reply), 1);
    EXPECT_EQ(reply.status, ipStatus::destinationNetUnreachable);

    EchoServiceRequest tooBig = request(loopback, 2000);
    tooBig.dontFragment = true;
    EXPECT_EQ(system.sendEcho(handle, tooBig, reply), 1);
    EXPECT_EQ(reply.status, ipStatus::packetTooBig);

    // The same size goes through once fragments are allowed again.
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 2000), reply), 1);
    EXPECT_EQ(reply.status, ipStatus::success);
    EXPECT_EQ(reply.dataSize, 2000);
    system.closeEchoHandle(handle);

    EXPECT_EQ(system.sendEcho(handle, request(loopback, 8), reply), 0) << "closed handle";
}

// A test responder on a raw socket: the kernel ignores echo requests, and the responder answers
// the first request it sees with the scripted messages.
class Responder {
  public:
    using Script =
        std::function<std::vector<std::vector<uint8_t>>(const ReceivedDatagram& request)>;

    explicit Responder(Script script) : script_(std::move(script)) {
        socket_ = testing::openUnfilteredRawSocket();
        if (socket_ != invalidSocket) thread_ = std::thread([this] { run(); });
    }
    ~Responder() {
        if (thread_.joinable()) thread_.join();
        if (socket_ != invalidSocket) system_.closeSocket(socket_);
    }
    bool ready() const { return socket_ != invalidSocket; }

  private:
    void run() {
        auto request = awaitType(system_, socket_, 8);
        if (!request) return;
        for (const auto& message : script_(*request)) {
            system_.sendTo(socket_, message.data(), message.size(), loopback);
        }
    }

    LinuxPlatform system_;
    SocketHandle socket_ = invalidSocket;
    Script script_;
    std::thread thread_;
};

std::vector<uint8_t> replyTo(const ReceivedDatagram& request, uint16_t sequenceShift) {
    const uint8_t* icmp = request.icmp();
    uint16_t sequence = static_cast<uint16_t>(request.sequence() + sequenceShift);
    const uint8_t rest[4] = {icmp[4], icmp[5], static_cast<uint8_t>(sequence >> 8),
                             static_cast<uint8_t>(sequence)};
    return icmpMessage(0, 0, rest, std::vector<uint8_t>(icmp + 8, icmp + request.icmpSize()));
}

std::vector<uint8_t> errorFor(const ReceivedDatagram& request, uint8_t type, uint8_t code,
                              uint16_t sequenceShift) {
    std::vector<uint8_t> quote(request.bytes.begin(),
                               request.bytes.begin() + static_cast<long>(request.headerSize() + 8));
    uint16_t sequence = static_cast<uint16_t>(request.sequence() + sequenceShift);
    quote[request.headerSize() + 6] = static_cast<uint8_t>(sequence >> 8);
    quote[request.headerSize() + 7] = static_cast<uint8_t>(sequence);
    const uint8_t rest[4] = {0, 0, 0x05, 0x78};  // a next-hop MTU for "fragmentation needed"
    return icmpMessage(type, code, rest, quote);
}

TEST_F(LinuxEchoServiceTest, RepliesToOtherRequestsAreSkippedWhileTheTimeRuns) {
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    Responder responder([](const ReceivedDatagram& request) {
        return std::vector<std::vector<uint8_t>>{replyTo(request, 5), errorFor(request, 11, 0, 1),
                                                 replyTo(request, 0)};
    });
    ASSERT_TRUE(responder.ready());
    EchoServiceReply reply;
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 24), reply), 1);
    EXPECT_EQ(reply.status, ipStatus::success);
    EXPECT_EQ(reply.dataSize, 24);
    system.closeEchoHandle(handle);
}

// Each ping socket uses each number once: when the numbers come round the handle goes on with a
// fresh socket, so a reply to the first request (the same number and data, 65,536 requests
// earlier) reaches the socket that sent it, and only the kernel's own reply answers.
TEST_F(LinuxEchoServiceTest, ANumberThatComesRoundIsAnsweredOnlyOnItsOwnSocket) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    SocketHandle watcher = testing::openUnfilteredRawSocket();
    ASSERT_NE(watcher, invalidSocket);
    EchoServiceReply reply;
    ASSERT_EQ(system.sendEcho(handle, request(loopback, 8), reply), 1);
    std::optional<ReceivedDatagram> first = awaitType(system, watcher, 8);
    system.closeSocket(watcher);
    ASSERT_TRUE(first.has_value());
    int answered = 1;
    for (int sent = 2; sent <= 0xFFFF; ++sent) {
        answered += system.sendEcho(handle, request(loopback, 8), reply);
    }
    EXPECT_EQ(answered, 0xFFFF);

    EchoStart start = system.startEcho(handle, request(loopback, 8));
    ASSERT_TRUE(start.sent);
    EXPECT_EQ(start.sequence, 0);
    SocketHandle injector = testing::openUnfilteredRawSocket();
    ASSERT_NE(injector, invalidSocket);
    std::vector<uint8_t> stale = replyTo(*first, 0xFFFF);
    system.sendTo(injector, stale.data(), stale.size(), loopback);
    int answers = 0;
    while (std::optional<EchoAnswer> answer = system.collectEcho(handle, 200'000'000)) {
        answers += answer->sequence == start.sequence ? 1 : 0;
    }
    EXPECT_EQ(answers, 1);
    system.closeSocket(injector);
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, NoReplyWithinTheTimeOutGivesNone) {
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    Responder responder([](const ReceivedDatagram& request) {
        return std::vector<std::vector<uint8_t>>{replyTo(request, 1)};
    });
    EchoServiceReply reply;
    int64_t start = system.performanceCounter();
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 24, 150), reply), 0);
    EXPECT_GE(system.performanceCounter() - start, 150'000'000);

    // After a second Ctrl-C no wait blocks: the echo ends at once as a time-out.
    interruptCount.store(2);
    start = system.performanceCounter();
    EXPECT_EQ(system.sendEcho(handle, request(loopback, 24, 20'000), reply), 0);
    EXPECT_LT(system.performanceCounter() - start, 10'000'000'000);
    interruptCount.store(0);
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, QueuedIcmpErrorsBecomeRepliesWithTheirStatus) {
    struct Case {
        uint8_t type;
        uint8_t code;
        uint32_t status;
    };
    // The full table of types and codes is checked without sockets; these show the kernel's
    // delivery of each kind (time exceeded, unreachable, too big under Don't Fragment, others).
    const Case cases[] = {
        {11, 0, ipStatus::ttlExpiredTransit}, {3, 1, ipStatus::destinationHostUnreachable},
        {3, 4, ipStatus::packetTooBig},       {3, 13, ipStatus::generalFailure},
        {12, 0, ipStatus::generalFailure},
    };
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    for (const Case& c : cases) {
        // An error about an earlier request comes first and must not count.
        Responder responder([&c](const ReceivedDatagram& request) {
            return std::vector<std::vector<uint8_t>>{errorFor(request, 3, 1, 0xFFFF),
                                                     errorFor(request, c.type, c.code, 0)};
        });
        ASSERT_TRUE(responder.ready());
        EchoServiceRequest sent = request(loopback, 16);
        // Without Don't Fragment the kernel drops "fragmentation needed" as meaningless.
        sent.dontFragment = c.status == ipStatus::packetTooBig;
        EchoServiceReply reply;
        EXPECT_EQ(system.sendEcho(handle, sent, reply), 1)
            << "type " << int{c.type} << " code " << int{c.code};
        EXPECT_EQ(reply.status, c.status) << "type " << int{c.type} << " code " << int{c.code};
        EXPECT_EQ(reply.address, loopback);
    }
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, AnErrorAboutAnEarlierRequestDoesNotFailTheNextSend) {
    // An ICMP error that arrives between two echoes (here about the first, already answered) is
    // held by the kernel as the socket's pending error and would fail the next send.
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    SocketHandle watcher = testing::openUnfilteredRawSocket();
    ASSERT_GE(watcher, 0);

    EchoServiceReply reply;
    ASSERT_EQ(system.sendEcho(handle, request(loopback, 16), reply), 1);
    ASSERT_EQ(reply.status, ipStatus::success);
    auto first = awaitType(system, watcher, 8);
    ASSERT_TRUE(first.has_value());
    auto error = errorFor(*first, 3, 1, 0);
    ASSERT_GT(system.sendTo(watcher, error.data(), error.size(), loopback).value, 0u);
    // Delivered on the loopback before the next echo begins.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    for (int echo = 2; echo <= 3; ++echo) {
        EXPECT_EQ(system.sendEcho(handle, request(loopback, 16), reply), 1) << echo;
        EXPECT_EQ(reply.status, ipStatus::success) << echo;
        EXPECT_EQ(reply.dataSize, 16) << echo;
    }
    system.closeSocket(watcher);
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, Ipv6EchoesShareTheHandleWithIpv4) {
    PrivateNetwork network(NetworkSettings{});
    SKIP_WITHOUT_IPV6(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    SocketHandle wire = testing::openUnfilteredRawIpv6Socket();
    ASSERT_GE(wire, 0);

    // The hop limit and traffic class go on the wire; a record route has no place in IPv6.
    const uint8_t recordRoute[39] = {7, 39, 4};
    EchoServiceRequest sent = request(loopback6, 32);
    sent.ttl = 5;
    sent.tos = 0x20;
    sent.options = recordRoute;
    sent.optionsSize = sizeof recordRoute;
    EchoServiceReply reply;
    EXPECT_EQ(system.sendEcho(handle, sent, reply), 1);
    EXPECT_EQ(reply.status, ipStatus::success);
    EXPECT_EQ(reply.address, loopback6);
    EXPECT_EQ(reply.dataSize, 32);
    EXPECT_EQ(reply.ttl, 64) << "the reply's own hop limit";
    EXPECT_EQ(reply.tos, 0x20) << "reflected";
    EXPECT_EQ(reply.optionsSize, 0);
    EXPECT_TRUE(reply.receivedAtNs.has_value());
    auto seen = awaitType6(system, wire, 128);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->datagram.hopLimit, std::optional<uint8_t>(5));
    EXPECT_EQ(seen->datagram.trafficClass, std::optional<uint8_t>(0x20));

    // One counter numbers the requests of both sockets, and one wait collects from both.
    EchoStart first = system.startEcho(handle, request(loopback, 8));
    EchoStart second = system.startEcho(handle, request(loopback6, 8));
    ASSERT_TRUE(first.sent && second.sent);
    EXPECT_NE(first.sequence, second.sequence);
    std::vector<uint16_t> answered;
    for (int i = 0; i < 2; ++i) {
        std::optional<EchoAnswer> answer = system.collectEcho(handle, 2'000'000'000);
        ASSERT_TRUE(answer.has_value() && answer->sequence.has_value()) << i;
        EXPECT_EQ(answer->reply.status, ipStatus::success);
        EXPECT_EQ(answer->reply.address,
                  *answer->sequence == first.sequence ? IpAddress(loopback) : loopback6);
        answered.push_back(*answer->sequence);
    }
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ(answered, (std::vector<uint16_t>{std::min(first.sequence, second.sequence),
                                               std::max(first.sequence, second.sequence)}));
    EXPECT_FALSE(system.collectEcho(handle, 20'000'000).has_value());
    system.closeSocket(wire);
    system.closeEchoHandle(handle);
}

TEST_F(LinuxEchoServiceTest, Ipv6FailuresOnThisHostGiveOneReplyWithAStatus) {
    PrivateNetwork network(NetworkSettings{.loopbackMtu = 1500});
    SKIP_WITHOUT_IPV6(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    // The IPv6 socket cannot open (no descriptor left): the request fails at once. Nothing but
    // the call runs under the limit, as the sanitizers' checks need descriptors of their own.
    EchoServiceRequest first = request(loopback6, 8);
    EchoStart refused;
    {
        testing::ScopedDescriptorLimit noneLeft(0);
        refused = system.startEcho(handle, first);
    }
    EXPECT_FALSE(refused.sent);
    ASSERT_TRUE(refused.answered.has_value());
    EXPECT_EQ(refused.answered->status, ipStatus::generalFailure);
    EXPECT_EQ(refused.answered->address, loopback6);
    struct Case {
        const char* name;
        IpAddress destination;
        uint16_t dataSize;
        bool dontFragment;
        uint32_t status;
    };
    const Case cases[] = {
        {"no route", ipv6("fd00:5152::1"), 32, false, ipStatus::destinationNetUnreachable},
        {"too big under Don't Fragment", loopback6, 2000, true, ipStatus::packetTooBig},
        {"the same size in fragments", loopback6, 2000, false, ipStatus::success},
        {"link-local without a zone", ipv6("fe80::1"), 8, false, ipStatus::generalFailure},
    };
    for (const Case& c : cases) {
        EchoServiceRequest sent = request(c.destination, c.dataSize, 500);
        sent.dontFragment = c.dontFragment;
        EchoServiceReply reply;
        EXPECT_EQ(system.sendEcho(handle, sent, reply), 1) << c.name;
        EXPECT_EQ(reply.status, c.status) << c.name;
        EXPECT_EQ(reply.address, c.destination) << c.name;
        if (c.status == ipStatus::success) {
            EXPECT_EQ(reply.dataSize, c.dataSize) << c.name;
        }
    }
    system.closeEchoHandle(handle);
}

// The test responder over IPv6: it answers the first ICMPv6 echo request it sees.
class Responder6 {
  public:
    using Script =
        std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>& request)>;

    explicit Responder6(Script script) : script_(std::move(script)) {
        socket_ = testing::openUnfilteredRawIpv6Socket();
        if (socket_ != invalidSocket) thread_ = std::thread([this] { run(); });
    }
    ~Responder6() {
        if (thread_.joinable()) thread_.join();
        if (socket_ != invalidSocket) system_.closeSocket(socket_);
    }
    bool ready() const { return socket_ != invalidSocket; }

  private:
    void run() {
        auto request = awaitType6(system_, socket_, 128);
        if (!request) return;
        for (const auto& message : script_(request->bytes)) {
            system_.sendTo(socket_, message.data(), message.size(), loopback6);
        }
    }

    LinuxPlatform system_;
    SocketHandle socket_ = invalidSocket;
    Script script_;
    std::thread thread_;
};

std::vector<uint8_t> errorFor6(std::vector<uint8_t> request, uint8_t type, uint8_t code,
                               uint16_t sequenceShift) {
    uint16_t sequence = static_cast<uint16_t>((request[6] << 8 | request[7]) + sequenceShift);
    request[6] = static_cast<uint8_t>(sequence >> 8);
    request[7] = static_cast<uint8_t>(sequence);
    const uint8_t rest[4] = {0, 0, 0x05, 0x78};  // an MTU for "packet too big"
    return icmpv6Message(type, code, rest, quotedPacket6(58, request, request.size()));
}

TEST_F(LinuxEchoServiceTest, QueuedIcmpv6ErrorsBecomeRepliesWithTheirStatus) {
    struct Case {
        uint8_t type;
        uint8_t code;
        uint32_t status;
    };
    // The full table is checked without sockets; these show the kernel's delivery of each type.
    const Case cases[] = {
        {1, 0, ipStatus::destinationNetUnreachable},  {1, 3, ipStatus::destinationHostUnreachable},
        {1, 4, ipStatus::destinationPortUnreachable}, {2, 0, ipStatus::packetTooBig},
        {3, 0, ipStatus::ttlExpiredTransit},          {3, 1, ipStatus::reassemblyTimeExceeded},
        {4, 0, ipStatus::parameterProblem},
    };
    PrivateNetwork network(NetworkSettings{.ignoreEchoRequests = true});
    SKIP_WITHOUT_IPV6(network);
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    for (const Case& c : cases) {
        // An error about an earlier request comes first and must not count.
        Responder6 responder([&c](const std::vector<uint8_t>& request) {
            return std::vector<std::vector<uint8_t>>{errorFor6(request, 1, 3, 0xFFFF),
                                                     errorFor6(request, c.type, c.code, 0)};
        });
        ASSERT_TRUE(responder.ready());
        EchoServiceReply reply;
        EXPECT_EQ(system.sendEcho(handle, request(loopback6, 16), reply), 1)
            << "type " << int{c.type} << " code " << int{c.code};
        EXPECT_EQ(reply.status, c.status) << "type " << int{c.type} << " code " << int{c.code};
        EXPECT_EQ(reply.address, loopback6);
    }
    system.closeEchoHandle(handle);
}

}  // namespace
}  // namespace quilvane
