// ICMP echo wire format: checksum, request building, record-route option and reply judging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "settings/exit_status.h"
#include "support/ip_address.h"

namespace quilvane {

constexpr size_t requestBufferSize = 65508;
constexpr size_t receiveBufferSize = 65788;
constexpr size_t optionAreaSize = 40;

enum class ReplyVerdict : int {
    Match = 0,
    TooShort = 4,
    NotEchoReply = 5,
    ForeignIdentifier = 6,
    WrongSequence = 7,
};

// The status a receive step that ended with this verdict leaves; the coded time-out line shows it.
constexpr ExitStatus exitStatusOf(ReplyVerdict verdict) {
    switch (verdict) {
        case ReplyVerdict::Match:
            return ExitStatus::Replied;
        case ReplyVerdict::TooShort:
            return ExitStatus::TooFewBytes;
        case ReplyVerdict::NotEchoReply:
            return ExitStatus::NotEchoReply;
        case ReplyVerdict::ForeignIdentifier:
            return ExitStatus::ForeignIdentifier;
        case ReplyVerdict::WrongSequence:
            return ExitStatus::WrongSequence;
    }
    return ExitStatus::NotEchoReply;
}

uint16_t internetChecksum(const uint8_t* bytes, size_t length);

// Where building a request reads the clock: once to seed a random fill (no pattern), and once
// for the time stamp, after the fill and right before the checksum.
class TickSource {
  public:
    virtual uint32_t tickCount() = 0;

  protected:
    ~TickSource() = default;
};

// Lays pattern over length bytes: whole copies, then as much of it as still fits (an empty
// pattern writes nothing).
void fillPattern(uint8_t* data, size_t length, std::string_view pattern);

// Writes type, code, zero checksum, identifier and sequence (little-endian), the fill (pattern
// repeated, or random bytes seeded with the tick count), the time stamp, then the checksum.
// Returns dataSize + 8.
size_t buildEchoRequest(uint8_t* buffer, int32_t dataSize, uint16_t sequence,
                        std::string_view pattern, uint16_t identifier, TickSource& ticks);

// The ICMPv6 echo request: the same message with type 128 and the checksum left at 0, as the
// kernel computes it over the IPv6 pseudo-header.
size_t buildEchoRequest6(uint8_t* buffer, int32_t dataSize, uint16_t sequence,
                         std::string_view pattern, uint16_t identifier, TickSource& ticks);

struct RecordRouteOption {
    uint8_t bytes[39] = {};
    uint8_t length = 0;  // 0: no option (n outside 1..9)
};
RecordRouteOption buildRecordRouteOption(int32_t slots);

struct ParsedReply {
    ReplyVerdict verdict = ReplyVerdict::TooShort;
    bool optionsTaken = false;
    uint8_t ttl = 0;
    uint8_t tos = 0;
    uint32_t timeStamp = 0;
    bool stampReceived = false;  // the reply was long enough to bring the time stamp back
};

// The identifier and sequence number of one of our echo messages; for an ICMP error, also the
// destination of the request it quotes.
struct EchoIds {
    uint16_t identifier = 0;
    uint16_t sequence = 0;
    IpAddress destination;  // unset for an echo reply
};

// The time stamp a request built here carries, as it lies in the message.
uint32_t requestStamp(const uint8_t* request);

// What this run put into one request, for telling its answers from everything else.
struct SentEcho {
    IpAddress destination;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
    uint32_t stamp = 0;
};

// One rule for every engine: an echo reply judged Match by its identifier and sequence number
// still answers the request only when it comes from the request's destination (else
// ForeignIdentifier: another program's echo) and brings back the request's own time stamp (else
// WrongSequence: an earlier request whose number has come round; TooShort when too short to
// bring it). Other verdicts stay as they are.
ReplyVerdict matchReply(const ParsedReply& parsed, const IpAddress& sender, const SentEcho& sent);

// Whether an ICMP error that quotes these ids is about the request sent: our identifier and its
// sequence number, sent to its destination.
bool errorAbout(const EchoIds& quoted, const SentEcho& sent);

// Many requests in flight: which request a datagram (IPv4 header first) answers. An echo reply
// names it directly; an ICMP error (unreachable, source quench, redirect, time exceeded,
// parameter problem) names it through the echo request it quotes. None for anything else.
std::optional<EchoIds> answeredRequest(const uint8_t* datagram, size_t length, bool& isError);

// The same over IPv6, where a datagram starts at its ICMPv6 message: an echo reply (129), or an
// error (destination unreachable, packet too big, time exceeded, parameter problem) quoting the
// IPv6 header and the first 8 bytes of one of our echo requests (128).
std::optional<EchoIds> answeredRequest6(const uint8_t* message, size_t length, bool& isError);

// Splits datagram (receivedLength bytes, -1 for a failed receive) into replyCopy
// (receiveBufferSize bytes) and optionArea (cleared to 40 zero bytes first), then judges it. The
// split by length decides which bytes are kept as options; the ICMP message is judged where the
// header length says it starts, so a reply longer than the request is still read right. An echo
// reply whose ICMP checksum does not verify is judged NotEchoReply.
ParsedReply parseReply(const uint8_t* datagram, long receivedLength, int32_t dataSize,
                       uint16_t expectedSequence, uint16_t identifier, uint8_t* replyCopy,
                       uint8_t* optionArea);

// Judges an ICMPv6 message (receivedLength bytes, -1 for a failed receive) copied into replyCopy
// (receiveBufferSize bytes) as parseReply judges an IPv4 datagram. The kernel has verified its
// checksum; the hop limit and traffic class come beside the message, so ttl and tos stay 0.
ParsedReply parseReply6(const uint8_t* message, long receivedLength, uint16_t expectedSequence,
                        uint16_t identifier, uint8_t* replyCopy);

}  // namespace quilvane
