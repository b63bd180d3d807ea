// The echo service on the kernel's ping socket: one echo request, then its reply or ICMP error.
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

bool enable(int descriptor, int option) {
    int on = 1;
    return setsockopt(descriptor, IPPROTO_IP, option, &on, sizeof on) == 0;
}

// One read from the socket with room for the control messages (TTL, TOS, IP options, and an
// extended error with its offender address).
struct Received {
    ssize_t length = -1;
    sockaddr_in from{};
    alignas(cmsghdr) unsigned char control[512];
    msghdr header{};
};

void receive(int descriptor, std::vector<uint8_t>& buffer, int flags, Received& into) {
    iovec part{buffer.data(), buffer.size()};
    into.header = msghdr{};
    into.header.msg_name = &into.from;
    into.header.msg_namelen = sizeof into.from;
    into.header.msg_iov = &part;
    into.header.msg_iovlen = 1;
    into.header.msg_control = into.control;
    into.header.msg_controllen = sizeof into.control;
    into.length = retryOnInterrupt([&] { return recvmsg(descriptor, &into.header, flags); });
}

void readReplyDetails(msghdr& header, EchoServiceReply& reply) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        if (message->cmsg_level != IPPROTO_IP) continue;
        const unsigned char* data = CMSG_DATA(message);
        size_t size = message->cmsg_len - CMSG_LEN(0);
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
        if (message->cmsg_level == IPPROTO_IP && message->cmsg_type == IP_RECVERR &&
            message->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            return reinterpret_cast<const sock_extended_err*>(CMSG_DATA(message));
        }
    }
    return nullptr;
}

uint32_t statusOf(const sock_extended_err& error) {
    if (error.ee_origin == SO_EE_ORIGIN_ICMP)
        return statusForIcmpError(error.ee_type, error.ee_code);
    if (error.ee_origin == SO_EE_ORIGIN_LOCAL) return statusForLocalError(error.ee_errno);
    return ipStatus::generalFailure;
}

// Who raised the error: the router or host that sent the ICMP message; for an error raised on
// this host, the address the request was sent to.
Ipv4 offenderOf(const sock_extended_err& error, const cmsghdr* end, Ipv4 destination) {
    const auto* offender = reinterpret_cast<const unsigned char*>(SO_EE_OFFENDER(&error));
    if (offender + sizeof(sockaddr_in) > reinterpret_cast<const unsigned char*>(end)) {
        return destination;
    }
    sockaddr_in address;
    std::memcpy(&address, offender, sizeof address);
    return address.sin_family == AF_INET ? address.sin_addr.s_addr : destination;
}

const cmsghdr* endOfControl(msghdr& header) {
    return reinterpret_cast<const cmsghdr*>(static_cast<unsigned char*>(header.msg_control) +
                                            header.msg_controllen);
}

// Sends one ICMP message; 0 when it went out, else the errno of the failure.
int sendMessage(int descriptor, const std::vector<uint8_t>& message, Ipv4 destination) {
    sockaddr_in target = socketAddress(destination);
    ssize_t sent = retryOnInterrupt([&] {
        return sendto(descriptor, message.data(), message.size(), 0,
                      reinterpret_cast<const sockaddr*>(&target), sizeof target);
    });
    return sent < 0 ? errno : 0;
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

EchoHandle LinuxPlatform::createEchoHandle() {
    int descriptor = openPingSocket();
    if (descriptor < 0) return invalidEchoHandle;
    // IP_RECVOPTS hands back the reply's options as they arrived (a record route as recorded).
    if (!enable(descriptor, IP_RECVTTL) || !enable(descriptor, IP_RECVTOS) ||
        !enable(descriptor, IP_RECVOPTS) || !enable(descriptor, IP_RECVERR)) {
        close(descriptor);
        return invalidEchoHandle;
    }
    enableReceiveStamps(descriptor);
    enableTransmitStamps(descriptor);
    EchoHandleState& state = echoHandles_[descriptor];
    state = EchoHandleState{};
    state.received.resize(receiveCapacity);
    return descriptor;
}

void LinuxPlatform::closeEchoHandle(EchoHandle handle) {
    if (echoHandles_.erase(handle) != 0) close(handle);
}

void LinuxPlatform::applyEchoSettings(EchoHandle handle, EchoHandleState& state,
                                      const EchoServiceRequest& request) {
    auto setInteger = [handle](int option, int value) {
        return setsockopt(handle, IPPROTO_IP, option, &value, sizeof value) == 0;
    };
    if (state.ttl != request.ttl && setInteger(IP_TTL, request.ttl)) state.ttl = request.ttl;
    if (state.tos != request.tos && setInteger(IP_TOS, request.tos)) state.tos = request.tos;
    if (state.dontFragment != request.dontFragment &&
        setInteger(IP_MTU_DISCOVER, request.dontFragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT)) {
        state.dontFragment = request.dontFragment;
    }
    std::vector<uint8_t> options;
    if (request.options != nullptr) {
        options.assign(request.options, request.options + request.optionsSize);
    }
    if (state.options != options && setsockopt(handle, IPPROTO_IP, IP_OPTIONS, options.data(),
                                               static_cast<socklen_t>(options.size())) == 0) {
        state.options = std::move(options);
    }
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
    takeQueuedErrors(handle, echoHandles_[handle], request.destination.ipv4());
    const int64_t deadline = monotonicNs() + int64_t{request.timeoutMs} * 1'000'000;
    for (;;) {
        std::optional<EchoAnswer> answer = collectEcho(handle, deadline - monotonicNs());
        if (!answer) return 0;
        // An error that names no request was raised here, for the one request in flight.
        if (!answer->sequence || *answer->sequence == start.sequence) {
            reply = answer->reply;
            if (reply.address == IpAddress()) reply.address = request.destination;
            reply.sentAtNs = echoHandles_[handle].sentAtNs;
            return 1;
        }
    }
}

EchoStart LinuxPlatform::startEcho(EchoHandle handle, const EchoServiceRequest& request) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return {};
    EchoHandleState& state = found->second;
    applyEchoSettings(handle, state, request);

    EchoStart start;
    state.sentAtNs.reset();
    start.sequence = state.nextSequence++;
    buildPingRequest(start.sequence, request.data, request.dataSize, state.request);
    int failure = sendMessage(handle, state.request, request.destination.ipv4());
    // An ICMP error that came while no reply was awaited stays pending on the socket, and the
    // kernel reports it at the next send instead of sending. With the queue read the request goes
    // out; errors about requests still in flight are kept for them.
    if (failure != 0 && takeQueuedErrors(handle, state, request.destination.ipv4())) {
        failure = sendMessage(handle, state.request, request.destination.ipv4());
    }
    if (failure != 0) {
        // With IP_RECVERR a refused send may also queue its error; it is answered here.
        takeQueuedErrors(handle, state, request.destination.ipv4());
        EchoServiceReply reply;
        reply.status = statusForLocalError(failure);
        reply.address = request.destination;
        start.answered = reply;
        return start;
    }
    start.sent = true;
    return start;
}

