// Raw ICMP messages for the platform tests: echo requests with their checksum, and what a raw
// socket reads back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/platform.h"

namespace quilvane::testing {

inline uint16_t checksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (length % 2 != 0) sum += static_cast<uint32_t>(bytes[length - 1] << 8);
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An ICMP message with its checksum: type, code, the four bytes after the checksum, the body.
inline std::vector<uint8_t> icmpMessage(uint8_t type, uint8_t code, const uint8_t rest[4],
                                        const std::vector<uint8_t>& body) {
    std::vector<uint8_t> message(8 + body.size());
    message[0] = type;
    message[1] = code;
    std::copy(rest, rest + 4, message.begin() + 4);
    std::copy(body.begin(), body.end(), message.begin() + 8);
    uint16_t sum = checksum(message.data(), message.size());
    message[2] = static_cast<uint8_t>(sum >> 8);
    message[3] = static_cast<uint8_t>(sum);
    return message;
}

inline std::vector<uint8_t> echoRequest(uint16_t identifier, uint16_t sequence, size_t dataSize) {
    const uint8_t rest[4] = {static_cast<uint8_t>(identifier >> 8),
                             static_cast<uint8_t>(identifier), static_cast<uint8_t>(sequence >> 8),
                             static_cast<uint8_t>(sequence)};
    std::vector<uint8_t> data(dataSize);
    for (size_t i = 0; i < dataSize; ++i) data[i] = static_cast<uint8_t>('a' + i % 26);
    return icmpMessage(8, 0, rest, data);
}

// The program's identifier as echoRequest must be given it: the engine writes it low byte first.
inline uint16_t ourIdentifier(Platform& system) {
    auto thread = static_cast<uint16_t>(system.currentThreadId());
    return static_cast<uint16_t>((thread & 0xFF) << 8 | thread >> 8);
}

// A datagram from the raw socket: its IPv4 header and the ICMP message behind it.
struct ReceivedDatagram {
    std::vector<uint8_t> bytes;
    Ipv4 sender = 0;
    size_t headerSize() const { return (bytes[0] & 0x0F) * 4u; }
    const uint8_t* icmp() const { return bytes.data() + headerSize(); }
    size_t icmpSize() const { return bytes.size() - headerSize(); }
    uint8_t type() const { return icmp()[0]; }
    uint16_t sequence() const { return static_cast<uint16_t>(icmp()[6] << 8 | icmp()[7]); }
};

inline bool succeeded(const std::optional<SystemError>& error) {
    return !error.has_value();
}

// Reads an option into value; false when the read failed.
inline bool readOption(Platform& system, SocketHandle socket, SocketOption option, int& value) {
    SystemResult<int> read = system.getSocketOption(socket, option);
    if (read.ok()) value = read.value;
    return read.ok();
}

// The next datagram of the given ICMP type within timeoutMs, skipping others.
inline std::optional<ReceivedDatagram> awaitType(Platform& system, SocketHandle socket,
                                                 uint8_t type, uint32_t timeoutMs = 2000) {
    for (int i = 0; i < 20; ++i) {
        if (!system.waitReadable(socket, timeoutMs).value) return std::nullopt;
        ReceivedDatagram datagram;
        datagram.bytes.resize(70'000);
        SystemResult<Datagram> received =
            system.receiveFrom(socket, datagram.bytes.data(), datagram.bytes.size());
        if (!received.ok() || received.value.length < 28) continue;
        datagram.sender = received.value.sender.ipv4();
        datagram.bytes.resize(received.value.length);
        if (datagram.type() == type) return datagram;
    }
    return std::nullopt;
}

}  // namespace quilvane::testing
