// What the echo engines keep for the whole run.
#include "echo/echo_session.h"

#include "support/output_sink.h"
#include "support/platform.h"

namespace quilvane {

bool EchoSession::bindEchoService() {
    if (bindingTried_) return serviceBound_;
    bindingTried_ = true;
    switch (platform().loadEchoService()) {
        case EchoServiceState::Ready:
            serviceBound_ = true;
            break;
        case EchoServiceState::NotLoadable:
            printMessage("Could not load the ICMP DLL\n");
            printMessage(
                "To ping, give this program the raw-socket right (setcap cap_net_raw+p) or "
                "allow ping sockets for your group (sysctl net.ipv4.ping_group_range).\n");
            break;
        case EchoServiceState::MissingOperation:
            printMessage("Could not find ICMP functions in the ICMP DLL\n");
            break;
    }
    return serviceBound_;
}

void EchoSession::dropRoutesForIpv6(const IpAddress& destination, PingSettings& settings) {
    if (!destination.isIpv6() || settings.recordRoutes == 0) return;
    settings.recordRoutes = 0;
    if (ipv6RoutesNoted_) return;
    ipv6RoutesNoted_ = true;
    printMessage("Route options disabled for IPv6 hosts\n");
}

}  // namespace quilvane
