// What the echo engines keep for the whole run.
#include "echo/echo_session.h"

#include <string>

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
            if (std::string remedy = platform().echoServiceRemedy(rawSocketRefused_);
                !remedy.empty()) {
                printMessage("%s", remedy.c_str());
            }
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
