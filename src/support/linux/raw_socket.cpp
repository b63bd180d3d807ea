// The raw ICMP and ICMPv6 sockets: creation under CAP_NET_RAW, options, send, wait, receive, close.
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "support/linux/capabilities.h"
#include "support/linux/errors.h"
#include "support/linux/linux_platform.h"
#include "support/linux/monotonic.h"
#include "support/linux/receive_stamp.h"
#include "support/linux/reply_filter.h"
#include "support/linux/socket_address.h"
#include "support/linux/system_call.h"

namespace quilvane {

using namespace linux_detail;

namespace {

struct OptionName {
    int level;
    int name;
};

OptionName systemName(SocketOption option, bool ipv6) {
    if (ipv6) {
        switch (option) {
            case SocketOption::Ttl:
                return {IPPROTO_IPV6, IPV6_UNICAST_HOPS};
            case SocketOption::Tos:
                return {IPPROTO_IPV6, IPV6_TCLASS};
            case SocketOption::DontFragment:
                return {IPPROTO_IPV6, IPV6_DONTFRAG};
            default:
                break;
        }
    }
    switch (option) {
        case SocketOption::ReceiveTimeout:
            return {SOL_SOCKET, SO_RCVTIMEO};
        case SocketOption::SendTimeout:
            return {SOL_SOCKET, SO_SNDTIMEO};
        case SocketOption::Ttl:
            return {IPPROTO_IP, IP_TTL};
        case SocketOption::Tos:
            return {IPPROTO_IP, IP_TOS};
        case SocketOption::DontFragment:
            return {IPPROTO_IP, IP_MTU_DISCOVER};
        case SocketOption::IpOptions:
            return {IPPROTO_IP, IP_OPTIONS};
        case SocketOption::ReceiveBuffer:
            return {SOL_SOCKET, SO_RCVBUF};
    }
    return {IPPROTO_IP, IP_OPTIONS};
}

// Only these options are named differently on an IPv6 socket; the others cost no question.
bool dependsOnFamily(SocketOption option) {
    return option == SocketOption::Ttl || option == SocketOption::Tos ||
           option == SocketOption::DontFragment || option == SocketOption::IpOptions;
}

// The family is the socket's own; a descriptor the kernel cannot tell counts as IPv4, and its
// calls fail as they always have.
bool isIpv6Socket(int socket) {
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET6;
}

// What an IPv6 socket read beside the ICMPv6 message (the IPv4 socket asks for neither).
void readHopLimitAndClass(msghdr& header, Datagram& datagram) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        if (message->cmsg_level != IPPROTO_IPV6 || message->cmsg_len < CMSG_LEN(sizeof(int))) {
            continue;
        }
        int value;
        std::memcpy(&value, CMSG_DATA(message), sizeof value);
        if (message->cmsg_type == IPV6_HOPLIMIT) datagram.hopLimit = static_cast<uint8_t>(value);
        if (message->cmsg_type == IPV6_TCLASS) datagram.trafficClass = static_cast<uint8_t>(value);
    }
}

bool isTimeout(SocketOption option) {
    return option == SocketOption::ReceiveTimeout || option == SocketOption::SendTimeout;
}

// Time-outs count as unsigned milliseconds, as the engines read them; 0 waits without end.
timeval timevalFromMs(uint32_t ms) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    return value;
}

struct TakenStamps {
    bool taken = false;
    std::optional<int64_t> newest;
};

// Empties the error queue, which on a raw socket holds transmit stamps only (without IP_RECVERR
// the kernel queues no ICMP errors there).
TakenStamps takeTransmitStamps(int socket, int64_t notBeforeNs) {
    TakenStamps result;
    for (;;) {
        alignas(cmsghdr) unsigned char control[256];
        msghdr header{};
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        if (recvmsg(socket, &header, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return result;
        result.taken = true;
        std::optional<int64_t> stamp = transmitStampNs(header);
        if (stamp && *stamp >= notBeforeNs) result.newest = stamp;
    }
}

void enableIpv6(int descriptor, int option) {
    int on = 1;
    setsockopt(descriptor, IPPROTO_IPV6, option, &on, sizeof on);
}

// Echo replies and the errors that can answer a request: unreachable, too big, time exceeded,
// parameter problem. The rest of the host's ICMPv6 traffic (neighbour discovery above all) stays
// out of the socket's queue.
void passOnlyAnswers(int descriptor) {
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                     ICMP6_PARAM_PROB}) {
        ICMP6_FILTER_SETPASS(type, &filter);
    }
    setsockopt(descriptor, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
}

// The kernel fills in the ICMPv6 checksum on send and checks it on receive, so the engine's
// requests go out with checksum 0. The hop limit and traffic class of each reply come as control
// messages, as the datagram carries no IPv6 header. As on the IPv4 socket, an option the kernel
// refuses leaves the socket working without it.
SystemResult<SocketHandle> openRawIpv6Socket(uint16_t identifier) {
    int descriptor;
    {
        RawCapabilityScope capability;
        descriptor = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    }
    if (descriptor < 0) return {invalidSocket, systemError(errno)};
    passOnlyAnswers(descriptor);
    enableIpv6(descriptor, IPV6_RECVHOPLIMIT);
    enableIpv6(descriptor, IPV6_RECVTCLASS);
    if (attachIpv6ReplyFilter(descriptor, identifier)) {
        discardQueuedDatagrams(descriptor);
    }
    enableReceiveStamps(descriptor);
    enableTransmitStamps(descriptor);
    return {descriptor, std::nullopt};
}

}  // namespace

