// The kernel socket filter that keeps other programs' ICMP traffic off the raw socket.
#pragma once

#include <cstdint>

namespace quilvane::linux_detail {

// Lets through only what can answer a request carrying identifier (as the engine writes it, low
// byte first): echo replies with it, and ICMP errors (unreachable, source quench, redirect, time
// exceeded, parameter problem) that quote an echo request with it. False when the kernel refused
// the filter; the socket then stays as it was.
bool attachReplyFilter(int descriptor, uint16_t identifier);

// Drops what the socket queued before its filter was in place.
void discardQueuedDatagrams(int descriptor);

}  // namespace quilvane::linux_detail
