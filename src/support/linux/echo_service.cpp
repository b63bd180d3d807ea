// The echo service on the kernel's ping sockets: one echo request, then its reply or ICMP error.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
// After <time.h>: it needs struct timespec complete.
#include <linux/errqueue.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/linux/echo_messages.h"
#include "support/linux/linux_platform.h"
#include "support/linux/monotonic.h"
#include "support/linux/receive_stamp.h"
#include "support/linux/socket_address.h"
#include "support/linux/system_call.h"

namespace quilvane {

using namespace linux_detail;

namespace {

// The largest ICMP message an IPv4 datagram can carry, plus room to spare.
constexpr size_t receiveCapacity = 65536;

int openPingSocket() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
}

bool enable(int descriptor, int option, int level = IPPROTO_IP) {
    int on = 1;
    return setsockopt(descriptor, level, option, &on, sizeof on) == 0;
}

// The same net.ipv4.ping_group_range allows it as the IPv4 one.
int openIpv6PingSocket() {
    int descriptor = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (descriptor < 0) return -1;
    if (!enable(descriptor, IPV6_RECVHOPLIMIT, IPPROTO_IPV6) ||
        !enable(descriptor, IPV6_RECVTCLASS, IPPROTO_IPV6) ||
        !enable(descriptor, IPV6_RECVERR, IPPROTO_IPV6)) {
        close(descriptor);
        return -1;
    }
    enableReceiveStamps(descriptor);
    enableTransmitStamps(descriptor);
    return descriptor;
}

// One read from the socket with room for the control messages (TTL or hop limit, TOS or traffic
// class, IP options, and an extended error with its offender address).
struct Received {
    ssize_t length = -1;
    AnySocketAddress from;
    alignas(cmsghdr) unsigned char control[512];
    msghdr header{};
};

void receive(int descriptor, std::vector<uint8_t>& buffer, int flags, Received& into) {
    iovec part{buffer.data(), buffer.size()};
    into.header = msghdr{};
    into.from = AnySocketAddress{};
    into.header.msg_name = into.from.get();
    into.header.msg_namelen = into.from.length;
    into.header.msg_iov = &part;
    into.header.msg_iovlen = 1;
    into.header.msg_control = into.control;
    into.header.msg_controllen = sizeof into.control;
    into.length = retryOnInterrupt([&] { return recvmsg(descriptor, &into.header, flags); });
}

void readReplyDetails(msghdr& header, EchoServiceReply& reply) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        const unsigned char* data = CMSG_DATA(message);
        size_t size = message->cmsg_len - CMSG_LEN(0);
        if (message->cmsg_level == IPPROTO_IPV6 && size >= sizeof(int)) {
            int value;
            std::memcpy(&value, data, sizeof value);
            if (message->cmsg_type == IPV6_HOPLIMIT) reply.ttl = static_cast<uint8_t>(value);
            if (message->cmsg_type == IPV6_TCLASS) reply.tos = static_cast<uint8_t>(value);
        }
        if (message->cmsg_level != IPPROTO_IP) continue;
        if (message->cmsg_type == IP_TTL && size >= sizeof(int)) {
            int ttl;
            std::memcpy(&ttl, data, sizeof ttl);
            reply.ttl = static_cast<uint8_t>(ttl);
        } else if (message->cmsg_type == IP_TOS && size >= 1) {
            reply.tos = data[0];
        } else if (message->cmsg_type == IP_RECVOPTS || message->cmsg_type == IP_RETOPTS) {
            size_t kept = std::min(size, sizeof reply.options);
            std::memcpy(reply.options, data, kept);
            reply.optionsSize = static_cast<uint8_t>(kept);
        }
    }
}

const sock_extended_err* extendedError(msghdr& header) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        bool isError = (message->cmsg_level == IPPROTO_IP && message->cmsg_type == IP_RECVERR) ||
                       (message->cmsg_level == IPPROTO_IPV6 && message->cmsg_type == IPV6_RECVERR);
        if (isError && message->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            return reinterpret_cast<const sock_extended_err*>(CMSG_DATA(message));
        }
    }
    return nullptr;
}

