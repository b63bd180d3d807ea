// Many echo requests in flight over one raw socket.
#include "echo/raw_echo_window.h"

#include <optional>

#include "echo/icmp_wire.h"
#include "echo/raw_socket_steps.h"
#include "support/inet.h"

namespace quilvane {

namespace {

// Room for the replies that arrive while the program is printing.
constexpr int receiveBufferBytes = 4 << 20;
// A send refused for want of buffer space (ENOBUFS): requests fill the queue before a slow link.
constexpr int noBufferSpace = 10055;

}  // namespace

RawEchoWindow::RawEchoWindow(EchoSession& session, uint32_t window)
    : EchoWindow(window), session_(session), queueEmpty_{wsa::timedOut, {}} {}

RawEchoWindow::~RawEchoWindow() {
    if (socket_ != invalidSocket) platform().closeSocket(socket_);
    if (socket6_ != invalidSocket) platform().closeSocket(socket6_);
}

std::optional<SystemError> RawEchoWindow::open(const PingSettings& settings) {
    HeldLines held(openingLines_);
    return openShared(AddressFamily::V4, settings, socket_);
}

std::optional<SystemError> RawEchoWindow::openShared(AddressFamily family,
                                                     const PingSettings& settings,
                                                     SocketHandle& socket) {
    SystemResult<SocketHandle> opened = openRawSocketWithOptions(family, settings);
    if (!opened.ok()) return opened.error;
    socket = opened.value;
    int bytes = receiveBufferBytes;
    platform().setSocketOption(socket, SocketOption::ReceiveBuffer, &bytes, sizeof bytes);
    return std::nullopt;
}

// The steps of one dispatch up to its wait, as a one-by-one run takes them.
void RawEchoWindow::start(Flight& flight, WindowedDispatches& dispatches, const std::string& host) {
    flight.held = openingLines_;
    HeldLines held(flight.held);
    std::optional<Destination> destination =
        resolveDestination(host, flight.job.family, flight.job.settings);
    if (!destination) {
        flight.outcome = {EngineResult::HostNotFound, ExitStatus::NotPinged, std::nullopt};
        flight.done = true;
        return;
    }
    flight.destination = destination->address;
    if (flight.destination.isIpv6()) {
        session_.dropRoutesForIpv6(flight.destination, flight.job.settings);
        // The flight's settings are the run's options.
        std::optional<SystemError> refused =
            socket6_ == invalidSocket ? openShared(AddressFamily::V6, flight.job.settings, socket6_)
                                      : std::nullopt;
        if (refused) {
            bool denied = ReportSocketError("socket()", *refused) == wsa::accessDenied;
            flight.outcome = denied ? dispatches.pingThroughEchoService(host, flight.job)
                                    : HostOutcome{EngineResult::SocketFailed, ExitStatus::NotPinged,
                                                  std::nullopt};
            flight.done = true;
            return;
        }
    }
    flight.report.emplace(flight.job.settings, true, flight.destination.family());
    formatAddress(flight.destination, flight.destinationText);
    flight.report->checkInterimRequest(flight.destinationText, 0);
    flight.sequence = takeFreeSequence();
    if (flight.report->refusedByDontFragment()) {
        flight.finish();
        return;
    }
    std::optional<SystemError> failed = send(flight);
    if (!failed) return;
    // Only many requests in flight fill the queue: a one-by-one run would have sent it.
    if (failed->number == noBufferSpace) {
        sendLater(flight);
        return;
    }
    if (ReportSocketError("sendto()", *failed) == wsa::accessDenied) {
        flight.outcome = dispatches.pingThroughEchoService(host, flight.job);
        flight.done = true;
        return;
    }
    flight.report->setStatus(ExitStatus::TimedOut);
    flight.finish();
}

uint16_t RawEchoWindow::takeFreeSequence() {
    uint16_t sequence = session_.takeSequence();
    while (sequenceAwaited(sequence)) sequence = session_.takeSequence();
    return sequence;
}

// Sends the flight's request with its sequence number; the send's error when it failed.
std::optional<SystemError> RawEchoWindow::send(Flight& flight) {
    SocketHandle socket = flight.destination.isIpv6() ? socket6_ : socket_;
    // On a short path the answer may come inside the send call: the round trip starts before it.
    flight.sentAtNs = nowNs();
    SentRequest sent = sendEchoRequest(socket, flight.destination, flight.job.settings.dataSize,
                                       flight.job.pattern, flight.sequence, session_, flight.timer);
    flight.sendDelayNs = sent.sendDelayNs;
    if (!sent.error) awaitAnswer(flight);
    return sent.error;
}

// A failed send of a later try ends the dispatch as a failed first send does, on the same socket.
void RawEchoWindow::sendAgain(Flight& flight) {
    flight.sequence = takeFreeSequence();
    HeldLines held(flight.held);
    std::optional<SystemError> failed = send(flight);
    if (!failed) return;
    if (failed->number == noBufferSpace) {
        sendLater(flight);
        return;
    }
    ReportSocketError("sendto()", *failed);
    flight.report->setStatus(ExitStatus::TimedOut);
    flight.finish();
}

void RawEchoWindow::collect(int64_t timeoutNs) {
    SystemResult<bool> readable = platform().waitReadableNs(socket_, socket6_, timeoutNs);
    if (!readable.ok() || !readable.value) return;
    takeQueued(socket_);
    if (socket6_ != invalidSocket) takeQueued(socket6_);
}

void RawEchoWindow::takeQueued(SocketHandle socket) {
    for (;;) {
        SystemResult<Datagram> received =
            platform().receiveQueued(socket, session_.receiveBuffer(), receiveBufferSize);
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
    std::optional<EchoIds> ids = datagram.sender.isIpv6()
                                     ? answeredRequest6(bytes, datagram.length, isError)
                                     : answeredRequest(bytes, datagram.length, isError);
    if (!ids || ids->identifier != currentIdentifier()) return;
    Flight* flight = awaiting(ids->sequence);
    if (flight == nullptr) return;
    if (isError) {
        flight->errorSeen = true;
        return;
    }
    if (datagram.sender != flight->destination) return;
    uint8_t routeOptions[optionAreaSize];
    ParsedReply parsed = judgeReceived(
        datagram.sender.family(), datagram, static_cast<long>(datagram.length),
        flight->job.settings.dataSize, flight->sequence, ids->identifier, session_, routeOptions);
    if (parsed.verdict != ReplyVerdict::Match) return;
    flight->timer.Stop();
    flight->kernelWaitNs = kernelWaitNs(platform().realTimeNs(), datagram.receivedAtNs);
    flight->timer.TakeOffNs(flight->kernelWaitNs + flight->sendDelayNs);
    HeldLines held(flight->held);
    LocalTime stamp = flight->report->readStamp();
    char senderText[addressTextSize];
    formatAddress(datagram.sender, senderText);
    flight->report->reply(stamp, 1, senderText, flight->timer.ElapsedMs(), parsed.ttl, parsed.tos,
                          parsed.optionsTaken ? routeOptions : nullptr, sizeof routeOptions);
    flight->finish();
    answered(*flight);
}

// As a one-by-one run ends a request: a plain time-out, or after an ICMP error the two receives
// that ran out of time and the coded time-out.
void RawEchoWindow::timeOut(Flight& flight) {
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
}

}  // namespace quilvane