SystemResult<SocketHandle> LinuxPlatform::openRawSocket(AddressFamily family) {
    if (family == AddressFamily::V6) {
        return openRawIpv6Socket(static_cast<uint16_t>(currentThreadId()));
    }
    int descriptor;
    {
        RawCapabilityScope capability;
        descriptor = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    }
    if (descriptor < 0) return {invalidSocket, systemError(errno)};
    // Linux sets Don't Fragment on raw sockets by default (path MTU discovery); a request may be
    // fragmented unless the user asked for the flag, which the engine then sets explicitly.
    int discovery = IP_PMTUDISC_DONT;
    setsockopt(descriptor, IPPROTO_IP, IP_MTU_DISCOVER, &discovery, sizeof discovery);
    // The socket sees every ICMP message of the host: another program's echo traffic would use
    // up the engine's retry limits and hide the awaited reply. The engine's identifier is the
    // calling thread's, the one that sends and receives on this socket.
    if (attachReplyFilter(descriptor, static_cast<uint16_t>(currentThreadId()))) {
        discardQueuedDatagrams(descriptor);
    }
    enableReceiveStamps(descriptor);
    enableTransmitStamps(descriptor);
    return {descriptor, std::nullopt};
}

SystemResult<int> LinuxPlatform::getSocketOption(SocketHandle socket, SocketOption option) {
    const bool ipv6 = dependsOnFamily(option) && isIpv6Socket(socket);
    // IPv6 has no header options to set: -r and -s have nothing to carry them.
    if (ipv6 && option == SocketOption::IpOptions) return {0, systemError(ENOPROTOOPT)};
    auto [level, name] = systemName(option, ipv6);
    int value = 0;
    int result;
    if (isTimeout(option)) {
        timeval current{};
        socklen_t length = sizeof current;
        result = getsockopt(socket, level, name, &current, &length);
        if (result == 0) value = static_cast<int>(current.tv_sec * 1000 + current.tv_usec / 1000);
    } else if (option == SocketOption::IpOptions) {
        unsigned char bytes[40];
        socklen_t length = sizeof bytes;
        result = getsockopt(socket, level, name, bytes, &length);
        if (result == 0) value = static_cast<int>(length);
    } else {
        int current = 0;
        socklen_t length = sizeof current;
        result = getsockopt(socket, level, name, &current, &length);
        if (result == 0) {
            value = option == SocketOption::DontFragment && !ipv6
                        ? (current == IP_PMTUDISC_DO || current == IP_PMTUDISC_PROBE)
                        : current;
        }
    }
    if (result != 0) return {0, systemError(errno)};
    return {value, std::nullopt};
}

std::optional<SystemError> LinuxPlatform::setSocketOption(SocketHandle socket, SocketOption option,
                                                          const void* value, size_t length) {
    const bool ipv6 = dependsOnFamily(option) && isIpv6Socket(socket);
    auto [level, name] = systemName(option, ipv6);
    int result;
    if (ipv6 && option == SocketOption::IpOptions) {
        errno = ENOPROTOOPT;
        result = -1;
    } else if (option == SocketOption::IpOptions) {
        result = setsockopt(socket, level, name, value, static_cast<socklen_t>(length));
    } else if (value == nullptr || length < sizeof(int)) {
        errno = value == nullptr ? EFAULT : EINVAL;
        result = -1;
    } else {
        int number;
        std::memcpy(&number, value, sizeof number);
        if (isTimeout(option)) {
            timeval limit = timevalFromMs(static_cast<uint32_t>(number));
            result = setsockopt(socket, level, name, &limit, sizeof limit);
        } else if (option == SocketOption::DontFragment && ipv6) {
            int dontFragment = number != 0 ? 1 : 0;
            result = setsockopt(socket, level, name, &dontFragment, sizeof dontFragment);
        } else if (option == SocketOption::DontFragment) {
            int discovery = number != 0 ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
            result = setsockopt(socket, level, name, &discovery, sizeof discovery);
        } else {
            result = setsockopt(socket, level, name, &number, sizeof number);
        }
    }
    if (result != 0) return systemError(errno);
    return std::nullopt;
}

