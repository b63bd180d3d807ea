// The echo engine over the system's echo service: binds it once, resolves, then loops per request.
#include "echo/icmp_dll_echo_engine.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "echo/echo_state.h"
#include "echo/host_header.h"
#include "echo/icmp_wire.h"
#include "report/host_report.h"
#include "support/console_control.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"
#include "support/random.h"

namespace quilvane {

namespace {

bool bindingTried = false;
bool serviceBound = false;

// The first call binds and reports any failure; later calls only repeat the outcome, silently.
bool bindEchoService() {
    if (bindingTried) return serviceBound;
    bindingTried = true;
    switch (platform().loadEchoService()) {
        case EchoServiceState::Ready:
            serviceBound = true;
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
    return serviceBound;
}

struct Target {
    Ipv4 destination = 0;
    Ipv4 display = 0;  // the address the lines show
    std::string officialName;
};

std::optional<Target> resolveTarget(const std::string& host, PingSettings& settings) {
    Ipv4 dotted = inetAddr(host.c_str());
    std::optional<HostEntry> entry = platform().getHostByName(host);
    if (dotted == inaddrNone) {
        if (!entry) {
            printMessage("Could not resolve the host name %s\n", printableText(host).c_str());
            lastStatus = 2;
            return std::nullopt;
        }
        return Target{entry->address, entry->address, entry->officialName};
    }
    if (entry) return Target{dotted, entry->address, entry->officialName};
    if (settings.resolveNames != 0) {
        settings.resolveNames = 0;
        printMessage("Host %s cannot be resolved. Resolve addresses to hostnames turned off.\n",
                     printableText(host).c_str());
    }
    return Target{dotted, dotted, {}};
}

EchoServiceRequest makeRequest(const PingSettings& settings, Ipv4 destination,
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

// The request loop of one host over an open echo handle.
class EchoServiceCycle {
  public:
    EchoServiceCycle(EchoHandle handle, const Target& target, const std::string& host,
                     const PingSettings& settings, bool inRound)
        : handle_(handle),
          host_(host),
          report_(settings, inRound),
          data_(static_cast<size_t>(std::max(settings.dataSize, 0))),
          routeOption_(buildRecordRouteOption(settings.recordRoutes)),
          request_(makeRequest(settings, target.destination, data_, routeOption_)) {
        formatIpv4(target.display, displayText_);
        // Random data is drawn afresh at the top of every attempt, so only a pattern is laid
        // down here.
        fillPattern(data_.data(), data_.size(), pingData);
    }

    void Run() {
        while (!stopRequested) {
            if (pingData.empty()) drawRandomData();
            report_.checkInterimRequest(host_.c_str(), sent_);
            if (countReached()) return;
            ++sent_;
            if (report_.refusedByDontFragment()) continue;
            bool answered = SendOneEcho();
            if (countReached()) return;
            if (answered) platform().sleep(static_cast<uint32_t>(settings().intervalMs));
        }
    }

    void Finish(PingStatistics* statistics) { report_.finish(host_.c_str(), sent_, statistics); }

  private:
    const PingSettings& settings() { return report_.settings(); }

    bool countReached() {
        return settings().continuous == 0 && sent_ == static_cast<uint32_t>(settings().count);
    }

    // Low bytes of the generator, seeded with the tick count.
    void drawRandomData() {
        seedRandom(platform().tickCount());
        fillRandomBytes(data_.data(), data_.size());
    }

    // True for a good reply, the only outcome followed by the interval.
    bool SendOneEcho() {
        EchoServiceReply reply{};
        timer_.Start(true);
        int replies = platform().sendEcho(handle_, request_, reply);
        timer_.Stop();
        LocalTime stamp = report_.readStamp();
        if (replies != 1) {
            report_.timeout(stamp, displayText_);
            return false;
        }
        if (reply.status != ipStatus::success) {
            printMessage("Incorrect IP status: %ld\n", static_cast<long>(reply.status));
            lastStatus = 5;
            return false;
        }
        if (reply.dataSize != settings().dataSize) {
            printMessage("Too few bytes from %s\n", displayText_);
            lastStatus = 4;
            return false;
        }
        size_t optionsLength = std::min<size_t>(reply.optionsSize, sizeof reply.options);
        report_.reply(stamp, sent_, displayText_, timer_.ElapsedMs(), reply.ttl, reply.tos,
                      optionsLength != 0 ? reply.options : nullptr, optionsLength);
        return true;
    }

    EchoHandle handle_;
    // Taken before the first echo, so a first use never sits inside a measured round trip.
    CPerfTimer& timer_ = icmpDllTimer();
    const std::string& host_;
    HostReport report_;
    std::vector<uint8_t> data_;
    RecordRouteOption routeOption_;
    EchoServiceRequest request_;
    char displayText_[16] = {};
    uint32_t sent_ = 0;
};

}  // namespace

void IcmpDllEchoEngine::PingHost(const std::string& host, bool inRound,
                                 PingStatistics* statistics) {
    if (!bindEchoService()) {
        // Every host of the run is skipped; none of them was pinged.
        lastStatus = 2;
        return;
    }
    std::optional<Target> target = resolveTarget(host, settings);
    if (!target) return;

    EchoHandle handle = platform().createEchoHandle();
    if (handle == invalidEchoHandle) {
        printMessage("Could not get a valid ICMP handle\n");
        lastStatus = 2;
        return;
    }
    EchoServiceCycle cycle(handle, *target, host, settings, inRound);
    printEngineHostHeader(host, target->officialName, target->display, settings, inRound);
    cycle.Run();
    platform().closeEchoHandle(handle);
    cycle.Finish(statistics);
}

void resetEchoServiceBindingForTest() {
    bindingTried = false;
    serviceBound = false;
}

}  // namespace quilvane
