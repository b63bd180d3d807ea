// Process-wide state of the echo engines: one of each per process, shared by every engine in turn.
#pragma once

#include <cstdint>

#include "echo/icmp_wire.h"
#include "support/perf_timer.h"

namespace quilvane {

// The sequence number of the next raw echo request: 1 when the process starts, advanced for
// every request attempted and never reset, so the numbers run on across hosts and passes.
extern uint16_t nextSequence;

// Datagrams already rejected while waiting for the current reply; 0 outside a receive step.
extern int receiveRetries;

// The request being sent, and the split copy of the last datagram received.
extern uint8_t requestBuffer[requestBufferSize];
extern uint8_t replyCopy[receiveBufferSize];

// The round-trip timers, one per engine kind; nothing else uses them.
CPerfTimer& rawTimer();
CPerfTimer& icmpDllTimer();

}  // namespace quilvane
