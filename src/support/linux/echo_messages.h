// The bytes of the kernel ping socket's echo messages, and what its errors mean as IP statuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/ip_address.h"

namespace quilvane::linux_detail {

constexpr size_t icmpHeaderSize = 8;

// An echo request for the ping socket: type 8 (128 over IPv6), code 0, then the data. The kernel
// fills in the identifier (the socket's port) and the checksum.
void buildPingRequest(uint16_t sequence, const uint8_t* data, uint16_t dataSize,
                      std::vector<uint8_t>& message, AddressFamily family = AddressFamily::V4);

// The sequence number of an echo reply (type 0, or 129 over IPv6) as the ping socket delivers it
// (ICMP header and data, no IP header), or none for anything else.
std::optional<uint16_t> echoReplySequence(const uint8_t* message, size_t length,
                                          AddressFamily family = AddressFamily::V4);

// The sequence number of our echo request quoted in a queued ICMP error, or none when the error
// carries no quote (errors raised on this host).
std::optional<uint16_t> quotedRequestSequence(const uint8_t* quote, size_t length,
                                              AddressFamily family = AddressFamily::V4);

// The IP status for an ICMP error message of the given type and code.
uint32_t statusForIcmpError(uint8_t type, uint8_t code);

// The IP status for an ICMPv6 error message of the given type and code.
uint32_t statusForIcmpv6Error(uint8_t type, uint8_t code);

// The IP status for a send or delivery failure raised on this host (errno).
uint32_t statusForLocalError(int errnoValue);

}  // namespace quilvane::linux_detail
