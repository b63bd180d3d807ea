// The steps of pinging through the echo service that one request and many in flight share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "echo/icmp_wire.h"
#include "settings/ping_settings.h"
#include "support/platform.h"

namespace quilvane {

struct Target {
    IpAddress destination;
    IpAddress display;  // the address the lines show
    std::string officialName;
};

// The host's addresses, or none after "Could not resolve the host name". A dotted host the
// resolver refuses is still pinged, only without names from then on (resolveNames is cleared).
std::optional<Target> resolveTarget(const std::string& host, FamilyChoice family,
                                    PingSettings& settings);

// The request for data (which must outlive it) with the settings' TTL, TOS, Don't Fragment,
// route option and time-out.
EchoServiceRequest makeRequest(const PingSettings& settings, const IpAddress& destination,
                               const std::vector<uint8_t>& data,
                               const RecordRouteOption& routeOption);

// A reply that is not a good one prints its line here and gives its status: "Incorrect IP
// status" (5) or "Too few bytes from" (4). None for a good reply.
std::optional<ExitStatus> reportUnusableReply(const EchoServiceReply& reply, int32_t dataSize,
                                              const char* displayText);

}  // namespace quilvane
