// Many echo requests in flight over one raw socket.
#include "echo/raw_echo_window.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "echo/icmp_wire.h"
#include "echo/raw_socket_steps.h"
#include "support/inet.h"

namespace quilvane {

namespace {

// Room for the replies that arrive while the program is printing.
constexpr int receiveBufferBytes = 4 << 20;
// Datagrams taken from the socket in one call, and the most transmit stamps read at once.
constexpr size_t receiveBatch = 32;
constexpr size_t stampBatch = 64;
// A send refused for want of buffer space (ENOBUFS): requests fill the queue before a slow link.
constexpr int noBufferSpace = 10055;
// Room for the bytes of a batch of requests: the largest request fits whatever came before.
constexpr size_t outgoingBytesSize = 2 * requestBufferSize;

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
    dispatches_ = &dispatches;
    queueRequest(flight, host);
}

uint16_t RawEchoWindow::takeFreeSequence() {
    uint16_t sequence = session_.takeSequence();
    while (sequenceAwaited(sequence)) sequence = session_.takeSequence();
    return sequence;
}

// Builds the flight's request into the batch that leaves at the end of this wake-up; it awaits
// its answer from now on, and its sequence number is taken.
void RawEchoWindow::queueRequest(Flight& flight, const std::string& host) {
    if (outgoingBytes_.empty()) outgoingBytes_.resize(outgoingBytesSize);
    if (queued_ == sendBatch || outgoingUsed_ + requestBufferSize > outgoingBytes_.size()) {
        sendQueued();
    }
    PreparedRequest prepared = prepareEchoRequest(
        outgoingBytes_.data() + outgoingUsed_, flight.destination, flight.job.settings.dataSize,
        flight.job.pattern, flight.sequence, flight.timer);
    flight.sendDelayNs = 0;
    flight.realAtStartNs = prepared.realAtStartNs;
    flight.stamp = prepared.echo.stamp;
    // The entry's host keeps its room from earlier batches: nothing is allocated per request.
    Outgoing& request = outgoing_[queued_++];
    request.flight = &flight;
    request.offset = outgoingUsed_;
    request.length = prepared.length;
    request.host = host;
    request.firstTry = true;
    outgoingUsed_ += prepared.length;
    awaitAnswer(flight);
}

// A later try goes as the first went, and a failed send ends it the same way, but for the echo
// service: only a first try turns to it.
void RawEchoWindow::sendAgain(Flight& flight) {
    flight.sequence = takeFreeSequence();
    queueRequest(flight, {});
    outgoing_[queued_ - 1].firstTry = false;
}

// The batch leaves in runs of requests on the same socket, in the order they were queued.
void RawEchoWindow::sendQueued() {
    size_t first = 0;
    while (first < queued_) {
        Flight& head = *outgoing_[first].flight;
        SocketHandle socket = head.destination.isIpv6() ? socket6_ : socket_;
        size_t end = first + 1;
        while (end < queued_ &&
               outgoing_[end].flight->destination.isIpv6() == head.destination.isIpv6()) {
            ++end;
        }
        sendRun(socket, first, end);
        first = end;
    }
    queued_ = 0;
    outgoingUsed_ = 0;
}

void RawEchoWindow::sendRun(SocketHandle socket, size_t first, size_t end) {
    OutgoingDatagram datagrams[sendBatch];
    int64_t now = nowNs();
    for (size_t i = first; i < end; ++i) {
        Outgoing& request = outgoing_[i];
        datagrams[i - first] = {outgoingBytes_.data() + request.offset, request.length,
                                request.flight->destination};
        // On a short path the answer may come inside the send call: the round trip starts before
        // it.
        request.flight->sentAtNs = now;
    }
    std::vector<Flight*>& unstamped = socket == socket6_ ? unstamped6_ : unstamped_;
    size_t next = first;
    while (next < end) {
        BatchSent sent = platform().sendBatch(socket, datagrams + (next - first), end - next);
        for (size_t i = 0; i < sent.sent; ++i) unstamped.push_back(outgoing_[next + i].flight);
        next += sent.sent;
        if (!sent.error) continue;
        failedSend(outgoing_[next], *sent.error);
        ++next;
    }
}

// As a one-by-one run ends a request whose send failed; a full queue before a slow link only
// holds the request back.
void RawEchoWindow::failedSend(Outgoing& request, const SystemError& error) {
    Flight& flight = *request.flight;
    withdraw(flight);
    HeldLines held(flight.held);
    if (error.number == noBufferSpace) {
        sendLater(flight);
        return;
    }
    int reported = ReportSocketError("sendto()", error);
    if (request.firstTry && reported == wsa::accessDenied) {
        flight.outcome = dispatches_->pingThroughEchoService(request.host, flight.job);
        flight.done = true;
    } else {
        flight.report->setStatus(ExitStatus::TimedOut);
        flight.finish();
    }
    retireIfDone(flight);
}

void RawEchoWindow::sendsDone() {
    if (queued_ > 0) sendQueued();
    if (!unstamped_.empty()) takeTransmitStamps(socket_, unstamped_);
    if (!unstamped6_.empty()) takeTransmitStamps(socket6_, unstamped6_);
}

// The stamps come in the order the requests left. When some are missing (a request still queued
// before a slow link) none can be told apart, and those round trips count from before the send,
// as they do wherever the system gives no stamp.
void RawEchoWindow::takeTransmitStamps(SocketHandle socket, std::vector<Flight*>& sent) {
    int64_t stamps[stampBatch];
    for (size_t first = 0; first < sent.size(); first += stampBatch) {
        size_t count = std::min(sent.size() - first, stampBatch);
        size_t taken =
            platform().transmitStampsNs(socket, sent[first]->realAtStartNs, stamps, count);
        if (taken != count) continue;
        for (size_t i = 0; i < count; ++i) {
            Flight& flight = *sent[first + i];
            flight.sendDelayNs = sendDelayNs(flight.realAtStartNs, stamps[i]);
        }
    }
    sent.clear();
}

void RawEchoWindow::collect(int64_t timeoutNs) {
    SystemResult<bool> readable = platform().waitReadableNs(socket_, socket6_, timeoutNs);
    if (!readable.ok() || !readable.value) return;
    takeQueued(socket_);
    if (socket6_ != invalidSocket) takeQueued(socket6_);
}

void RawEchoWindow::collectAfter(int64_t sleepNs) {
    // A wait on no socket is a plain sleep.
    if (sleepNs > 0) platform().waitReadableNs(invalidSocket, invalidSocket, sleepNs);
    takeQueued(socket_);
    if (socket6_ != invalidSocket) takeQueued(socket6_);
}

void RawEchoWindow::takeQueued(SocketHandle socket) {
    if (!slots_)
        slots_ = std::make_unique_for_overwrite<uint8_t[]>(receiveBatch * receiveBufferSize);
    Datagram datagrams[receiveBatch];
    for (;;) {
        QueuedBatch batch = platform().receiveQueuedBatch(socket, slots_.get(), receiveBufferSize,
                                                          datagrams, receiveBatch);
        for (size_t i = 0; i < batch.count; ++i) {
            // Judging reads the session's receive buffer, as a one-by-one run's does.
            std::memcpy(session_.receiveBuffer(), slots_.get() + i * receiveBufferSize,
                        datagrams[i].length);
            judge(datagrams[i]);
        }
        if (batch.stoppedBy) {
            queueEmpty_ = *batch.stoppedBy;
            return;
        }
    }
}

// A datagram counts for the request whose sequence number it carries only by the one rule of
// every engine (matchReply, errorAbout); anything else, late or twice, is passed over.
void RawEchoWindow::judge(const Datagram& datagram) {
    const uint8_t* bytes = session_.receiveBuffer();
    bool isError = false;
    std::optional<EchoIds> ids = datagram.sender.isIpv6()
                                     ? answeredRequest6(bytes, datagram.length, isError)
                                     : answeredRequest(bytes, datagram.length, isError);
    if (!ids) return;
    Flight* flight = awaiting(ids->sequence);
    if (flight == nullptr) return;
    SentEcho sent{flight->destination, currentIdentifier(), flight->sequence, flight->stamp};
    if (isError) {
        if (errorAbout(*ids, sent)) flight->errorSeen = true;
        return;
    }
    if (ids->identifier != sent.identifier) return;
    uint8_t routeOptions[optionAreaSize];
    ParsedReply parsed = judgeAgainst(datagram, static_cast<long>(datagram.length),
                                      flight->job.settings.dataSize, sent, session_, routeOptions);
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
