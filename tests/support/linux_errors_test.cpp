// Error numbers and texts of the Linux layer, and the ping socket's message bytes and statuses.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <vector>

#include "support/linux/echo_messages.h"
#include "support/linux/errors.h"
#include "support/linux/resolver.h"
#include "support/platform.h"

namespace quilvane::linux_detail {
namespace {

TEST(SocketErrorNumbers, ErrnoValuesWithAWindowsSocketsEquivalent) {
    const std::vector<std::pair<int, int>> table = {
        {EPERM, 10013},           {EACCES, 10013},          {EINTR, 10004},
        {EBADF, 10009},           {EFAULT, 10014},          {EINVAL, 10022},
        {EMFILE, 10024},          {EAGAIN, 10060},          {EWOULDBLOCK, 10060},
        {ETIMEDOUT, 10060},       {ENOTSOCK, 10038},        {EMSGSIZE, 10040},
        {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
        {EAFNOSUPPORT, 10047},    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
        {ENETUNREACH, 10051},     {ENOBUFS, 10055},         {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},    {ENOPROTOOPT, 10042},
    };
    for (auto [errnoValue, expected] : table) {
        EXPECT_EQ(socketErrorFromErrno(errnoValue), expected) << "errno " << errnoValue;
    }
    EXPECT_EQ(socketErrorFromErrno(EACCES), wsa::accessDenied);
    EXPECT_EQ(socketErrorFromErrno(EAGAIN), wsa::timedOut);
}

TEST(SocketErrorNumbers, ErrnoValuesWithoutOnePassThrough) {
    for (int errnoValue : {ENOENT, ENOMEM, EIO, ENOSPC, 0, 4242}) {
        EXPECT_EQ(socketErrorFromErrno(errnoValue), errnoValue);
    }
}

TEST(SocketErrorNumbers, ResolverCodesBecomeTheFourHostErrors) {
    EXPECT_EQ(resolverErrorFromGai(EAI_NONAME), wsa::hostNotFound);
    EXPECT_EQ(resolverErrorFromGai(EAI_AGAIN), wsa::tryAgain);
    EXPECT_EQ(resolverErrorFromGai(EAI_FAIL), wsa::noRecovery);
    EXPECT_EQ(resolverErrorFromGai(EAI_NODATA), wsa::noData);
    EXPECT_EQ(resolverErrorFromGai(EAI_ADDRFAMILY), wsa::noData);
    EXPECT_EQ(resolverErrorFromGai(EAI_MEMORY), wsa::noRecovery);
    EXPECT_EQ(resolverErrorFromGai(EAI_SYSTEM), wsa::noRecovery);
}

TEST(ErrorTexts, AreTheSystemsUntranslatedTextWithALineEnd) {
    EXPECT_EQ(errnoText(EPERM), "Operation not permitted\n");
    EXPECT_EQ(errnoText(ENETUNREACH), "Network is unreachable\n");
    EXPECT_EQ(errnoText(EBADF), "Bad file descriptor\n");
    EXPECT_EQ(errnoText(99999), "Unknown error 99999\n");
    EXPECT_EQ(resolverText(EAI_AGAIN, 0), "Temporary failure in name resolution\n");
    EXPECT_EQ(resolverText(EAI_SYSTEM, EMFILE), "Too many open files\n");
}

TEST(DottedText, DigitsAndDotsNamingAnAddress) {
    EXPECT_EQ(parseDottedText("10.0.0.1"), std::optional<Ipv4>(0x0100000Au));
    EXPECT_EQ(parseDottedText("255.255.255.255"), std::optional<Ipv4>(0xFFFFFFFFu));
    EXPECT_EQ(parseDottedText("127.1"), std::optional<Ipv4>(0x0100007Fu));
    for (const char* text : {"", "host", "10.0.0.1 ", "10.0.0.1\r\n", " 10.0.0.1", "1.2.3.256",
                             "10.0.0.x", "0x7f.1", "1.2.3.4.5"}) {
        EXPECT_FALSE(parseDottedText(text).has_value()) << '"' << text << '"';
    }
}

TEST(PingMessages, RequestIsTypeEightWithTheSequenceAndTheData) {
    const uint8_t data[] = {'a', 'b', 'c'};
    std::vector<uint8_t> message;
    buildPingRequest(0x1234, data, 3, message);
    EXPECT_EQ(message, (std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0x12, 0x34, 'a', 'b', 'c'}));
    buildPingRequest(7, nullptr, 0, message);
    EXPECT_EQ(message, (std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0, 7}));
    buildPingRequest(0x1234, data, 1, message, AddressFamily::V6);
    EXPECT_EQ(message, (std::vector<uint8_t>{128, 0, 0, 0, 0, 0, 0x12, 0x34, 'a'}));
}

TEST(PingMessages, ReplySequenceOnlyForEchoReplies) {
    const uint8_t reply[] = {0, 0, 0xAB, 0xCD, 0x11, 0x22, 0x01, 0x02, 'x'};
    EXPECT_EQ(echoReplySequence(reply, sizeof reply), std::optional<uint16_t>(0x0102));
    EXPECT_EQ(echoReplySequence(reply, 8), std::optional<uint16_t>(0x0102));
    EXPECT_FALSE(echoReplySequence(reply, 7).has_value());
    const uint8_t request[] = {8, 0, 0, 0, 0, 0, 0x01, 0x02};
    EXPECT_FALSE(echoReplySequence(request, sizeof request).has_value());
    EXPECT_EQ(quotedRequestSequence(request, sizeof request), std::optional<uint16_t>(0x0102));
    EXPECT_FALSE(quotedRequestSequence(reply, sizeof reply).has_value());
    EXPECT_FALSE(quotedRequestSequence(request, 0).has_value());

    // Over IPv6 only the ICMPv6 types count: 129 answers, 128 is quoted.
    const uint8_t reply6[] = {129, 0, 0, 0, 0x11, 0x22, 0x03, 0x04};
    const uint8_t request6[] = {128, 0, 0, 0, 0x11, 0x22, 0x03, 0x04};
    const auto v6 = AddressFamily::V6;
    EXPECT_EQ(echoReplySequence(reply6, 8, v6), std::optional<uint16_t>(0x0304));
    EXPECT_FALSE(echoReplySequence(reply, sizeof reply, v6).has_value());
    EXPECT_FALSE(echoReplySequence(reply6, 8).has_value());
    EXPECT_EQ(quotedRequestSequence(request6, 8, v6), std::optional<uint16_t>(0x0304));
    EXPECT_FALSE(quotedRequestSequence(request, sizeof request, v6).has_value());
    EXPECT_FALSE(quotedRequestSequence(request6, 7, v6).has_value());
}

TEST(PingMessages, IcmpErrorsBecomeIpStatuses) {
    struct Case {
        uint8_t type;
        uint8_t code;
        uint32_t status;
    };
    const Case cases[] = {
        {11, 0, ipStatus::ttlExpiredTransit},
        {11, 1, ipStatus::generalFailure},
        {3, 0, ipStatus::destinationNetUnreachable},
        {3, 1, ipStatus::destinationHostUnreachable},
        {3, 2, ipStatus::destinationProtocolUnreachable},
        {3, 3, ipStatus::destinationPortUnreachable},
        {3, 4, ipStatus::packetTooBig},
        {3, 5, ipStatus::badRoute},
        {3, 13, ipStatus::generalFailure},
        {12, 0, ipStatus::generalFailure},
        {5, 1, ipStatus::generalFailure},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(statusForIcmpError(c.type, c.code), c.status)
            << "type " << int{c.type} << " code " << int{c.code};
    }
}

TEST(PingMessages, Icmpv6ErrorsBecomeIpStatuses) {
    struct Case {
        uint8_t type;
        uint8_t code;
        uint32_t status;
    };
    const Case cases[] = {
        {1, 0, ipStatus::destinationNetUnreachable},       // no route
        {1, 1, ipStatus::destinationProtocolUnreachable},  // administratively prohibited
        {1, 2, ipStatus::destinationNetUnreachable},       // beyond the source's scope
        {1, 3, ipStatus::destinationHostUnreachable},      // address unreachable
        {1, 4, ipStatus::destinationPortUnreachable},
        {1, 5, ipStatus::destinationProtocolUnreachable},  // source address policy
        {1, 6, ipStatus::destinationProtocolUnreachable},  // reject route
        {1, 7, ipStatus::destinationHostUnreachable},
        {1, 255, ipStatus::destinationHostUnreachable},
        {2, 0, ipStatus::packetTooBig},
        {2, 9, ipStatus::packetTooBig},
        {3, 0, ipStatus::ttlExpiredTransit},
        {3, 1, ipStatus::reassemblyTimeExceeded},
        {3, 2, ipStatus::generalFailure},
        {4, 0, ipStatus::parameterProblem},
        {4, 2, ipStatus::parameterProblem},
        {0, 0, ipStatus::generalFailure},
        {5, 0, ipStatus::generalFailure},
        {11, 0, ipStatus::generalFailure},  // the IPv4 type numbers mean nothing here
        {128, 0, ipStatus::generalFailure},
        {129, 0, ipStatus::generalFailure},
        {137, 0, ipStatus::generalFailure},  // a redirect
    };
    for (const Case& c : cases) {
        EXPECT_EQ(statusForIcmpv6Error(c.type, c.code), c.status)
            << "type " << int{c.type} << " code " << int{c.code};
    }
}

TEST(PingMessages, LocalFailuresBecomeIpStatuses) {
    EXPECT_EQ(statusForLocalError(ENETUNREACH), ipStatus::destinationNetUnreachable);
    EXPECT_EQ(statusForLocalError(EHOSTUNREACH), ipStatus::destinationHostUnreachable);
    EXPECT_EQ(statusForLocalError(EMSGSIZE), ipStatus::packetTooBig);
    EXPECT_EQ(statusForLocalError(EACCES), ipStatus::generalFailure);
    EXPECT_EQ(statusForLocalError(EINVAL), ipStatus::generalFailure);
}

}  // namespace
}  // namespace quilvane::linux_detail