bool LinuxPlatform::takeQueuedErrors(EchoHandle handle, EchoHandleState& state, Ipv4 destination) {
    bool any = false;
    Received read;
    for (;;) {
        receive(handle, state.received, MSG_ERRQUEUE | MSG_DONTWAIT, read);
        if (read.length < 0) return any;
        any = true;
        const sock_extended_err* error = extendedError(read.header);
        if (error != nullptr && error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
            state.sentAtNs = linux_detail::transmitStampNs(read.header);
            continue;
        }
        auto quoted =
            quotedRequestSequence(state.received.data(), static_cast<size_t>(read.length));
        // An error without a quote names no request: it belonged to one that is over.
        if (error == nullptr || !quoted) continue;
        EchoAnswer answer{quoted, {}};
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
    Received read;
    for (;;) {
        pollfd entry{handle, POLLIN, 0};
        int ready = pollUntil(entry, deadline);
        if (ready <= 0 || (entry.revents & POLLNVAL) != 0) return std::nullopt;

        if ((entry.revents & POLLERR) != 0) {
            receive(handle, state.received, MSG_ERRQUEUE | MSG_DONTWAIT, read);
            const sock_extended_err* error =
                read.length >= 0 ? extendedError(read.header) : nullptr;
            if (error != nullptr && error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
                state.sentAtNs = linux_detail::transmitStampNs(read.header);
            } else if (error != nullptr) {
                EchoAnswer answer;
                if (read.length >= static_cast<ssize_t>(icmpHeaderSize)) {
                    answer.sequence = quotedRequestSequence(state.received.data(),
                                                            static_cast<size_t>(read.length));
                    // A quote that is not one of our requests answers nothing.
                    if (!answer.sequence) continue;
                }
                answer.reply.status = statusOf(*error);
                answer.reply.address = offenderOf(*error, endOfControl(read.header), 0);
                return answer;
            }
        }
        if ((entry.revents & (POLLIN | POLLERR)) != 0) {
            // With an error pending, this read reports it (and clears it) instead of data.
            receive(handle, state.received, MSG_DONTWAIT, read);
            if (read.length >= 0) {
                auto replied =
                    echoReplySequence(state.received.data(), static_cast<size_t>(read.length));
                if (replied) {
                    EchoAnswer answer{replied, {}};
                    answer.reply.address = read.from.sin_addr.s_addr;
                    size_t dataSize = static_cast<size_t>(read.length) - icmpHeaderSize;
                    answer.reply.dataSize =
                        static_cast<uint16_t>(std::min<size_t>(dataSize, 0xFFFF));
                    readReplyDetails(read.header, answer.reply);
                    answer.reply.receivedAtNs = receiveStampNs(read.header);
                    return answer;
                }
            }
        }
        if (monotonicNs() >= deadline) return std::nullopt;
    }
}

}  // namespace quilvane