uint32_t statusOf(const sock_extended_err& error) {
    if (error.ee_origin == SO_EE_ORIGIN_ICMP)
        return statusForIcmpError(error.ee_type, error.ee_code);
    if (error.ee_origin == SO_EE_ORIGIN_ICMP6) {
        return statusForIcmpv6Error(error.ee_type, error.ee_code);
    }
    if (error.ee_origin == SO_EE_ORIGIN_LOCAL) return statusForLocalError(error.ee_errno);
    return ipStatus::generalFailure;
}

// Who raised the error: the router or host that sent the ICMP message; for an error raised on
// this host, the address the request was sent to.
IpAddress offenderOf(const sock_extended_err& error, const cmsghdr* end,
                     const IpAddress& destination) {
    const auto* offender = reinterpret_cast<const unsigned char*>(SO_EE_OFFENDER(&error));
    const auto* limit = reinterpret_cast<const unsigned char*>(end);
    if (offender + sizeof(sockaddr_in) > limit) return destination;
    sockaddr_in address;
    std::memcpy(&address, offender, sizeof address);
    if (address.sin_family == AF_INET) return IpAddress(address.sin_addr.s_addr);
    if (address.sin_family != AF_INET6 || offender + sizeof(sockaddr_in6) > limit) {
        return destination;
    }
    sockaddr_in6 address6;
    std::memcpy(&address6, offender, sizeof address6);
    return addressFromIpv6(address6);
}

const cmsghdr* endOfControl(msghdr& header) {
    return reinterpret_cast<const cmsghdr*>(static_cast<unsigned char*>(header.msg_control) +
                                            header.msg_controllen);
}

// FNV-1a over the data of an echo message: enough to tell two requests' random data apart.
uint32_t dataDigest(const uint8_t* message, size_t length) {
    uint32_t digest = 2166136261u;
    for (size_t i = icmpHeaderSize; i < length; ++i) digest = (digest ^ message[i]) * 16777619u;
    return digest;
}

// Where the request an error quotes was sent: the kernel names it in msg_name of the error queue.
std::optional<IpAddress> quotedDestinationOf(const Received& read, AddressFamily family) {
    if (read.header.msg_namelen == 0) return std::nullopt;
    IpAddress quoted = senderAddress(read.from.storage);
    if (quoted.family() != family) return std::nullopt;
    return quoted;
}

// Sends one ICMP message; 0 when it went out, else the errno of the failure.
int sendMessage(int descriptor, const std::vector<uint8_t>& message, const IpAddress& destination) {
    AnySocketAddress target = destinationAddress(destination);
    ssize_t sent = retryOnInterrupt([&] {
        return sendto(descriptor, message.data(), message.size(), 0, target.get(), target.length);
    });
    return sent < 0 ? errno : 0;
}

bool setInteger(int descriptor, int level, int option, int value) {
    return setsockopt(descriptor, level, option, &value, sizeof value) == 0;
}

// Each setting is changed only when the request asks for another value than the socket has.
// IPv6 has no header options to carry a record route or a timestamp; they are left out.
void applySettings(int descriptor, PingSocketSettings& applied, const EchoServiceRequest& request) {
    const bool ipv6 = request.destination.isIpv6();
    const int level = ipv6 ? IPPROTO_IPV6 : IPPROTO_IP;
    if (applied.ttl != request.ttl &&
        setInteger(descriptor, level, ipv6 ? IPV6_UNICAST_HOPS : IP_TTL, request.ttl)) {
        applied.ttl = request.ttl;
    }
    if (applied.tos != request.tos &&
        setInteger(descriptor, level, ipv6 ? IPV6_TCLASS : IP_TOS, request.tos)) {
        applied.tos = request.tos;
    }
    int dontFragment = ipv6 ? int{request.dontFragment}
                            : (request.dontFragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT);
    if (applied.dontFragment != request.dontFragment &&
        setInteger(descriptor, level, ipv6 ? IPV6_DONTFRAG : IP_MTU_DISCOVER, dontFragment)) {
        applied.dontFragment = request.dontFragment;
    }
    if (ipv6) return;
    std::vector<uint8_t> options;
    if (request.options != nullptr) {
        options.assign(request.options, request.options + request.optionsSize);
    }
    if (applied.options != options && setsockopt(descriptor, IPPROTO_IP, IP_OPTIONS, options.data(),
                                                 static_cast<socklen_t>(options.size())) == 0) {
        applied.options = std::move(options);
    }
}

