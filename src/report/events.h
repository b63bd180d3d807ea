// What happened to the echo requests of a run, as plain values apart from how it is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/ping_statistics.h"
#include "settings/ping_settings.h"
#include "support/platform.h"

namespace quilvane {

// Which dispatch an event belongs to: the host as the list holds it, and the request's place.
struct HostContext {
    size_t index = 0;      // the host's place in the list
    std::string host;      // the list entry, as the user gave it
    uint64_t request = 0;  // the host's first request number of this dispatch (1 on)
};

// Common to every event of one echo request.
struct EchoEvent {
    const HostContext* context = nullptr;
    const PingSettings* settings = nullptr;  // the dispatch's settings: size, stamps, -v
    LocalTime stamp;                         // read only when lines carry one (-T, -D)
    int64_t wallClockNs = 0;                 // the real-time clock when it happened
    const char* address = "";                // the address its line shows
    uint64_t request = 0;                    // the host's request number in the run (1 on)
};

struct ReplyEvent {
    EchoEvent echo;
    uint32_t number = 0;  // the number of "Reply[N]"
    uint32_t sent = 0;    // the host's attempt count when the reply came
    long double ms = 0;   // the whole measurement, in milliseconds
    uint8_t ttl = 0;      // the hop limit over IPv6
    uint8_t tos = 0;      // the traffic class over IPv6
};

struct TimeoutEvent {
    EchoEvent echo;
    std::optional<int32_t> code;  // a coded time-out shows the verdict's number
};

// A request too large for one unfragmented packet with -f: nothing was sent.
struct DontFragmentEvent {
    EchoEvent echo;
};

// The option area of a reply that came back with options (IPv4 record route).
struct RouteEvent {
    EchoEvent echo;
    const uint8_t* options = nullptr;
    size_t length = 0;
    int32_t recordRoutes = 0;
};

// A line the engines print of their own (a failed call, a host not found, an IP status).
struct ErrorLineEvent {
    const HostContext* context = nullptr;
    int64_t wallClockNs = 0;
    std::string_view text;  // one line, without its line end
};

// An engine is done with a host; statistics are those of its attempts (none when nothing was
// attempted). printsBlocks: a single-host run that shows its own statistics.
struct HostFinishedEvent {
    const HostContext* context = nullptr;
    const char* heading = "";
    std::optional<PingStatistics> statistics;
    bool printsBlocks = false;
};

// One dispatch of the run is over, in list order: what it sent and received (none when nothing
// was attempted, a host not found for one).
struct DispatchFinishedEvent {
    const HostContext* context = nullptr;
    std::optional<PingStatistics> statistics;
};

struct PassFinishedEvent {
    uint64_t pass = 0;
};

// The run is over: its totals (many hosts) or its one host's statistics (single host).
struct RunFinishedEvent {
    PingStatistics total;
    bool manyHosts = false;
    bool limitOutput = false;
};

}  // namespace quilvane
