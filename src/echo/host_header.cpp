// The host header line both engines print before the first request of a single-host run.
#include "echo/host_header.h"

#include <optional>

#include "report/lines.h"
#include "support/inet.h"

namespace quilvane {

void printEngineHostHeader(const std::string& host, const std::string& officialName,
                           const IpAddress& address, const PingSettings& settings, bool inRound) {
    if (inRound || settings.limitOutput != 0) return;
    std::optional<std::string> name;
    if (inetAddr(host.c_str()) == inaddrNone && !isIpv6Literal(host)) {
        name = officialName;
    } else if (settings.resolveNames != 0) {
        name = platform().getHostByAddr(address);
    }
    printHostHeader(name, addressText(address).c_str(), settings.dataSize, settings.intervalMs);
}

}  // namespace quilvane