EchoServiceReply failedAt(const IpAddress& destination, uint32_t status) {
    EchoServiceReply reply;
    reply.status = status;
    reply.address = destination;
    return reply;
}

AddressFamily familyOf(const EchoHandleState& state, int descriptor) {
    return descriptor == state.ipv6Socket || descriptor == state.retiredIpv6 ? AddressFamily::V6
                                                                             : AddressFamily::V4;
}

bool isRetired(const EchoHandleState& state, int descriptor) {
    return descriptor == state.retiredIpv4 || descriptor == state.retiredIpv6;
}

// IP_RECVOPTS hands back the reply's options as they arrived (a record route as recorded).
int openConfiguredPingSocket() {
    int descriptor = openPingSocket();
    if (descriptor < 0) return -1;
    if (!enable(descriptor, IP_RECVTTL) || !enable(descriptor, IP_RECVTOS) ||
        !enable(descriptor, IP_RECVOPTS) || !enable(descriptor, IP_RECVERR)) {
        close(descriptor);
        return -1;
    }
    enableReceiveStamps(descriptor);
    enableTransmitStamps(descriptor);
    return descriptor;
}

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) close(descriptor);
    descriptor = -1;
}

// The numbers have come round: the handle's number goes on naming an IPv4 socket, a fresh one,
// while the one before stays open under another number for the requests still in flight on it.
void renewSockets(EchoHandle handle, EchoHandleState& state) {
    closeIfOpen(state.retiredIpv4);
    closeIfOpen(state.retiredIpv6);
    int fresh = openConfiguredPingSocket();
    if (fresh >= 0) {
        state.retiredIpv4 = fcntl(handle, F_DUPFD_CLOEXEC, 0);
        if (state.retiredIpv4 < 0 || dup3(fresh, handle, O_CLOEXEC) < 0) {
            closeIfOpen(state.retiredIpv4);
        } else {
            state.ipv4 = PingSocketSettings{};
        }
        close(fresh);
    }
    state.retiredIpv6 = state.ipv6Socket;
    state.ipv6Socket = -1;
    state.ipv6 = PingSocketSettings{};
}

// What one socket the wait found ready holds: a reply, an error about one of our requests, a
// local error naming none, or nothing to report (a transmit stamp, a foreign quote).
std::optional<EchoAnswer> readAnswer(int descriptor, short events, EchoHandleState& state) {
    const AddressFamily family = familyOf(state, descriptor);
    Received read;
    if ((events & POLLERR) != 0) {
        receive(descriptor, state.received, MSG_ERRQUEUE | MSG_DONTWAIT, read);
        const sock_extended_err* error = read.length >= 0 ? extendedError(read.header) : nullptr;
        if (error != nullptr && error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
            state.sentAtNs = linux_detail::transmitStampNs(read.header);
        } else if (error != nullptr) {
            EchoAnswer answer;
            if (read.length >= static_cast<ssize_t>(icmpHeaderSize)) {
                answer.sequence = quotedRequestSequence(state.received.data(),
                                                        static_cast<size_t>(read.length), family);
                // A quote that is not one of our requests answers nothing.
                if (!answer.sequence) return std::nullopt;
                if (isRetired(state, descriptor) && *answer.sequence < state.nextSequence) {
                    return std::nullopt;
                }
            }
            answer.reply.status = statusOf(*error);
            answer.reply.address = offenderOf(*error, endOfControl(read.header), IpAddress());
            answer.quotedDestination = quotedDestinationOf(read, family);
            return answer;
        }
    }
    if ((events & (POLLIN | POLLERR)) == 0) return std::nullopt;
    // With an error pending, this read reports it (and clears it) instead of data.
    receive(descriptor, state.received, MSG_DONTWAIT, read);
    if (read.length < 0) return std::nullopt;
    auto replied =
        echoReplySequence(state.received.data(), static_cast<size_t>(read.length), family);
    if (!replied) return std::nullopt;
    // A retired socket answers only for numbers the fresh ones have not used yet.
    if (isRetired(state, descriptor) && *replied < state.nextSequence) return std::nullopt;
    auto length = static_cast<size_t>(read.length);
    if (length == state.sentLength[*replied] &&
        dataDigest(state.received.data(), length) != state.sentData[*replied]) {
        return std::nullopt;
    }
    EchoAnswer answer{replied, {}, std::nullopt};
    answer.reply.address = senderAddress(read.from.storage);
    size_t dataSize = static_cast<size_t>(read.length) - icmpHeaderSize;
    answer.reply.dataSize = static_cast<uint16_t>(std::min<size_t>(dataSize, 0xFFFF));
    readReplyDetails(read.header, answer.reply);
    answer.reply.receivedAtNs = receiveStampNs(read.header);
    return answer;
}

