// What both echo engines do with each attempt of one host: events, beeps, status and statistics.
#include "report/host_report.h"

#include "report/result_events.h"
#include "support/console_control.h"
#include "support/output_sink.h"

namespace quilvane {

namespace {

constexpr uint32_t beepFrequencyHz = 440;
constexpr uint32_t beepDurationMs = 100;
constexpr int32_t beepAfterReply = 1;
constexpr int32_t beepAfterTimeout = 2;
constexpr int32_t largestUnfragmentedData = 1472;   // 1500 less the IPv4 and ICMP headers
constexpr int32_t largestUnfragmentedData6 = 1452;  // 1500 less the IPv6 and ICMPv6 headers

}  // namespace

HostReport::HostReport(const PingSettings& settings, bool inRound, AddressFamily family)
    : settings_(settings),
      inRound_(inRound),
      largestUnfragmentedData_(family == AddressFamily::V6 ? largestUnfragmentedData6
                                                           : largestUnfragmentedData) {
    context_ = results().currentContext();
    // Lines held for this dispatch keep telling which host they belong to.
    results().bindHeldLines(heldOutputBuffer(), context_);
}

EchoEvent HostReport::echoEvent(const LocalTime& stamp, const char* address) const {
    return EchoEvent{&context_, &settings_,
                     stamp,     results().wallClockNs(),
                     address,   context_.request + attempt_ - 1};
}

bool HostReport::printsHostBlocks() const {
    return !inRound_ && settings_.limitOutput == 0;
}

LocalTime HostReport::readStamp() const {
    // Nothing else shows it, and the raw engine reads it inside the measured round trip.
    if (settings_.timeStamp == 0 && settings_.dateStamp == 0) return LocalTime{};
    return platform().localTime();
}

void HostReport::checkInterimRequest(const char* heading, uint32_t sent) {
    attempt_ = sent + 1;
    if (!breakRequested.exchange(false)) return;
    if (!printsHostBlocks()) return;
    PingStatistics current = statistics_;
    current.sent = sent;
    results().interimStatistics(heading, current);
}

bool HostReport::refusedByDontFragment() {
    if (settings_.dontFragment == 0 || settings_.dataSize <= largestUnfragmentedData_) {
        return false;
    }
    results().dontFragment(DontFragmentEvent{echoEvent(readStamp(), "")});
    status_ = ExitStatus::NeedsFragmenting;
    return true;
}

void HostReport::reply(const LocalTime& stamp, uint32_t sent, const char* address, long double ms,
                       uint8_t ttl, uint8_t tos, const uint8_t* options, size_t optionsLength) {
    uint32_t number =
        settings_.replyNumber != 0 ? static_cast<uint32_t>(settings_.replyNumber) : sent;
    EchoEvent echo = echoEvent(stamp, address);
    results().reply(ReplyEvent{echo, number, sent, ms, ttl, tos});
    status_ = ExitStatus::Replied;
    if (settings_.beepMode == beepAfterReply) platform().beep(beepFrequencyHz, beepDurationMs);
    if (options != nullptr) {
        results().route(RouteEvent{echo, options, optionsLength, settings_.recordRoutes});
    }
    ++statistics_.received;
    recordSample(statistics_, ms);
}

void HostReport::timeout(const LocalTime& stamp, const char* address) {
    results().timeout(TimeoutEvent{echoEvent(stamp, address), std::nullopt});
    status_ = ExitStatus::TimedOut;
    if (settings_.beepMode == beepAfterTimeout) platform().beep(beepFrequencyHz, beepDurationMs);
}

void HostReport::codedTimeout(const LocalTime& stamp, const char* address, ExitStatus code) {
    results().timeout(TimeoutEvent{echoEvent(stamp, address), exitCode(code)});
    status_ = ExitStatus::TimedOut;
    if (settings_.beepMode == beepAfterTimeout) platform().beep(beepFrequencyHz, beepDurationMs);
}

std::optional<PingStatistics> HostReport::finish(const char* heading, uint32_t sent) {
    if (statistics_.samples == 0) statistics_.minimum = 0.0;
    statistics_.sent = sent;
    std::optional<PingStatistics> statistics;
    if (sent != 0) statistics = statistics_;
    results().hostFinished(HostFinishedEvent{&context_, heading, statistics, printsHostBlocks()});
    results().releaseHeldLines(heldOutputBuffer());
    return statistics;
}

}  // namespace quilvane
