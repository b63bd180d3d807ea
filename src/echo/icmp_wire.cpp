// ICMP and ICMPv6 echo wire format: checksum, request building, record-route option, judging.
#include "echo/icmp_wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/random.h"

namespace quilvane {

namespace {

constexpr uint8_t echoRequestType = 8;
constexpr uint8_t echoReplyType = 0;
constexpr uint8_t recordRouteType = 7;
constexpr int32_t smallestDataSize = 4;
constexpr int32_t largestDataSize = 65500;
constexpr long ipHeaderSize = 20;
constexpr long icmpHeaderSize = 8;
constexpr uint8_t echoRequestType6 = 128;
constexpr uint8_t echoReplyType6 = 129;
constexpr size_t ipv6HeaderSize = 40;
constexpr uint8_t nextHeaderIcmp6 = 58;

void writeLittle16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void writeLittle32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t readLittle16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t readLittle32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
           (uint32_t{at[3]} << 24);
}

void fillWithRandomBytes(uint8_t* fill, size_t fillLength, uint32_t seed) {
    seedRandom(seed);
    fillRandomBytes(fill, fillLength);
}

}  // namespace

// Lays the pattern down once, then doubles what is already written: log(F) copies, not F / L.
void fillPattern(uint8_t* data, size_t length, std::string_view pattern) {
    size_t first = std::min(pattern.size(), length);
    if (first == 0) return;  // an empty pattern gives nothing to double: the loop would not end
    std::memcpy(data, pattern.data(), first);
    size_t written = first;
    // Copies stay whole multiples of the pattern until the last, so the tail is its first bytes.
    while (written < length) {
        size_t chunk = std::min(written, length - written);
        std::memcpy(data + written, data, chunk);
        written += chunk;
    }
}

uint16_t internetChecksum(const uint8_t* bytes, size_t length) {
    // Native 64-bit words: the ones'-complement sum does not depend on the order of the bytes
    // inside a word, and 64-bit lanes with their carries counted apart keep the loop short.
    uint64_t sum = 0;
    uint64_t carries = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        sum += word;
        carries += sum < word ? 1 : 0;
    }
    if (i < length) {
        uint64_t tail = 0;  // an odd last byte counts as if followed by a zero byte
        std::memcpy(&tail, bytes + i, length - i);
        sum += tail;
        carries += sum < tail ? 1 : 0;
    }

    // Fold to 16 bits with end-around carry; 2^64, 2^32 and 2^16 are all 1 modulo 0xFFFF.
    uint64_t folded = (sum & 0xFFFFFFFFu) + (sum >> 32) + carries;
    folded = (folded & 0xFFFFFFFFu) + (folded >> 32);
    folded = (folded & 0xFFFFu) + (folded >> 16);
    folded = (folded & 0xFFFFu) + (folded >> 16);
    folded = (folded & 0xFFFFu) + (folded >> 16);
    auto checksum = static_cast<uint16_t>(~folded & 0xFFFFu);
    // The value describes the bytes as stored, first byte low, whatever the host's byte order.
    if constexpr (std::endian::native == std::endian::big) {
        checksum = static_cast<uint16_t>((checksum >> 8) | (checksum << 8));
    }
    return checksum;
}

size_t buildEchoRequest(uint8_t* buffer, int32_t dataSize, uint16_t sequence,
                        std::string_view pattern, uint16_t identifier, TickSource& ticks) {
    // The buffer holds the largest request only; a size out of range must not run past it.
    int32_t size = std::clamp(dataSize, smallestDataSize, largestDataSize);
    size_t fillLength = static_cast<size_t>(size - smallestDataSize);
    size_t messageLength = static_cast<size_t>(size) + icmpHeaderSize;

    buffer[0] = echoRequestType;
    buffer[1] = 0;
    writeLittle16(buffer + 2, 0);
    writeLittle16(buffer + 4, identifier);
    writeLittle16(buffer + 6, sequence);

    uint8_t* fill = buffer + 12;
    if (!pattern.empty()) {
        fillPattern(fill, fillLength, pattern);
    } else {
        fillWithRandomBytes(fill, fillLength, ticks.tickCount());
    }

    writeLittle32(buffer + 8, ticks.tickCount());
    writeLittle16(buffer + 2, internetChecksum(buffer, messageLength));
    return messageLength;
}

