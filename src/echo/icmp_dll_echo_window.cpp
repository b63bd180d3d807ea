// Many echo requests in flight through the echo service, on one handle.
#include "echo/icmp_dll_echo_window.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "echo/echo_service_steps.h"
#include "support/inet.h"
#include "support/random.h"

namespace quilvane {

IcmpDllEchoWindow::IcmpDllEchoWindow(EchoSession& session, uint32_t window)
    : EchoWindow(window), session_(session) {}

IcmpDllEchoWindow::~IcmpDllEchoWindow() {
    if (handle_ != invalidEchoHandle) platform().closeEchoHandle(handle_);
}

bool IcmpDllEchoWindow::open() {
    // Tried quietly: a run that cannot bind or open says so for each host one by one.
    if (platform().loadEchoService() != EchoServiceState::Ready) return false;
    handle_ = platform().createEchoHandle();
    return handle_ != invalidEchoHandle && session_.bindEchoService();
}

// The steps of one dispatch up to its wait, as a one-by-one run takes them.
void IcmpDllEchoWindow::start(Flight& flight, WindowedDispatches&, const std::string& host) {
    HeldLines held(flight.held);
    if (announce_) announce_(flight.job);
    std::optional<Target> target = resolveTarget(host, flight.job.family, flight.job.settings);
    if (!target) {
        flight.outcome = {EngineResult::HostNotFound, ExitStatus::NotPinged, std::nullopt};
        flight.done = true;
        return;
    }
    session_.dropRoutesForIpv6(target->destination, flight.job.settings);
    const PingSettings& settings = flight.job.settings;
    flight.destination = target->destination;
    flight.report.emplace(settings, true, flight.destination.family());
    formatAddress(target->display, flight.destinationText);
    flight.report->checkInterimRequest(flight.destinationText, 0);
    if (flight.report->refusedByDontFragment()) {
        flight.finish();
        return;
    }
    send(flight);
}

void IcmpDllEchoWindow::sendAgain(Flight& flight) {
    HeldLines held(flight.held);
    send(flight);
}

// Sends one try of the flight's request; the service numbers it.
void IcmpDllEchoWindow::send(Flight& flight) {
    const PingSettings& settings = flight.job.settings;
    std::vector<uint8_t> data(static_cast<size_t>(std::max(settings.dataSize, 0)));
    if (flight.job.pattern.empty()) {
        // Random data as each one-by-one attempt draws it: reseeded with the tick count.
        seedRandom(platform().tickCount());
        fillRandomBytes(data.data(), data.size());
    } else {
        fillPattern(data.data(), data.size(), flight.job.pattern);
    }
    RecordRouteOption routeOption = buildRecordRouteOption(settings.recordRoutes);
    flight.sentAtNs = nowNs();
    flight.timer.Start(true);
    EchoStart started =
        platform().startEcho(handle_, makeRequest(settings, flight.destination, data, routeOption));
    flight.sequence = started.sequence;
    if (started.answered) {
        flight.timer.Stop();
        judge(flight, *started.answered);
    } else if (started.sent) {
        awaitAnswer(flight);
    } else {
        flight.timer.Stop();
        flight.report->timeout(flight.report->readStamp(), flight.destinationText);
        flight.finish();
    }
}

// An answer counts for the request whose sequence number it carries: a reply only when it comes
// from that request's destination, an error only when it quotes a request sent there (errors come
// from the router or host that raised them).
void IcmpDllEchoWindow::collect(int64_t timeoutNs) {
    std::optional<EchoAnswer> answer = platform().collectEcho(handle_, timeoutNs);
    while (answer) {
        Flight* flight = answer->sequence ? awaiting(*answer->sequence) : nullptr;
        if (flight != nullptr && aboutDestination(*answer, flight->destination)) {
            flight->timer.Stop();
            flight->kernelWaitNs =
                kernelWaitNs(platform().realTimeNs(), answer->reply.receivedAtNs);
            flight->timer.TakeOffNs(flight->kernelWaitNs);
            judge(*flight, answer->reply);
            answered(*flight);
        }
        answer = platform().collectEcho(handle_, 0);
    }
}

void IcmpDllEchoWindow::judge(Flight& flight, const EchoServiceReply& reply) {
    HeldLines held(flight.held);
    LocalTime stamp = flight.report->readStamp();
    const PingSettings& settings = flight.job.settings;
    if (std::optional<ExitStatus> status =
            reportUnusableReply(reply, settings.dataSize, flight.destinationText)) {
        flight.report->setStatus(*status);
    } else {
        size_t optionsLength = std::min<size_t>(reply.optionsSize, sizeof reply.options);
        flight.report->reply(stamp, 1, flight.destinationText, flight.timer.ElapsedMs(), reply.ttl,
                             reply.tos, optionsLength != 0 ? reply.options : nullptr,
                             optionsLength);
    }
    flight.finish();
}

void IcmpDllEchoWindow::timeOut(Flight& flight) {
    HeldLines held(flight.held);
    flight.report->timeout(flight.report->readStamp(), flight.destinationText);
    flight.finish();
}

}  // namespace quilvane