// One request in flight: its reply from its destination, or an error about it.
bool answersRequest(const EchoAnswer& answer, uint16_t sequence, const IpAddress& destination) {
    return answer.sequence == sequence && aboutDestination(answer, destination);
}

}  // namespace

EchoServiceState LinuxPlatform::loadEchoService() {
    int probe = openPingSocket();
    if (probe < 0) {
        switch (errno) {
            // net.ipv4.ping_group_range leaves this user's groups out.
            case EACCES:
            case EPERM:
            // The kernel has no ping sockets.
            case EPROTONOSUPPORT:
            case ESOCKTNOSUPPORT:
            case EAFNOSUPPORT:
                return EchoServiceState::NotLoadable;
            default:
                return EchoServiceState::Ready;
        }
    }
    close(probe);
    return EchoServiceState::Ready;
}

std::string LinuxPlatform::echoServiceRemedy(bool rawSocketRefused) {
    const char* pingSockets =
        "allow ping sockets for your group (sysctl net.ipv4.ping_group_range)";
    if (!rawSocketRefused) {
        return std::string("To ping with the ICMP dll, ") + pingSockets + ".\n";
    }
    // The right belongs to the file: the command names this very program.
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string program = length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
    if (program.find_first_of(" \t'\"\\$`") != std::string::npos) program = "'" + program + "'";
    std::string setcap =
        program.empty() ? "setcap cap_net_raw+p" : "setcap cap_net_raw+p " + program;
    return "To ping, give this program the raw-socket right (" + setcap + ") or " + pingSockets +
           ".\n";
}

EchoHandle LinuxPlatform::createEchoHandle() {
    int descriptor = openConfiguredPingSocket();
    if (descriptor < 0) return invalidEchoHandle;
    EchoHandleState& state = echoHandles_[descriptor];
    state = EchoHandleState{};
    state.received.resize(receiveCapacity);
    return descriptor;
}

void LinuxPlatform::closeEchoHandle(EchoHandle handle) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return;
    if (found->second.ipv6Socket >= 0) close(found->second.ipv6Socket);
    closeIfOpen(found->second.retiredIpv4);
    closeIfOpen(found->second.retiredIpv6);
    echoHandles_.erase(found);
    close(handle);
}

int LinuxPlatform::pingSocketFor(EchoHandle handle, EchoHandleState& state, AddressFamily family) {
    if (family == AddressFamily::V4) return handle;
    if (state.ipv6Socket < 0) state.ipv6Socket = openIpv6PingSocket();
    return state.ipv6Socket;
}

int LinuxPlatform::sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                            EchoServiceReply& reply) {
    EchoStart start = startEcho(handle, request);
    if (start.answered) {
        reply = *start.answered;
        return 1;
    }
    if (!start.sent) return 0;
    // The transmit stamp is queued as the request leaves, mostly before the send call returns.
    EchoHandleState& state = echoHandles_[handle];
    takeQueuedErrors(pingSocketFor(handle, state, request.destination.family()), state,
                     request.destination);
    const int64_t deadline = monotonicNs() + int64_t{request.timeoutMs} * 1'000'000;
    for (;;) {
        std::optional<EchoAnswer> answer = collectEcho(handle, deadline - monotonicNs());
        if (!answer) return 0;
        // An error that names no request was raised here, for the one request in flight.
        if (!answer->sequence || answersRequest(*answer, start.sequence, request.destination)) {
            reply = answer->reply;
            if (reply.address == IpAddress()) reply.address = request.destination;
            reply.sentAtNs = state.sentAtNs;
            return 1;
        }
    }
}

