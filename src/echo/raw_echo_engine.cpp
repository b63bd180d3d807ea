// The raw-socket echo engine: opens the socket, resolves the host, then runs its echo cycle.
#include "echo/raw_echo_engine.h"

#include <optional>

#include "echo/echo_state.h"
#include "echo/host_header.h"
#include "echo/icmp_wire.h"
#include "report/host_report.h"
#include "support/console_control.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"

namespace quilvane {

namespace {

constexpr int32_t defaultTtl = 128;
constexpr int shortOrOtherRetryLimit = 2;
constexpr int strayReplyRetryLimit = 20;

// Each datagram is received here before it is split into replyCopy.
uint8_t receiveBuffer[receiveBufferSize];

class PlatformTicks final : public TickSource {
  public:
    uint32_t tickCount() override { return platform().tickCount(); }
};

// Read afresh for every request and every reply check, as the thread is what owns the echoes.
uint16_t currentIdentifier() {
    return static_cast<uint16_t>(platform().currentThreadId());
}

// Prints a failed socket call as "name - system text" and returns its error number.
int ReportSocketError(const char* callName) {
    int error = platform().lastError();
    std::string text = platform().lastErrorText();
    if (text.empty()) {
        printMessage("%s - WSAError: %ld\n", callName, static_cast<long>(error));
    } else {
        printMessage("%s - %s", callName, text.c_str());
    }
    return error;
}

// The current value is read first; a socket that cannot even report it keeps its default.
void setCheckedOption(SocketHandle socket, SocketOption option, int value) {
    int current = 0;
    if (!platform().getSocketOption(socket, option, current)) {
        ReportSocketError("socket()");
        return;
    }
    platform().setSocketOption(socket, option, &value, sizeof value);
}

void SetRecordRoute(SocketHandle socket, int32_t recordRoutes) {
    RecordRouteOption option = buildRecordRouteOption(recordRoutes);
    if (option.length == 0) return;
    platform().setSocketOption(socket, SocketOption::IpOptions, option.bytes, option.length);
}

void setSocketOptions(SocketHandle socket, const PingSettings& settings) {
    int timeout = settings.timeoutMs;
    platform().setSocketOption(socket, SocketOption::ReceiveTimeout, &timeout, sizeof timeout);
    platform().setSocketOption(socket, SocketOption::SendTimeout, &timeout, sizeof timeout);
    if (settings.ttl != defaultTtl) setCheckedOption(socket, SocketOption::Ttl, settings.ttl);
    if (settings.tosGiven != 0) setCheckedOption(socket, SocketOption::Tos, settings.tos);
    if (settings.dontFragment != 0) {
        setCheckedOption(socket, SocketOption::DontFragment, settings.dontFragment);
    }
    SetRecordRoute(socket, settings.recordRoutes);
}

struct Destination {
    Ipv4 address = 0;
    std::string officialName;
};

// A dotted host the resolver refuses is still pinged, only without names from then on.
std::optional<Destination> resolveDestination(const std::string& host, PingSettings& settings) {
    if (auto entry = platform().getHostByName(host)) {
        return Destination{entry->address, entry->officialName};
    }
    int error = platform().lastError();
    Ipv4 dotted = inetAddr(host.c_str());
    if (dotted == inaddrNone) {
        printMessage("Host not found: %s  error %d\n", printableText(host).c_str(), error);
        lastStatus = 2;
        return std::nullopt;
    }
    if (settings.resolveNames != 0) {
        settings.resolveNames = 0;
        printMessage("Host %s cannot be resolved. Resolve addresses to hostnames turned off.\n",
                     printableText(host).c_str());
    }
    return Destination{dotted, {}};
}

enum class SendResult { Sent, Failed, AccessDenied };

struct ReceivedReply {
    Ipv4 sender = 0;
    uint8_t ttl = 0;
    uint8_t tos = 0;
};

// The echo cycle of one host over an open, resolved raw socket.
class RawEchoCycle {
  public:
    RawEchoCycle(SocketHandle socket, Ipv4 destination, const PingSettings& settings, bool inRound)
        : socket_(socket), destination_(destination), report_(settings, inRound) {
        formatIpv4(destination, destinationText_);
    }

    // False when raw access was refused at a send: the host then ends without statistics.
    bool Run() {
        if (stopRequested) return true;
        for (;;) {
            report_.checkInterimRequest(destinationText_, sent_);
            if (countReached()) return true;
            ++sent_;
            uint16_t sequence = 0;
            SendResult sendResult = SendEchoRequest(sequence);
            timer_.Start(true);
            if (sendResult == SendResult::AccessDenied) return false;
            if (sendResult == SendResult::Failed) {
                platform().sleep(1);
            } else if (!AwaitReply(sequence)) {
                return true;
            }
            if (stopRequested) return true;
        }
    }

