// Many echo requests in flight over one raw socket, with the lines of a one-by-one run.
#include "echo/raw_echo_window.h"

#include <algorithm>
#include <optional>

#include "echo/icmp_wire.h"
#include "echo/raw_socket_steps.h"
#include "report/host_report.h"
#include "support/console_control.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/perf_timer.h"

namespace quilvane {

namespace {

// Requests leave at a steady 100,000 a second: a /16 goes out in under a second, and the replies
// of a full window arrive spread out rather than as one burst that overflows the receive queue.
constexpr int64_t requestSpacingNs = 10'000;
// Room for the replies that arrive while the program is printing.
constexpr int receiveBufferBytes = 4 << 20;
// The longest wait when nothing is due: a stop request is seen at least this often.
constexpr int64_t idleWaitNs = 100'000'000;

// Lines printed in its scope belong to one dispatch and wait for the dispatches before it.
class HeldLines {
  public:
    explicit HeldLines(std::string& held) { holdOutput(&held); }
    ~HeldLines() { holdOutput(nullptr); }
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
};

}  // namespace

struct RawEchoWindow::Flight {
    size_t index = 0;
    EchoJob job;
    std::string held;
    std::optional<HostReport> report;
    HostOutcome outcome;
    Ipv4 destination = 0;
    char destinationText[16] = {};
    uint16_t sequence = 0;
    CPerfTimer timer;
    int64_t deadlineNs = 0;
    bool errorSeen = false;  // an ICMP error quoted the request
    bool waiting = false;    // still in the queue of requests awaiting a reply
    bool done = false;

