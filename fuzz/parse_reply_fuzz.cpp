// Fuzzes the split and judging of received datagrams, IPv4 and ICMPv6, the one matching rule of
// replies and errors, and the ping socket's reading of replies and queued errors: any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "echo/icmp_wire.h"
#include "support/linux/echo_messages.h"
#include "support/platform.h"

namespace {

constexpr uint16_t identifier = 0xABCD;

// Input: request data size (2 bytes, little-endian), awaited sequence (2 bytes), a flag byte
// (bit 0: the receive failed; bit 1: an ICMPv6 message from an IPv6 socket), then the datagram.
struct Input {
    int32_t dataSize = 0;
    uint16_t sequence = 0;
    bool receiveFailed = false;
    bool ipv6 = false;
    std::vector<uint8_t> datagram;
};

Input decode(const uint8_t* data, size_t size) {
    Input input;
    if (size < 5) return input;
    input.dataSize = data[0] | (data[1] << 8);
    input.sequence = static_cast<uint16_t>(data[2] | (data[3] << 8));
    input.receiveFailed = (data[4] & 1) != 0;
    input.ipv6 = (data[4] & 2) != 0;
    size_t length = std::min(size - 5, quilvane::receiveBufferSize);
    input.datagram.assign(data + 5, data + 5 + length);
    return input;
}

bool isKnown(quilvane::ReplyVerdict verdict) {
    using quilvane::ReplyVerdict;
    switch (verdict) {
        case ReplyVerdict::Match:
        case ReplyVerdict::TooShort:
        case ReplyVerdict::NotEchoReply:
        case ReplyVerdict::ForeignIdentifier:
        case ReplyVerdict::WrongSequence:
            return true;
    }
    return false;
}

// An ICMPv6 message is judged without any option area, and what it answers is read in bounds.
void judgeIpv6(const std::vector<uint8_t>& message, long length, uint16_t sequence,
               uint8_t* replyCopy) {
    using namespace quilvane;
    ParsedReply reply = parseReply6(message.data(), length, sequence, identifier, replyCopy);
    if (!isKnown(reply.verdict) || reply.optionsTaken) std::abort();
    if (reply.verdict == ReplyVerdict::Match && length < 8) std::abort();
    bool isError = false;
    std::optional<EchoIds> ids = answeredRequest6(message.data(), message.size(), isError);
    if (!ids && isError) std::abort();
    if (isError && message.size() < 56) std::abort();
}

// The request the datagram is judged against: the destination 198.18.0.1, the awaited sequence
// and a stamp taken from the datagram's own bytes, so that both outcomes are reached.
quilvane::SentEcho sentFor(const Input& input) {
    quilvane::SentEcho sent;
    sent.destination = quilvane::Ipv4{0x010012C6};
    sent.identifier = identifier;
    sent.sequence = input.sequence;
    if (input.datagram.size() >= 4) std::memcpy(&sent.stamp, input.datagram.data(), 4);
    return sent;
}

// What the window and the one-by-one step decide: a reply is taken only with every part of the
// rule, an error only when it quotes the request sent.
void judgeMatching(const Input& input, const quilvane::ParsedReply& reply) {
    using namespace quilvane;
    SentEcho sent = sentFor(input);
    IpAddress sender = (input.dataSize & 1) != 0 ? sent.destination : IpAddress(Ipv4{0x020012C6});
    ReplyVerdict verdict = matchReply(reply, sender, sent);
    if (!isKnown(verdict)) std::abort();
    if (verdict == ReplyVerdict::Match &&
        (reply.verdict != ReplyVerdict::Match || !sameHost(sender, sent.destination) ||
         !reply.stampReceived || reply.timeStamp != sent.stamp)) {
        std::abort();
    }
    bool isError = false;
    const std::vector<uint8_t>& bytes = input.datagram;
    std::optional<EchoIds> ids = input.ipv6 ? answeredRequest6(bytes.data(), bytes.size(), isError)
                                            : answeredRequest(bytes.data(), bytes.size(), isError);
    if (ids && isError && errorAbout(*ids, sent) &&
        (ids->sequence != sent.sequence || !sameHost(ids->destination, sent.destination))) {
        std::abort();
    }
    if (ids && !isError && ids->destination != IpAddress()) std::abort();
}

// The ping socket hands over the ICMP message alone, a reply or the quote of a queued error.
void judgePingSocket(const Input& input) {
    using namespace quilvane;
    AddressFamily family = input.ipv6 ? AddressFamily::V6 : AddressFamily::V4;
    const std::vector<uint8_t>& bytes = input.datagram;
    std::optional<uint16_t> replied =
        linux_detail::echoReplySequence(bytes.data(), bytes.size(), family);
    std::optional<uint16_t> quoted =
        linux_detail::quotedRequestSequence(bytes.data(), bytes.size(), family);
    if ((replied || quoted) && bytes.size() < 8) std::abort();
    if (replied && quoted) std::abort();
    EchoAnswer answer;
    answer.sequence = replied ? replied : quoted;
    answer.reply.status = quoted ? ipStatus::destinationHostUnreachable : ipStatus::success;
    IpAddress destination = Ipv4{0x010012C6};
    if ((input.dataSize & 2) != 0) answer.quotedDestination = IpAddress(Ipv4{0x020012C6});
    answer.reply.address = (input.dataSize & 1) != 0 ? destination : IpAddress(Ipv4{0x020012C6});
    bool about = aboutDestination(answer, destination);
    if (quoted && about && answer.quotedDestination) std::abort();
    if (replied && about && answer.reply.address != destination) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quilvane;
    Input input = decode(data, size);
    // Exact-size heap blocks: any read or write past them is reported.
    std::vector<uint8_t> datagram = input.datagram;
    auto* replyCopy = static_cast<uint8_t*>(std::malloc(receiveBufferSize));
    auto* options = static_cast<uint8_t*>(std::malloc(optionAreaSize));
    long length = input.receiveFailed ? -1 : static_cast<long>(datagram.size());
    judgePingSocket(input);
    if (input.ipv6) {
        judgeIpv6(datagram, length, input.sequence, replyCopy);
        if (length >= 0) {
            judgeMatching(
                input, parseReply6(datagram.data(), length, input.sequence, identifier, replyCopy));
        }
        std::free(options);
        std::free(replyCopy);
        return 0;
    }

    ParsedReply reply = parseReply(datagram.data(), length, input.dataSize, input.sequence,
                                   identifier, replyCopy, options);

    long plainLength = 28 + std::min<long>(input.dataSize, 65500);
    bool expectOptions = length > plainLength;
    if (reply.optionsTaken != expectOptions) std::abort();
    if (!reply.optionsTaken) {
        for (size_t i = 0; i < optionAreaSize; ++i) {
            if (options[i] != 0) std::abort();
        }
    }
    if (reply.verdict == ReplyVerdict::Match && length < 28) std::abort();
    if (!isKnown(reply.verdict)) std::abort();
    judgeMatching(input, reply);
    std::free(options);
    std::free(replyCopy);
    return 0;
}
