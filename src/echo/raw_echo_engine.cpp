// The raw-socket echo engine: opens the socket, resolves the host, then runs its echo cycle.
#include "echo/raw_echo_engine.h"

#include <optional>

#include "echo/attempt_loop.h"
#include "echo/host_header.h"
#include "echo/icmp_wire.h"
#include "echo/raw_socket_steps.h"
#include "report/host_report.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/platform.h"

namespace quilvane {

namespace {

constexpr int shortOrOtherRetryLimit = 2;
constexpr int strayReplyRetryLimit = 20;

// Every attempt that ends before its time-out is followed by the interval, a failed or refused
// one too (without it a failing host is flooded); a plain time-out has already waited its time.
constexpr PauseRules rawPauseRules{
    .replied = {PauseAfter::Length::Interval, true},
    .timedOut = {PauseAfter::Length::None, false},
    .endedEarly = {PauseAfter::Length::Interval, true},
    .sendFailed = {PauseAfter::Length::Interval, true},
    .refused = {PauseAfter::Length::Interval, true},
};

struct ReceivedReply {
    IpAddress sender;
    uint8_t ttl = 0;
    uint8_t tos = 0;
    std::optional<int64_t> receivedAtNs;
};

// The attempts of one host over an open, resolved raw socket.
class RawEchoCycle final : public EchoAttempts {
  public:
    RawEchoCycle(SocketHandle socket, const IpAddress& destination, const EchoJob& job,
                 EchoSession& session, CPerfTimer& timer)
        : socket_(socket),
          destination_(destination),
          pattern_(job.pattern),
          session_(session),
          timer_(timer),
          retries_(job.retries),
          report_(job.settings, job.inRound, destination.family()) {
        formatAddress(destination, destinationText_);
    }

    // False when raw access was refused at a send: the host then ends without statistics.
    bool Run() {
        return runAttemptLoop(*this, report_, destinationText_, rawPauseRules, sent_, retries_) ==
               CycleEnd::Finished;
    }

    HostOutcome Finish() {
        std::optional<PingStatistics> statistics = report_.finish(destinationText_, sent_);
        return {EngineResult::Pinged, report_.status(), statistics};
    }

    std::optional<ExitStatus> status() const { return report_.status(); }

    void skipAttempt() override { session_.takeSequence(); }

    AttemptEnd attempt(uint32_t) override {
        uint16_t sequence = session_.takeSequence();
        dropQueued(socket_, session_);
        SentRequest sent = sendEchoRequest(socket_, destination_, settings().dataSize, pattern_,
                                           sequence, session_, timer_);
        sendDelayNs_ = sent.sendDelayNs;
        if (!sent.error) return AwaitReply(sent.echo);
        if (ReportSocketError("sendto()", *sent.error) == wsa::accessDenied) {
            return AttemptEnd::AccessDenied;
        }
        // Nothing went out, so nothing can come back: the echo is lost, not answered.
        report_.setStatus(ExitStatus::TimedOut);
        return AttemptEnd::SendFailed;
    }

  private:
    const PingSettings& settings() const { return report_.settings(); }

    AttemptEnd AwaitReply(const SentEcho& sent) {
        SystemResult<bool> readable =
            platform().waitReadable(socket_, static_cast<uint32_t>(settings().timeoutMs));
        if (!readable.ok()) {
            ReportSocketError("select()", *readable.error);
            return AttemptEnd::WaitFailed;
        }
        LocalTime stamp = report_.readStamp();
        if (!readable.value) {
            report_.timeout(stamp, destinationText_);
            return AttemptEnd::TimedOut;
        }
        ReceivedReply reply;
        std::optional<ReplyVerdict> failure = ReceiveEchoReply(sent, reply);
        timer_.Stop();
        // The round trip ends when the kernel received the reply, not when this thread got to it.
        if (!failure) {
            timer_.TakeOffNs(kernelWaitNs(platform().realTimeNs(), reply.receivedAtNs) +
                             sendDelayNs_);
        }
        if (failure) {
            report_.codedTimeout(stamp, destinationText_, exitStatusOf(*failure));
            return AttemptEnd::EndedEarly;
        }
        char senderText[addressTextSize];
        formatAddress(reply.sender, senderText);
        report_.reply(stamp, sent_, senderText, timer_.ElapsedMs(), reply.ttl, reply.tos,
                      routePending_ ? routeOptions_ : nullptr, sizeof routeOptions_);
        routePending_ = false;
        return AttemptEnd::Replied;
    }