SystemResult<size_t> LinuxPlatform::sendTo(SocketHandle socket, const uint8_t* data, size_t length,
                                           const IpAddress& destination) {
    AnySocketAddress target = destinationAddress(destination);
    ssize_t sent = retryOnInterrupt(
        [&] { return sendto(socket, data, length, 0, target.get(), target.length); });
    if (sent < 0) return {0, systemError(errno)};
    return {static_cast<size_t>(sent), std::nullopt};
}

SystemResult<bool> LinuxPlatform::waitReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitForData(socket, invalidSocket, monotonicNs() + int64_t{timeoutMs} * 1'000'000);
}

SystemResult<Datagram> LinuxPlatform::receiveFrom(SocketHandle socket, uint8_t* buffer,
                                                  size_t capacity) {
    return receiveDatagram(socket, buffer, capacity, true);
}

SystemResult<Datagram> LinuxPlatform::receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                    size_t capacity) {
    return receiveDatagram(socket, buffer, capacity, false);
}

SystemResult<bool> LinuxPlatform::waitReadableNs(SocketHandle socket, SocketHandle also,
                                                 int64_t timeoutNs) {
    return waitForData(socket, also, monotonicNs() + (timeoutNs > 0 ? timeoutNs : 0));
}

// Transmit stamps wait on the error queue, which poll reports whatever it is asked for: a wait
// that only found stamps takes them off the queue and goes on waiting for a datagram. poll skips
// a negative descriptor, so also may be invalidSocket.
SystemResult<bool> LinuxPlatform::waitForData(SocketHandle socket, SocketHandle also,
                                              int64_t deadlineNs) {
    for (;;) {
        pollfd entries[2] = {{socket, POLLIN, 0}, {also, POLLIN, 0}};
        int ready = pollUntil(entries, 2, deadlineNs);
        if (ready < 0) return {false, systemError(errno)};
        if (ready == 0) return {false, std::nullopt};
        bool readable = false;
        for (const pollfd& entry : entries) {
            if ((entry.revents & POLLNVAL) != 0) return {false, systemError(EBADF)};
            readable = readable || (entry.revents & POLLIN) != 0;
        }
        if (readable) return {true, std::nullopt};
        for (const pollfd& entry : entries) {
            // Nothing on the queue: a socket error, which the receive reports.
            if (entry.revents != 0 && !takeTransmitStamps(entry.fd, INT64_MAX).taken) {
                return {true, std::nullopt};
            }
        }
    }
}

std::optional<int64_t> LinuxPlatform::transmitStampNs(SocketHandle socket, int64_t notBeforeNs) {
    return takeTransmitStamps(socket, notBeforeNs).newest;
}

SystemResult<Datagram> LinuxPlatform::receiveDatagram(SocketHandle socket, uint8_t* buffer,
                                                      size_t capacity, bool waitForOne) {
    AnySocketAddress from;
    iovec part{buffer, capacity};
    // The kernel adds a software stamp in SO_TIMESTAMPING's form as well, as the transmit stamps
    // are asked for; without room for it the hop limit and traffic class would be cut off.
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec)) +
                                           CMSG_SPACE(sizeof(scm_timestamping)) +
                                           2 * CMSG_SPACE(sizeof(int))];
    msghdr header{};
    header.msg_name = from.get();
    header.msg_namelen = from.length;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    // The receive time-out (SO_RCVTIMEO) is the reply wait's; once waits are cut short the
    // receive fails as if it had run out (EAGAIN) instead of blocking.
    ssize_t received = retryOnInterrupt([&] {
        int flags = !waitForOne || waitsCutShort() ? MSG_DONTWAIT : 0;
        return recvmsg(socket, &header, flags);
    });
    if (received < 0) return {{}, systemError(errno)};
    Datagram datagram;
    datagram.length = static_cast<size_t>(received);
    datagram.sender = senderAddress(from.storage);
    readHopLimitAndClass(header, datagram);
    datagram.receivedAtNs = receiveStampNs(header);
    return {datagram, std::nullopt};
}

namespace {

// The most datagrams one batched call takes; a longer batch takes several calls.
constexpr size_t batchLimit = 64;

// Room for what a receive brings beside the datagram: both receive stamps, hop limit and class.
constexpr size_t receiveControlSize = CMSG_SPACE(sizeof(timespec)) +
                                      CMSG_SPACE(sizeof(scm_timestamping)) +
                                      2 * CMSG_SPACE(sizeof(int));

}  // namespace