EchoStart LinuxPlatform::startEcho(EchoHandle handle, const EchoServiceRequest& request) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return {};
    EchoHandleState& state = found->second;
    const IpAddress& destination = request.destination;
    EchoStart start;
    // Each socket uses each number once: a reply whose number has come round goes to the socket
    // that sent it, not to the request that has the number now.
    if (state.nextSequence == 0) renewSockets(handle, state);
    int descriptor = pingSocketFor(handle, state, destination.family());
    if (descriptor < 0) {
        // No IPv6 ping socket: the kernel lacks IPv6, or the namespace refuses it.
        start.answered = failedAt(destination, ipStatus::generalFailure);
        return start;
    }
    applySettings(descriptor, destination.isIpv6() ? state.ipv6 : state.ipv4, request);

    state.sentAtNs.reset();
    start.sequence = state.nextSequence++;
    buildPingRequest(start.sequence, request.data, request.dataSize, state.request,
                     destination.family());
    state.sentData[start.sequence] = dataDigest(state.request.data(), state.request.size());
    state.sentLength[start.sequence] = static_cast<uint16_t>(state.request.size());
    int failure = sendMessage(descriptor, state.request, destination);
    // An ICMP error that came while no reply was awaited stays pending on the socket, and the
    // kernel reports it at the next send instead of sending. With the queue read the request goes
    // out; errors about requests still in flight are kept for them.
    if (failure != 0 && takeQueuedErrors(descriptor, state, destination)) {
        failure = sendMessage(descriptor, state.request, destination);
    }
    if (failure != 0) {
        // With IP_RECVERR a refused send may also queue its error; it is answered here.
        takeQueuedErrors(descriptor, state, destination);
        start.answered = failedAt(destination, statusForLocalError(failure));
        return start;
    }
    start.sent = true;
    return start;
}

bool LinuxPlatform::takeQueuedErrors(int descriptor, EchoHandleState& state,
                                     const IpAddress& destination) {
    bool any = false;
    Received read;
    for (;;) {
        receive(descriptor, state.received, MSG_ERRQUEUE | MSG_DONTWAIT, read);
        if (read.length < 0) return any;
        any = true;
        const sock_extended_err* error = extendedError(read.header);
        if (error != nullptr && error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
            state.sentAtNs = linux_detail::transmitStampNs(read.header);
            continue;
        }
        auto quoted = quotedRequestSequence(state.received.data(), static_cast<size_t>(read.length),
                                            destination.family());
        // An error without a quote names no request: it belonged to one that is over.
        if (error == nullptr || !quoted) continue;
        EchoAnswer answer{quoted, {}, quotedDestinationOf(read, destination.family())};
        answer.reply.status = statusOf(*error);
        answer.reply.address = offenderOf(*error, endOfControl(read.header), destination);
        state.pending.push_back(answer);
    }
}

std::optional<EchoAnswer> LinuxPlatform::collectEcho(EchoHandle handle, int64_t timeoutNs) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return std::nullopt;
    EchoHandleState& state = found->second;
    if (!state.pending.empty()) {
        EchoAnswer answer = state.pending.front();
        state.pending.pop_front();
        return answer;
    }
    const int64_t deadline = monotonicNs() + std::max<int64_t>(timeoutNs, 0);
    for (;;) {
        // poll skips the IPv6 entry while the handle has no IPv6 socket (-1).
        pollfd entries[4] = {{handle, POLLIN, 0},
                             {state.ipv6Socket, POLLIN, 0},
                             {state.retiredIpv4, POLLIN, 0},
                             {state.retiredIpv6, POLLIN, 0}};
        int ready = pollUntil(entries, 4, deadline);
        if (ready <= 0) return std::nullopt;
        for (const pollfd& entry : entries) {
            if ((entry.revents & POLLNVAL) != 0) return std::nullopt;
        }
        for (const pollfd& entry : entries) {
            if (entry.revents == 0) continue;
            if (auto answer = readAnswer(entry.fd, entry.revents, state)) return answer;
        }
        if (monotonicNs() >= deadline) return std::nullopt;
    }
}

}  // namespace quilvane
