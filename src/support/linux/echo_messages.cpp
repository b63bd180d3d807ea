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

constexpr uint8_t unreachableType6 = 1;
constexpr uint8_t packetTooBigType6 = 2;
constexpr uint8_t timeExceededType6 = 3;
constexpr uint8_t parameterProblemType6 = 4;
constexpr uint8_t echoRequestType6 = 128;
constexpr uint8_t echoReplyType6 = 129;

uint8_t requestType(AddressFamily family) {
    return family == AddressFamily::V6 ? echoRequestType6 : echoRequestType;
}

uint16_t readBig16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

void buildPingRequest(uint16_t sequence, const uint8_t* data, uint16_t dataSize,
                      std::vector<uint8_t>& message, AddressFamily family) {
    message.assign(icmpHeaderSize + (data != nullptr ? dataSize : 0), 0);
    message[0] = requestType(family);
    message[6] = static_cast<uint8_t>(sequence >> 8);
    message[7] = static_cast<uint8_t>(sequence);
    if (data != nullptr && dataSize > 0)
        std::memcpy(message.data() + icmpHeaderSize, data, dataSize);
}

std::optional<uint16_t> echoReplySequence(const uint8_t* message, size_t length,
                                          AddressFamily family) {
    uint8_t replyType = family == AddressFamily::V6 ? echoReplyType6 : echoReplyType;
    if (length < icmpHeaderSize || message[0] != replyType) return std::nullopt;
    return readBig16(message + 6);
}

std::optional<uint16_t> quotedRequestSequence(const uint8_t* quote, size_t length,
                                              AddressFamily family) {
    if (length < icmpHeaderSize || quote[0] != requestType(family)) return std::nullopt;
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

uint32_t statusForIcmpv6Error(uint8_t type, uint8_t code) {
    switch (type) {
        case unreachableType6:
            switch (code) {
                case 0:  // no route
                case 2:  // beyond the scope of the source address
                    return ipStatus::destinationNetUnreachable;
                case 1:  // administratively prohibited
                case 5:  // source address failed ingress/egress policy
                case 6:  // reject route
                    return ipStatus::destinationProtocolUnreachable;
                case 4:
                    return ipStatus::destinationPortUnreachable;
                default:
                    return ipStatus::destinationHostUnreachable;
            }
        case packetTooBigType6:
            return ipStatus::packetTooBig;
        case timeExceededType6:
            if (code == 0) return ipStatus::ttlExpiredTransit;
            // Code 1 is a fragment reassembly time-out at the far end, not the hop limit.
            return code == 1 ? ipStatus::reassemblyTimeExceeded : ipStatus::generalFailure;
        case parameterProblemType6:
            return ipStatus::parameterProblem;
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