QueuedBatch LinuxPlatform::receiveQueuedBatch(SocketHandle socket, uint8_t* slots, size_t slotSize,
                                              Datagram* datagrams, size_t most) {
    AnySocketAddress from[batchLimit];
    iovec parts[batchLimit];
    alignas(cmsghdr) unsigned char control[batchLimit][receiveControlSize];
    mmsghdr headers[batchLimit];
    size_t batch = std::min(most, batchLimit);
    for (size_t i = 0; i < batch; ++i) {
        from[i] = AnySocketAddress{};
        parts[i] = {slots + i * slotSize, slotSize};
        headers[i] = {};
        headers[i].msg_hdr.msg_name = from[i].get();
        headers[i].msg_hdr.msg_namelen = from[i].length;
        headers[i].msg_hdr.msg_iov = &parts[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_control = control[i];
        headers[i].msg_hdr.msg_controllen = receiveControlSize;
    }
    int received = retryOnInterrupt([&] {
        return recvmmsg(socket, headers, static_cast<unsigned>(batch), MSG_DONTWAIT, nullptr);
    });
    QueuedBatch result;
    if (received < 0) {
        result.stoppedBy = systemError(errno);
        return result;
    }
    for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
        Datagram& datagram = datagrams[i];
        datagram = Datagram{};
        datagram.length = headers[i].msg_len;
        datagram.sender = senderAddress(from[i].storage);
        readHopLimitAndClass(headers[i].msg_hdr, datagram);
        datagram.receivedAtNs = receiveStampNs(headers[i].msg_hdr);
    }
    result.count = static_cast<size_t>(received);
    // A batch that came back short found the queue empty, as a single receive would have.
    if (result.count < batch) result.stoppedBy = systemError(EAGAIN);
    return result;
}

size_t LinuxPlatform::transmitStampsNs(SocketHandle socket, int64_t notBeforeNs, int64_t* stamps,
                                       size_t most) {
    size_t taken = 0;
    while (taken < most) {
        alignas(cmsghdr) unsigned char control[batchLimit][256];
        mmsghdr headers[batchLimit];
        size_t batch = std::min(most - taken, batchLimit);
        for (size_t i = 0; i < batch; ++i) {
            headers[i] = {};
            headers[i].msg_hdr.msg_control = control[i];
            headers[i].msg_hdr.msg_controllen = sizeof control[i];
        }
        int read = recvmmsg(socket, headers, static_cast<unsigned>(batch),
                            MSG_ERRQUEUE | MSG_DONTWAIT, nullptr);
        if (read <= 0) break;
        for (int i = 0; i < read; ++i) {
            std::optional<int64_t> stamp = linux_detail::transmitStampNs(headers[i].msg_hdr);
            if (stamp && *stamp >= notBeforeNs) stamps[taken++] = *stamp;
        }
        if (static_cast<size_t>(read) < batch) break;
    }
    return taken;
}

// One call for the whole batch: on a virtual machine a system call costs about as much as the
// kernel's work on a small request. A datagram the kernel refuses ends the call before it (the
// count says so) or fails it; the call is made again from there so that its error is known.
BatchSent LinuxPlatform::sendBatch(SocketHandle socket, const OutgoingDatagram* datagrams,
                                   size_t count) {
    BatchSent result;
    while (result.sent < count) {
        AnySocketAddress targets[batchLimit];
        iovec parts[batchLimit];
        mmsghdr headers[batchLimit];
        size_t batch = std::min(count - result.sent, batchLimit);
        for (size_t i = 0; i < batch; ++i) {
            const OutgoingDatagram& datagram = datagrams[result.sent + i];
            targets[i] = destinationAddress(datagram.destination);
            parts[i] = {const_cast<uint8_t*>(datagram.data), datagram.length};
            headers[i] = {};
            headers[i].msg_hdr.msg_name = targets[i].get();
            headers[i].msg_hdr.msg_namelen = targets[i].length;
            headers[i].msg_hdr.msg_iov = &parts[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = retryOnInterrupt(
            [&] { return sendmmsg(socket, headers, static_cast<unsigned>(batch), 0); });
        if (sent < 0) {
            result.error = systemError(errno);
            return result;
        }
        result.sent += static_cast<size_t>(sent);
    }
    return result;
}

std::optional<SystemError> LinuxPlatform::closeSocket(SocketHandle socket) {
    // close is not restarted after EINTR: the descriptor is released either way on Linux.
    if (close(socket) != 0) return systemError(errno);
    return std::nullopt;
}

}  // namespace quilvane
