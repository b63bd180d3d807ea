// The bytes of the kernel ping socket's echo messages, and what its errors mean as IP statuses.
#include "support/linux/echo_messages.h"

#include <cerrno>
#include <cstring>

#include "support/platform.h"

namespace quilvane::linux_detail {

namespace {

constexpr uint8_t echoReplyType = 0;
constexpr uint8_t unreachableType = 3;
constexpr uint8_t echoRequestType = 8;
constexpr uint8_t timeExceededType = 11;

uint16_t readBig16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

void buildPingRequest(uint16_t sequence, const uint8_t* data, uint16_t dataSize,
                      std::vector<uint8_t>& message) {
    message.assign(icmpHeaderSize + (data != nullptr ? dataSize : 0), 0);
    message[0] = echoRequestType;
    message[6] = static_cast<uint8_t>(sequence >> 8);
    message[7] = static_cast<uint8_t>(sequence);
    if (data != nullptr && dataSize > 0)
        std::memcpy(message.data() + icmpHeaderSize, data, dataSize);
}

std::optional<uint16_t> echoReplySequence(const uint8_t* message, size_t length) {
    if (length < icmpHeaderSize || message[0] != echoReplyType) return std::nullopt;
    return readBig16(message + 6);
}

std::optional<uint16_t> quotedRequestSequence(const uint8_t* quote, size_t length) {
    if (length < icmpHeaderSize || quote[0] != echoRequestType) return std::nullopt;
    return readBig16(quote + 6);
}

uint32_t statusForIcmpError(uint8_t type, uint8_t code) {
    if (type == timeExceededType) {
        // Code 1 is a fragment reassembly time-out at the far end, not a TTL run out on the way.
        return code == 0 ? ipStatus::ttlExpiredTransit : ipStatus::generalFailure;
    }
    if (type != unreachableType) return ipStatus::generalFailure;
    switch (code) {
        case 0:
            return ipStatus::destinationNetUnreachable;
        case 1:
            return ipStatus::destinationHostUnreachable;
        case 2:
            return ipStatus::destinationProtocolUnreachable;
        case 3:
            return ipStatus::destinationPortUnreachable;
        case 4:
            return ipStatus::packetTooBig;
        case 5:
            return ipStatus::badRoute;
        default:
            return ipStatus::generalFailure;
    }
}

uint32_t statusForLocalError(int errnoValue) {
    switch (errnoValue) {
        case ENETUNREACH:
            return ipStatus::destinationNetUnreachable;
        case EHOSTUNREACH:
            return ipStatus::destinationHostUnreachable;
        case EMSGSIZE:
            return ipStatus::packetTooBig;
        default:
            return ipStatus::generalFailure;
    }
}

}  // namespace quilvane::linux_detail
