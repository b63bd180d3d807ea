// The steps of pinging over a raw socket that one request and many in flight share.
#include "echo/raw_socket_steps.h"

#include "support/inet.h"
#include "support/output_sink.h"
#include "support/printable_text.h"

namespace quilvane {

int ReportSocketError(const char* callName, const SystemError& error) {
    if (error.text.empty()) {
        printMessage("%s - WSAError: %ld\n", callName, static_cast<long>(error.number));
    } else {
        printMessage("%s - %s", callName, error.text.c_str());
    }
    return error.number;
}

namespace {

constexpr int32_t defaultTtl = 128;

// The current value is read first; a socket that cannot even report it keeps its default.
void setCheckedOption(SocketHandle socket, SocketOption option, int value) {
    SystemResult<int> current = platform().getSocketOption(socket, option);
    if (!current.ok()) {
        ReportSocketError("socket()", *current.error);
        return;
    }
    platform().setSocketOption(socket, option, &value, sizeof value);
}

void SetRecordRoute(SocketHandle socket, int32_t recordRoutes) {
    RecordRouteOption option = buildRecordRouteOption(recordRoutes);
    if (option.length == 0) return;
    platform().setSocketOption(socket, SocketOption::IpOptions, option.bytes, option.length);
}

}  // namespace

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

SystemResult<SocketHandle> openRawSocketWithOptions(AddressFamily family, PingSettings settings) {
    SystemResult<SocketHandle> socket = platform().openRawSocket(family);
    if (!socket.ok()) return socket;
    if (family == AddressFamily::V6) settings.recordRoutes = 0;
    setSocketOptions(socket.value, settings);
    return socket;
}

PreparedRequest prepareEchoRequest(uint8_t* buffer, const IpAddress& destination, int32_t dataSize,
                                   std::string_view pattern, uint16_t sequence, CPerfTimer& timer) {
    PlatformTicks ticks;
    size_t length =
        destination.isIpv6()
            ? buildEchoRequest6(buffer, dataSize, sequence, pattern, currentIdentifier(), ticks)
            : buildEchoRequest(buffer, dataSize, sequence, pattern, currentIdentifier(), ticks);
    // On a short path the kernel carries most of the round trip out inside the send call, so the
    // interval starts just before it.
    timer.Start(true);
    int64_t realAtStart = platform().realTimeNs();
    return {length, SentEcho{destination, currentIdentifier(), sequence, requestStamp(buffer)},
            realAtStart};
}

SentRequest sendEchoRequest(SocketHandle socket, const IpAddress& destination, int32_t dataSize,
                            std::string_view pattern, uint16_t sequence, EchoSession& session,
                            CPerfTimer& timer) {
    uint8_t* request = session.requestBuffer();
    PreparedRequest prepared =
        prepareEchoRequest(request, destination, dataSize, pattern, sequence, timer);
    SentRequest sent{platform().sendTo(socket, request, prepared.length, destination).error, 0,
                     prepared.echo, prepared.realAtStartNs};
    if (!sent.error) {
        sent.sendDelayNs = sendDelayNs(prepared.realAtStartNs,
                                       platform().transmitStampNs(socket, prepared.realAtStartNs));
    }
    return sent;
}

ParsedReply judgeReceived(AddressFamily family, const Datagram& received, long length,
                          int32_t dataSize, uint16_t sequence, uint16_t identifier,
                          EchoSession& session, uint8_t* optionArea) {
    const uint8_t* bytes = session.receiveBuffer();
    if (family == AddressFamily::V4) {
        return parseReply(bytes, length, dataSize, sequence, identifier, session.replyCopy(),
                          optionArea);
    }
    ParsedReply parsed = parseReply6(bytes, length, sequence, identifier, session.replyCopy());
    parsed.ttl = received.hopLimit.value_or(0);
    parsed.tos = received.trafficClass.value_or(0);
    return parsed;
}

ParsedReply judgeAgainst(const Datagram& received, long length, int32_t dataSize,
                         const SentEcho& sent, EchoSession& session, uint8_t* optionArea) {
    AddressFamily family = sent.destination.family();
    ParsedReply parsed = judgeReceived(family, received, length, dataSize, sent.sequence,
                                       sent.identifier, session, optionArea);
    if (parsed.verdict != ReplyVerdict::NotEchoReply) {
        parsed.verdict = matchReply(parsed, received.sender, sent);
        return parsed;
    }
    bool isError = false;
    const uint8_t* bytes = session.receiveBuffer();
    auto size = static_cast<size_t>(length);
    std::optional<EchoIds> quoted = family == AddressFamily::V4
                                        ? answeredRequest(bytes, size, isError)
                                        : answeredRequest6(bytes, size, isError);
    if (!quoted || !isError || errorAbout(*quoted, sent)) return parsed;
    bool ours =
        quoted->identifier == sent.identifier && sameHost(quoted->destination, sent.destination);
    parsed.verdict = ours ? ReplyVerdict::WrongSequence : ReplyVerdict::ForeignIdentifier;
    return parsed;
}

void dropQueued(SocketHandle socket, EchoSession& session) {
    while (platform().receiveQueued(socket, session.receiveBuffer(), receiveBufferSize).ok()) {
    }
}

std::optional<Destination> resolveDestination(const std::string& host, FamilyChoice family,
                                              PingSettings& settings) {
    SystemResult<HostEntry> entry = platform().getHostByName(host, family);
    if (entry.ok()) return Destination{entry.value.address, entry.value.officialName};
    Ipv4 dotted = dottedAddress(host, family);
    if (dotted == inaddrNone) {
        printMessage("Host not found: %s  error %d\n", printableText(host).c_str(),
                     entry.error->number);
        return std::nullopt;
    }
    if (settings.resolveNames != 0) {
        settings.resolveNames = 0;
        printMessage("Host %s cannot be resolved. Resolve addresses to hostnames turned off.\n",
                     printableText(host).c_str());
    }
    return Destination{dotted, {}};
}

}  // namespace quilvane