    void finish() {
        outcome = {EngineResult::Pinged, report->status(), report->finish(destinationText, 1)};
        done = true;
    }
};

RawEchoWindow::RawEchoWindow(EchoSession& session, uint32_t window)
    : session_(session),
      window_(std::max<uint32_t>(window, 1)),
      // Twice the window lets every other host be silent and still keep the window full.
      span_(2 * static_cast<size_t>(window_) + 64),
      queueEmpty_{wsa::timedOut, {}} {}

RawEchoWindow::~RawEchoWindow() {
    if (socket_ != invalidSocket) platform().closeSocket(socket_);
}

bool RawEchoWindow::open(const PingSettings& settings) {
    SystemResult<SocketHandle> opened = platform().openRawSocket();
    if (!opened.ok()) return false;
    socket_ = opened.value;
    {
        HeldLines held(openingLines_);
        setSocketOptions(socket_, settings);
    }
    int bytes = receiveBufferBytes;
    platform().setSocketOption(socket_, SocketOption::ReceiveBuffer, &bytes, sizeof bytes);
    return true;
}

int64_t RawEchoWindow::nowNs() const {
    long double ticks = static_cast<long double>(platform().performanceCounter());
    long double frequency = static_cast<long double>(platform().performanceFrequency());
    return static_cast<int64_t>(ticks * 1'000'000'000.0L / (frequency > 0 ? frequency : 1));
}

bool RawEchoWindow::runPass(WindowedDispatches& dispatches) {
    next_ = 0;
    bool stopped = false;
    nextSendNs_ = nowNs();
    for (;;) {
        int64_t now = nowNs();
        while (!stopped && next_ < dispatches.count() && bySequence_.size() < window_ &&
               flights_.size() < span_ && now >= nextSendNs_) {
            if (!beginNext(dispatches)) stopped = true;
            nextSendNs_ = std::max(nextSendNs_, now - requestSpacingNs) + requestSpacingNs;
        }
        // A second Ctrl-C ends every wait at once, as it ends a single one.
        expire(waitsCutShort() ? INT64_MAX : now);
        releaseFinished(dispatches);
        bool mayBegin = !stopped && next_ < dispatches.count();
        if (!mayBegin && flights_.empty()) return !stopped;
        SystemResult<bool> readable =
            platform().waitReadableNs(socket_, nextWakeUp(now, mayBegin) - now);
        if (readable.ok() && readable.value) receiveAll();
    }
}

int64_t RawEchoWindow::nextWakeUp(int64_t now, bool mayBegin) const {
    int64_t wakeUp = now + idleWaitNs;
    if (!waiting_.empty()) wakeUp = std::min(wakeUp, waiting_.front()->deadlineNs);
    bool room = bySequence_.size() < window_ && flights_.size() < span_;
    if (mayBegin && room) wakeUp = std::min(wakeUp, nextSendNs_);
    return std::max(wakeUp, now);
}

bool RawEchoWindow::beginNext(WindowedDispatches& dispatches) {
    auto flight = std::make_unique<Flight>();
    std::string host;
    if (!dispatches.begin(next_, host, flight->job)) return false;
    flight->index = next_++;
    flight->held = openingLines_;
    {
        HeldLines held(flight->held);
        std::optional<Destination> destination = resolveDestination(host, flight->job.settings);
        if (destination) {
            flight->destination = destination->address;
            send(*flight, dispatches, host);
        } else {
            flight->outcome = {EngineResult::HostNotFound, ExitStatus::NotPinged, std::nullopt};
            flight->done = true;
        }
    }
    flights_.push_back(std::move(flight));
    return true;
}

// The steps of one dispatch up to its wait, as a one-by-one run takes them.
void RawEchoWindow::send(Flight& flight, WindowedDispatches& dispatches, const std::string& host) {
    flight.report.emplace(flight.job.settings, true);
    formatIpv4(flight.destination, flight.destinationText);
    flight.report->checkInterimRequest(flight.destinationText, 0);
    flight.sequence = session_.takeSequence();
    if (flight.report->refusedByDontFragment()) {
        flight.finish();
        return;
    }
    PlatformTicks ticks;
    uint8_t* request = session_.requestBuffer();
    size_t length = buildEchoRequest(request, flight.job.settings.dataSize, flight.sequence,
                                     flight.job.pattern, currentIdentifier(), ticks);
    flight.timer.Start(true);
    SystemResult<size_t> sent = platform().sendTo(socket_, request, length, flight.destination);
    if (!sent.ok()) {
        if (ReportSocketError("sendto()", *sent.error) == wsa::accessDenied) {
            flight.outcome = dispatches.pingThroughEchoService(host, flight.job);
            flight.done = true;
            return;
        }
        flight.report->setStatus(ExitStatus::TimedOut);
        flight.finish();
        return;
    }
    auto timeoutMs = static_cast<uint32_t>(flight.job.settings.timeoutMs);
    flight.deadlineNs = nowNs() + int64_t{timeoutMs} * 1'000'000;
    flight.waiting = true;
    waiting_.push_back(&flight);
    bySequence_[flight.sequence] = &flight;
}

void RawEchoWindow::receiveAll() {
    for (;;) {
        SystemResult<Datagram> received =
            platform().receiveQueued(socket_, session_.receiveBuffer(), receiveBufferSize);
        if (!received.ok()) {
            queueEmpty_ = *received.error;
            return;
        }
        judge(received.value);
    }
}

// A reply counts for the request whose sequence number it carries only when it also comes from
// that request's destination with our identifier; anything else, late or twice, is passed over.
void RawEchoWindow::judge(const Datagram& datagram) {
    const uint8_t* bytes = session_.receiveBuffer();
    bool isError = false;
    std::optional<EchoIds> ids = answeredRequest(bytes, datagram.length, isError);
    if (!ids || ids->identifier != currentIdentifier()) return;
    auto found = bySequence_.find(ids->sequence);
    if (found == bySequence_.end()) return;
    Flight& flight = *found->second;
    if (isError) {
        flight.errorSeen = true;
        return;
    }
    if (datagram.sender != flight.destination) return;
    uint8_t routeOptions[optionAreaSize];
    ParsedReply parsed =
        parseReply(bytes, static_cast<long>(datagram.length), flight.job.settings.dataSize,
                   flight.sequence, ids->identifier, session_.replyCopy(), routeOptions);
    if (parsed.verdict != ReplyVerdict::Match) return;
    flight.timer.Stop();
    flight.timer.TakeOffNs(kernelWaitNs(platform().realTimeNs(), datagram.receivedAtNs));
    HeldLines held(flight.held);
    LocalTime stamp = flight.report->readStamp();
    char senderText[16];
    formatIpv4(datagram.sender, senderText);
    flight.report->reply(stamp, 1, senderText, flight.timer.ElapsedMs(), parsed.ttl, parsed.tos,
                         parsed.optionsTaken ? routeOptions : nullptr, sizeof routeOptions);
    flight.finish();
    bySequence_.erase(found);
}

// Requests whose time is up end as a one-by-one run ends them: a plain time-out, or after an ICMP
// error the two receives that ran out of time and the coded time-out.
void RawEchoWindow::expire(int64_t now) {
    while (!waiting_.empty()) {
        Flight& flight = *waiting_.front();
        if (!flight.done && flight.deadlineNs > now) return;
        waiting_.pop_front();
        flight.waiting = false;
        if (flight.done) continue;
        HeldLines held(flight.held);
        LocalTime stamp = flight.report->readStamp();
        if (flight.errorSeen) {
            ReportSocketError("recvfrom()", queueEmpty_);
            ReportSocketError("recvfrom()", queueEmpty_);
            flight.report->codedTimeout(stamp, flight.destinationText, ExitStatus::TooFewBytes);
        } else {
            flight.report->timeout(stamp, flight.destinationText);
        }
        flight.finish();
        bySequence_.erase(flight.sequence);
    }
}

void RawEchoWindow::releaseFinished(WindowedDispatches& dispatches) {
    // A finished request still in the send-order queue leaves it first (expire runs before this).
    while (!flights_.empty() && flights_.front()->done && !flights_.front()->waiting) {
        releaseOutput(flights_.front()->held);
        dispatches.finished(flights_.front()->index, flights_.front()->outcome);
        flights_.pop_front();
    }
}

}  // namespace quilvane