uint32_t requestStamp(const uint8_t* request) {
    return readLittle32(request + 8);
}

ReplyVerdict matchReply(const ParsedReply& parsed, const IpAddress& sender, const SentEcho& sent) {
    if (parsed.verdict != ReplyVerdict::Match) return parsed.verdict;
    if (!sameHost(sender, sent.destination)) return ReplyVerdict::ForeignIdentifier;
    if (!parsed.stampReceived) return ReplyVerdict::TooShort;
    if (parsed.timeStamp != sent.stamp) return ReplyVerdict::WrongSequence;
    return ReplyVerdict::Match;
}

bool errorAbout(const EchoIds& quoted, const SentEcho& sent) {
    return quoted.identifier == sent.identifier && quoted.sequence == sent.sequence &&
           sameHost(quoted.destination, sent.destination);
}

RecordRouteOption buildRecordRouteOption(int32_t slots) {
    RecordRouteOption option;
    if (slots < 1 || slots > 9) return option;
    option.length = static_cast<uint8_t>(3 + 4 * slots);
    option.bytes[0] = recordRouteType;
    option.bytes[1] = option.length;
    option.bytes[2] = 4;
    return option;
}

std::optional<EchoIds> answeredRequest(const uint8_t* datagram, size_t length, bool& isError) {
    isError = false;
    if (length < static_cast<size_t>(ipHeaderSize + icmpHeaderSize)) return std::nullopt;
    size_t headerLength = (datagram[0] & 0x0Fu) * 4u;
    if (headerLength < static_cast<size_t>(ipHeaderSize) ||
        length < headerLength + icmpHeaderSize) {
        return std::nullopt;
    }
    const uint8_t* icmp = datagram + headerLength;
    if (icmp[0] == echoReplyType)
        return EchoIds{readLittle16(icmp + 4), readLittle16(icmp + 6), {}};
    const uint8_t type = icmp[0];
    if (type != 3 && type != 4 && type != 5 && type != 11 && type != 12) return std::nullopt;
    // The quote: the request's IPv4 header, then at least the first 8 bytes of its ICMP message.
    const uint8_t* quote = icmp + icmpHeaderSize;
    size_t quoted = length - headerLength - icmpHeaderSize;
    if (quoted < static_cast<size_t>(ipHeaderSize)) return std::nullopt;
    size_t quotedHeader = (quote[0] & 0x0Fu) * 4u;
    if (quotedHeader < static_cast<size_t>(ipHeaderSize) || quoted < quotedHeader + 8 ||
        quote[9] != 1 || quote[quotedHeader] != echoRequestType) {
        return std::nullopt;
    }
    isError = true;
    Ipv4 quotedDestination;
    std::memcpy(&quotedDestination, quote + 16, sizeof quotedDestination);
    return EchoIds{readLittle16(quote + quotedHeader + 4), readLittle16(quote + quotedHeader + 6),
                   quotedDestination};
}

