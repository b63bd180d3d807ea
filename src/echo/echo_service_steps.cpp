// The steps of pinging through the echo service that one request and many in flight share.
#include "echo/echo_service_steps.h"

#include "support/inet.h"
#include "support/output_sink.h"
#include "support/printable_text.h"

namespace quilvane {

std::optional<Target> resolveTarget(const std::string& host, FamilyChoice family,
                                    PingSettings& settings) {
    Ipv4 dotted = dottedAddress(host, family);
    SystemResult<HostEntry> entry = platform().getHostByName(host, family);
    if (dotted == inaddrNone) {
        if (!entry.ok()) {
            printMessage("Could not resolve the host name %s\n", printableText(host).c_str());
            return std::nullopt;
        }
        return Target{entry.value.address, entry.value.address, entry.value.officialName};
    }
    if (entry.ok()) return Target{dotted, entry.value.address, entry.value.officialName};
    if (settings.resolveNames != 0) {
        settings.resolveNames = 0;
        printMessage("Host %s cannot be resolved. Resolve addresses to hostnames turned off.\n",
                     printableText(host).c_str());
    }
    return Target{dotted, dotted, {}};
}

EchoServiceRequest makeRequest(const PingSettings& settings, const IpAddress& destination,
                               const std::vector<uint8_t>& data,
                               const RecordRouteOption& routeOption) {
    EchoServiceRequest request;
    request.destination = destination;
    request.data = data.data();
    request.dataSize = static_cast<uint16_t>(data.size());
    request.ttl = static_cast<uint8_t>(settings.ttl);
    request.tos = static_cast<uint8_t>(settings.tos);
    request.dontFragment = settings.dontFragment != 0;
    if (routeOption.length != 0) {
        request.options = routeOption.bytes;
        request.optionsSize = routeOption.length;
    }
    request.timeoutMs = static_cast<uint32_t>(settings.timeoutMs);
    return request;
}

std::optional<ExitStatus> reportUnusableReply(const EchoServiceReply& reply, int32_t dataSize,
                                              const char* displayText) {
    if (reply.status != ipStatus::success) {
        printMessage("Incorrect IP status: %ld\n", static_cast<long>(reply.status));
        return ExitStatus::NotEchoReply;
    }
    if (reply.dataSize != dataSize) {
        printMessage("Too few bytes from %s\n", displayText);
        return ExitStatus::TooFewBytes;
    }
    return std::nullopt;
}

}  // namespace quilvane
