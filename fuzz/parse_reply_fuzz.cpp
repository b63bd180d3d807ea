// Fuzzes the split and judging of received datagrams, IPv4 and ICMPv6: any bytes, any length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "echo/icmp_wire.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quilvane;
    Input input = decode(data, size);
    // Exact-size heap blocks: any read or write past them is reported.
    std::vector<uint8_t> datagram = input.datagram;
    auto* replyCopy = static_cast<uint8_t*>(std::malloc(receiveBufferSize));
    auto* options = static_cast<uint8_t*>(std::malloc(optionAreaSize));
    long length = input.receiveFailed ? -1 : static_cast<long>(datagram.size());
    if (input.ipv6) {
        judgeIpv6(datagram, length, input.sequence, replyCopy);
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
    std::free(options);
    std::free(replyCopy);
    return 0;
}