ParsedReply parseReply(const uint8_t* datagram, long receivedLength, int32_t dataSize,
                       uint16_t expectedSequence, uint16_t identifier, uint8_t* replyCopy,
                       uint8_t* optionArea) {
    ParsedReply result;
    std::memset(optionArea, 0, optionAreaSize);
    if (receivedLength < 0) return result;

    // Sizes a receive cannot produce are kept inside the buffers rather than trusted.
    long received = std::min(receivedLength, static_cast<long>(receiveBufferSize));
    long data = std::clamp<long>(dataSize, 0, largestDataSize);
    long plainLength = ipHeaderSize + icmpHeaderSize + data;

    if (received > plainLength) {
        auto optionLength = static_cast<size_t>(
            std::min(received - plainLength, static_cast<long>(optionAreaSize)));
        std::memcpy(replyCopy, datagram, ipHeaderSize);
        std::memcpy(optionArea, datagram + ipHeaderSize, optionLength);
        std::memcpy(replyCopy + ipHeaderSize, datagram + ipHeaderSize + optionLength,
                    static_cast<size_t>(icmpHeaderSize + data));
        result.optionsTaken = true;
    } else if (received > 0) {
        std::memcpy(replyCopy, datagram, static_cast<size_t>(received));
    }

    long headerLength = (replyCopy[0] & 0x0F) * 4;
    // A header length below 20 would let the fields at offsets 20 to 27 come from an earlier
    // datagram still in the copy; such a datagram is too short to be judged.
    if (received < headerLength + icmpHeaderSize || received < ipHeaderSize + icmpHeaderSize) {
        return result;
    }
    // The message lies where the header length says, whatever the split took as options: a reply
    // longer than the request carries no options for its extra bytes.
    const uint8_t* message = datagram + headerLength;
    auto messageLength = static_cast<size_t>(received - headerLength);
    // A reply damaged on the way is no answer; the checksum covers the message as it arrived.
    if (message[0] != echoReplyType || internetChecksum(message, messageLength) != 0) {
        result.verdict = ReplyVerdict::NotEchoReply;
        return result;
    }
    if (readLittle16(message + 4) != identifier) {
        result.verdict = ReplyVerdict::ForeignIdentifier;
        return result;
    }
    if (readLittle16(message + 6) != expectedSequence) {
        result.verdict = ReplyVerdict::WrongSequence;
        return result;
    }
    result.verdict = ReplyVerdict::Match;
    result.ttl = replyCopy[8];
    result.tos = replyCopy[1];
    // The echoed time stamp only when this datagram brought it.
    result.stampReceived = messageLength >= icmpHeaderSize + 4;
    result.timeStamp = result.stampReceived ? readLittle32(message + 8) : 0;
    return result;
}

size_t buildEchoRequest6(uint8_t* buffer, int32_t dataSize, uint16_t sequence,
                         std::string_view pattern, uint16_t identifier, TickSource& ticks) {
    size_t length = buildEchoRequest(buffer, dataSize, sequence, pattern, identifier, ticks);
    buffer[0] = echoRequestType6;
    writeLittle16(buffer + 2, 0);
    return length;
}

std::optional<EchoIds> answeredRequest6(const uint8_t* message, size_t length, bool& isError) {
    isError = false;
    if (length < static_cast<size_t>(icmpHeaderSize)) return std::nullopt;
    if (message[0] == echoReplyType6) {
        return EchoIds{readLittle16(message + 4), readLittle16(message + 6), {}};
    }
    if (message[0] < 1 || message[0] > 4) return std::nullopt;
    // The quote: the request's IPv6 header with no extension header, then its ICMPv6 header.
    const uint8_t* quote = message + icmpHeaderSize;
    if (length < icmpHeaderSize + ipv6HeaderSize + icmpHeaderSize || quote[6] != nextHeaderIcmp6 ||
        quote[ipv6HeaderSize] != echoRequestType6) {
        return std::nullopt;
    }
    isError = true;
    Ipv6Bytes quotedDestination;
    std::memcpy(quotedDestination.data(), quote + 24, quotedDestination.size());
    return EchoIds{readLittle16(quote + ipv6HeaderSize + 4),
                   readLittle16(quote + ipv6HeaderSize + 6),
                   IpAddress::fromIpv6(quotedDestination)};
}

ParsedReply parseReply6(const uint8_t* message, long receivedLength, uint16_t expectedSequence,
                        uint16_t identifier, uint8_t* replyCopy) {
    ParsedReply result;
    if (receivedLength < 0) return result;
    long received = std::min(receivedLength, static_cast<long>(receiveBufferSize));
    if (received < icmpHeaderSize) return result;
    std::memcpy(replyCopy, message, static_cast<size_t>(received));
    if (replyCopy[0] != echoReplyType6) {
        result.verdict = ReplyVerdict::NotEchoReply;
    } else if (readLittle16(replyCopy + 4) != identifier) {
        result.verdict = ReplyVerdict::ForeignIdentifier;
    } else if (readLittle16(replyCopy + 6) != expectedSequence) {
        result.verdict = ReplyVerdict::WrongSequence;
    } else {
        result.verdict = ReplyVerdict::Match;
        result.stampReceived = received >= icmpHeaderSize + 4;
        result.timeStamp = result.stampReceived ? readLittle32(replyCopy + 8) : 0;
    }
    return result;
}

}  // namespace quilvane
