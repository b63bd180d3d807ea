// The kernel socket filters that keep other programs' ICMP and ICMPv6 traffic off the raw sockets.
#pragma once

#include <cstdint>

namespace quilvane::linux_detail {

// Lets through only what can answer a request carrying identifier (as the engine writes it, low
// byte first): echo replies with it, and ICMP errors (unreachable, source quench, redirect, time
// exceeded, parameter problem) that quote an echo request with it. False when the kernel refused
// the filter; the socket then stays as it was.
bool attachReplyFilter(int descriptor, uint16_t identifier);

// The same for a raw ICMPv6 socket: echo replies with the identifier, and errors (unreachable,
// packet too big, time exceeded, parameter problem) that quote an echo request with it.
bool attachIpv6ReplyFilter(int descriptor, uint16_t identifier);

// Drops what the socket queued before its filter was in place.
void discardQueuedDatagrams(int descriptor);

}  // namespace quilvane::linux_detail
