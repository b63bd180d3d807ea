// The steps of pinging over a raw socket that one request and many in flight share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "echo/echo_session.h"
#include "echo/icmp_wire.h"
#include "settings/ping_settings.h"
#include "support/perf_timer.h"
#include "support/platform.h"

namespace quilvane {

class PlatformTicks final : public TickSource {
  public:
    uint32_t tickCount() override { return platform().tickCount(); }
};

// Read afresh for every request and every reply check, as the thread is what owns the echoes.
inline uint16_t currentIdentifier() {
    return static_cast<uint16_t>(platform().currentThreadId());
}

// Prints a failed socket call as "name - system text" and returns its error number.
int ReportSocketError(const char* callName, const SystemError& error);

// Time-outs, then TTL, TOS and Don't Fragment as the run asks (each read first), then record route.
void setSocketOptions(SocketHandle socket, const PingSettings& settings);

// A raw socket of family with the run's options; IPv6 has no route option to set.
SystemResult<SocketHandle> openRawSocketWithOptions(AddressFamily family, PingSettings settings);

struct SentRequest {
    std::optional<SystemError> error;  // the send's, when it failed
    int64_t sendDelayNs = 0;           // from the timer's start to the request's transmit stamp
    SentEcho echo;                     // what went out, for matching what comes back
    int64_t realAtStartNs = 0;         // the real-time clock when the timer started
};

// A request built and its timer started, not yet sent.
struct PreparedRequest {
    size_t length = 0;
    SentEcho echo;
    int64_t realAtStartNs = 0;  // the real-time clock when the timer started
};

// Builds the request with this sequence number into buffer (room for requestBufferSize bytes) and
// starts the timer: a request of a batch, sent with the others a moment later, whose transmit
// stamp then says how much later it left.
PreparedRequest prepareEchoRequest(uint8_t* buffer, const IpAddress& destination, int32_t dataSize,
                                   std::string_view pattern, uint16_t sequence, CPerfTimer& timer);

// Builds the request with this sequence number in the session's buffer and sends it; the timer
// starts right before the send call, whatever its result, and the transmit stamp says how much
// later the request left.
SentRequest sendEchoRequest(SocketHandle socket, const IpAddress& destination, int32_t dataSize,
                            std::string_view pattern, uint16_t sequence, EchoSession& session,
                            CPerfTimer& timer);

// Judges what a raw socket of this family received into the session's receive buffer (length -1
// for a failed receive) against the awaited request. Over IPv6 the hop limit and traffic class
// come beside the message, in received.
ParsedReply judgeReceived(AddressFamily family, const Datagram& received, long length,
                          int32_t dataSize, uint16_t sequence, uint16_t identifier,
                          EchoSession& session, uint8_t* optionArea);

// Judges the same against the one rule for the request sent (matchReply, errorAbout): an ICMP
// error about that request stays NotEchoReply, one about anything else is passed over as a stray
// (WrongSequence for an earlier request of ours to the same destination, else
// ForeignIdentifier).
ParsedReply judgeAgainst(const Datagram& received, long length, int32_t dataSize,
                         const SentEcho& sent, EchoSession& session, uint8_t* optionArea);

// Datagrams already queued when a request goes out answer an earlier one, or none: they are
// dropped before the send so that they cannot use up its receive step's limits.
void dropQueued(SocketHandle socket, EchoSession& session);

struct Destination {
    IpAddress address;
    std::string officialName;
};

// The host's address, or none after "Host not found". A dotted host the resolver refuses is still
// pinged, only without names from then on (resolveNames is cleared in settings), unless IPv6 is
// forced.
std::optional<Destination> resolveDestination(const std::string& host, FamilyChoice family,
                                              PingSettings& settings);

}  // namespace quilvane
