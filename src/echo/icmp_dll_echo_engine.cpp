// The echo-service engine: binds the service once, resolves, then runs its echo cycle.
#include "echo/icmp_dll_echo_engine.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "echo/attempt_loop.h"
#include "echo/echo_service_steps.h"
#include "echo/host_header.h"
#include "echo/icmp_wire.h"
#include "report/host_report.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"
#include "support/random.h"

namespace quilvane {

namespace {

// An error status comes back at once (an ICMP error, a local failure), so it is followed by the
// interval as a reply is, or a failing host would be flooded; a time-out has waited its time.
constexpr PauseRules echoServicePauseRules{
    .replied = {PauseAfter::Length::Interval, true},
    .timedOut = {PauseAfter::Length::None, true},
    .endedEarly = {PauseAfter::Length::Interval, true},
    .sendFailed = {PauseAfter::Length::Interval, true},
    .refused = {PauseAfter::Length::Interval, true},
};

// The attempts of one host over an open echo handle.
class EchoServiceCycle final : public EchoAttempts {
  public:
    EchoServiceCycle(EchoHandle handle, const Target& target, const std::string& host,
                     const EchoJob& job, CPerfTimer& timer)
        : handle_(handle),
          host_(host),
          timer_(timer),
          randomData_(job.pattern.empty()),
          retries_(job.retries),
          report_(job.settings, job.inRound, target.destination.family()),
          data_(static_cast<size_t>(std::max(job.settings.dataSize, 0))),
          routeOption_(buildRecordRouteOption(job.settings.recordRoutes)),
          request_(makeRequest(job.settings, target.destination, data_, routeOption_)) {
        formatAddress(target.display, displayText_);
        // Random data is drawn afresh at the top of every attempt, so only a pattern is laid
        // down here.
        fillPattern(data_.data(), data_.size(), job.pattern);
    }

    void Run() {
        runAttemptLoop(*this, report_, host_.c_str(), echoServicePauseRules, sent_, retries_);
    }

    HostOutcome Finish() {
        std::optional<PingStatistics> statistics = report_.finish(host_.c_str(), sent_);
        return {EngineResult::Pinged, report_.status(), statistics};
    }

    // Low bytes of the generator, seeded with the tick count.
    void beforeAttempt() override {
        if (!randomData_) return;
        seedRandom(platform().tickCount());
        fillRandomBytes(data_.data(), data_.size());
    }

    AttemptEnd attempt(uint32_t sent) override {
        EchoServiceReply reply{};
        timer_.Start(true);
        int64_t realAtStart = platform().realTimeNs();
        int replies = platform().sendEcho(handle_, request_, reply);
        timer_.Stop();
        if (replies == 1) {
            timer_.TakeOffNs(kernelWaitNs(platform().realTimeNs(), reply.receivedAtNs) +
                             sendDelayNs(realAtStart, reply.sentAtNs));
        }
        LocalTime stamp = report_.readStamp();
        if (replies != 1) {
            report_.timeout(stamp, displayText_);
            return AttemptEnd::TimedOut;
        }
        if (std::optional<ExitStatus> status =
                reportUnusableReply(reply, report_.settings().dataSize, displayText_)) {
            report_.setStatus(*status);
            return AttemptEnd::EndedEarly;
        }
        size_t optionsLength = std::min<size_t>(reply.optionsSize, sizeof reply.options);
        report_.reply(stamp, sent, displayText_, timer_.ElapsedMs(), reply.ttl, reply.tos,
                      optionsLength != 0 ? reply.options : nullptr, optionsLength);
        return AttemptEnd::Replied;
    }

  private:
    EchoHandle handle_;
    const std::string& host_;
    CPerfTimer& timer_;
    bool randomData_;
    int32_t retries_;
    HostReport report_;
    std::vector<uint8_t> data_;
    RecordRouteOption routeOption_;
    EchoServiceRequest request_;
    char displayText_[addressTextSize] = {};
    uint32_t sent_ = 0;
};

}  // namespace

HostOutcome IcmpDllEchoEngine::PingHost(const std::string& host, const EchoJob& job) {
    // Every host of the run is skipped; none of them was pinged.
    if (!session_.bindEchoService()) {
        return {EngineResult::ServiceUnavailable, ExitStatus::NotPinged, std::nullopt};
    }
    EchoJob own = job;
    std::optional<Target> target = resolveTarget(host, own.family, own.settings);
    if (!target) return {EngineResult::HostNotFound, ExitStatus::NotPinged, std::nullopt};
    session_.dropRoutesForIpv6(target->destination, own.settings);

    EchoHandle handle = platform().createEchoHandle();
    if (handle == invalidEchoHandle) {
        printMessage("Could not get a valid ICMP handle\n");
        return {EngineResult::ServiceUnavailable, ExitStatus::NotPinged, std::nullopt};
    }
    EchoServiceCycle cycle(handle, *target, host, own, timer_);
    printEngineHostHeader(host, target->officialName, target->display, own.settings, own.inRound);
    cycle.Run();
    platform().closeEchoHandle(handle);
    return cycle.Finish();
}

}  // namespace quilvane