    void Finish(PingStatistics* statistics) { report_.finish(destinationText_, sent_, statistics); }

  private:
    const PingSettings& settings() { return report_.settings(); }

    bool countReached() {
        return settings().continuous == 0 && sent_ == static_cast<uint32_t>(settings().count);
    }

    SendResult SendEchoRequest(uint16_t& sequence) {
        sequence = nextSequence++;
        if (report_.refusedByDontFragment()) return SendResult::Failed;
        PlatformTicks ticks;
        size_t length = buildEchoRequest(requestBuffer, settings().dataSize, sequence, pingData,
                                         currentIdentifier(), ticks);
        if (platform().sendTo(socket_, requestBuffer, length, destination_) < 0) {
            if (ReportSocketError("sendto()") == wsa::accessDenied) return SendResult::AccessDenied;
            // Nothing went out, so nothing can come back: the echo is lost, not answered.
            lastStatus = 1;
            return SendResult::Failed;
        }
        return SendResult::Sent;
    }

    int WaitForReply() {
        return platform().waitReadable(socket_, static_cast<uint32_t>(settings().timeoutMs));
    }

    // False when the cycle is to end.
    bool AwaitReply(uint16_t sequence) {
        int ready = WaitForReply();
        if (ready < 0) {
            ReportSocketError("select()");
            return false;
        }
        LocalTime stamp = report_.readStamp();
        if (ready == 0) {
            report_.timeout(stamp, destinationText_);
            return true;
        }
        ReceivedReply reply;
        bool found = ReceiveEchoReply(sequence, reply);
        timer_.Stop();
        if (found) {
            char senderText[16];
            formatIpv4(reply.sender, senderText);
            report_.reply(stamp, sent_, senderText, timer_.ElapsedMs(), reply.ttl, reply.tos,
                          routePending_ ? routeOptions_ : nullptr, sizeof routeOptions_);
            routePending_ = false;
        } else {
            report_.codedTimeout(stamp, destinationText_);
        }
        if (countReached()) return false;
        platform().sleep(static_cast<uint32_t>(settings().intervalMs));
        return true;
    }

    // Reads datagrams until the awaited reply comes or the verdict's limit is spent; one
    // counter serves every verdict of the step.
    bool ReceiveEchoReply(uint16_t expectedSequence, ReceivedReply& reply) {
        for (;;) {
            Ipv4 sender = 0;
            long length =
                platform().receiveFrom(socket_, receiveBuffer, sizeof receiveBuffer, sender);
            if (length < 0) {
                ReportSocketError("recvfrom()");
                length = -1;
            }
            ParsedReply parsed =
                parseReply(receiveBuffer, length, settings().dataSize, expectedSequence,
                           currentIdentifier(), replyCopy, routeOptions_);
            if (parsed.optionsTaken) routePending_ = true;
            if (parsed.verdict == ReplyVerdict::Match) {
                receiveRetries = 0;
                reply = ReceivedReply{sender, parsed.ttl, parsed.tos};
                return true;
            }
            bool strayReply = parsed.verdict == ReplyVerdict::ForeignIdentifier ||
                              parsed.verdict == ReplyVerdict::WrongSequence;
            int limit = strayReply ? strayReplyRetryLimit : shortOrOtherRetryLimit;
            if (receiveRetries < limit) {
                ++receiveRetries;
                continue;
            }
            lastStatus = static_cast<int32_t>(parsed.verdict);
            receiveRetries = 0;
            return false;
        }
    }

    SocketHandle socket_;
    Ipv4 destination_;
    // Taken before the first send, so a first use never sits inside a measured round trip.
    CPerfTimer& timer_ = rawTimer();
    char destinationText_[16] = {};
    HostReport report_;
    uint32_t sent_ = 0;
    uint8_t routeOptions_[optionAreaSize] = {};
    bool routePending_ = false;
};

}  // namespace

int RawEchoEngine::PingHost(const std::string& host, bool inRound, PingStatistics* statistics) {
    SocketHandle socket = platform().openRawSocket();
    if (socket == invalidSocket) {
        int error = ReportSocketError("socket()");
        // 10013 hands the host to the other engine; anything else means it cannot be pinged.
        if (error != wsa::accessDenied) lastStatus = 2;
        return error;
    }
    setSocketOptions(socket, settings);

    std::optional<Destination> destination = resolveDestination(host, settings);
    if (!destination) {
        platform().closeSocket(socket);
        return -1;
    }
    printEngineHostHeader(host, destination->officialName, destination->address, settings, inRound);

    RawEchoCycle cycle(socket, destination->address, settings, inRound);
    if (!cycle.Run()) {
        platform().closeSocket(socket);
        return wsa::accessDenied;
    }
    cycle.Finish(statistics);
    if (!platform().closeSocket(socket)) ReportSocketError("closesocket()");
    return 0;
}

}  // namespace quilvane