    // Reads datagrams until the awaited reply comes or the verdict's limit is spent; one
    // counter serves every verdict of the step. Returns the verdict that spent it, if any.
    std::optional<ReplyVerdict> ReceiveEchoReply(const SentEcho& sent, ReceivedReply& reply) {
        for (;;) {
            ParsedReply parsed = receiveAndJudge(sent, reply);
            if (parsed.optionsTaken) routePending_ = true;
            if (parsed.verdict == ReplyVerdict::Match) {
                session_.receiveRetries = 0;
                reply.ttl = parsed.ttl;
                reply.tos = parsed.tos;
                return std::nullopt;
            }
            bool strayReply = parsed.verdict == ReplyVerdict::ForeignIdentifier ||
                              parsed.verdict == ReplyVerdict::WrongSequence;
            int limit = strayReply ? strayReplyRetryLimit : shortOrOtherRetryLimit;
            if (session_.receiveRetries < limit) {
                ++session_.receiveRetries;
                continue;
            }
            session_.receiveRetries = 0;
            return parsed.verdict;
        }
    }

    ParsedReply receiveAndJudge(const SentEcho& sent, ReceivedReply& reply) {
        uint8_t* buffer = session_.receiveBuffer();
        SystemResult<Datagram> received =
            platform().receiveFrom(socket_, buffer, receiveBufferSize);
        long length = -1;
        if (received.ok()) {
            length = static_cast<long>(received.value.length);
            reply.sender = received.value.sender;
            reply.receivedAtNs = received.value.receivedAtNs;
        } else {
            ReportSocketError("recvfrom()", *received.error);
        }
        return judgeAgainst(received.value, length, settings().dataSize, sent, session_,
                            routeOptions_);
    }

    SocketHandle socket_;
    IpAddress destination_;
    std::string_view pattern_;
    EchoSession& session_;
    CPerfTimer& timer_;
    int32_t retries_;
    char destinationText_[addressTextSize] = {};
    HostReport report_;
    uint32_t sent_ = 0;
    int64_t sendDelayNs_ = 0;
    uint8_t routeOptions_[optionAreaSize] = {};
    bool routePending_ = false;
};

}  // namespace

namespace {

// 10013 hands the host to the other engine; anything else means it cannot be pinged.
HostOutcome socketRefused(const SystemError& error) {
    if (ReportSocketError("socket()", error) == wsa::accessDenied) {
        return {EngineResult::RawAccessDenied, std::nullopt, std::nullopt};
    }
    return {EngineResult::SocketFailed, ExitStatus::NotPinged, std::nullopt};
}

}  // namespace

HostOutcome RawEchoEngine::PingHost(const std::string& host, const EchoJob& job) {
    EchoJob own = job;
    // A host written as an IPv6 address takes an IPv6 socket at once. Any other host starts on
    // IPv4, so that a refused raw socket reads as it always has, and changes sockets only when
    // its name gives an IPv6 address.
    AddressFamily family = own.family != FamilyChoice::Ipv4Only && isIpv6Literal(host)
                               ? AddressFamily::V6
                               : AddressFamily::V4;
    SystemResult<SocketHandle> socket = openRawSocketWithOptions(family, own.settings);
    if (!socket.ok()) return socketRefused(*socket.error);

    std::optional<Destination> destination = resolveDestination(host, own.family, own.settings);
    if (!destination) {
        platform().closeSocket(socket.value);
        return {EngineResult::HostNotFound, ExitStatus::NotPinged, std::nullopt};
    }
    session_.dropRoutesForIpv6(destination->address, own.settings);
    if (destination->address.family() != family) {
        platform().closeSocket(socket.value);
        socket = openRawSocketWithOptions(destination->address.family(), own.settings);
        if (!socket.ok()) return socketRefused(*socket.error);
    }
    printEngineHostHeader(host, destination->officialName, destination->address, own.settings,
                          own.inRound);

    RawEchoCycle cycle(socket.value, destination->address, own, session_, timer_);
    if (!cycle.Run()) {
        platform().closeSocket(socket.value);
        return {EngineResult::RawAccessDenied, cycle.status(), std::nullopt};
    }
    HostOutcome outcome = cycle.Finish();
    if (auto error = platform().closeSocket(socket.value))
        ReportSocketError("closesocket()", *error);
    return outcome;
}

}  // namespace quilvane
