// The raw ICMP socket: creation under CAP_NET_RAW, options, send, wait, receive and close.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

OptionName systemName(SocketOption option) {
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

}  // namespace

SystemResult<SocketHandle> LinuxPlatform::openRawSocket(AddressFamily family) {
    if (family == AddressFamily::V6) return {invalidSocket, systemError(EAFNOSUPPORT)};
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
    auto [level, name] = systemName(option);
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
            value = option == SocketOption::DontFragment
                        ? (current == IP_PMTUDISC_DO || current == IP_PMTUDISC_PROBE)
                        : current;
        }
    }
    if (result != 0) return {0, systemError(errno)};
    return {value, std::nullopt};
}

std::optional<SystemError> LinuxPlatform::setSocketOption(SocketHandle socket, SocketOption option,
                                                          const void* value, size_t length) {
    auto [level, name] = systemName(option);
    int result;
    if (option == SocketOption::IpOptions) {
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
    sockaddr_in target = socketAddress(destination.ipv4());
    ssize_t sent = retryOnInterrupt([&] {
        return sendto(socket, data, length, 0, reinterpret_cast<const sockaddr*>(&target),
                      sizeof target);
    });
    if (sent < 0) return {0, systemError(errno)};
    return {static_cast<size_t>(sent), std::nullopt};
}

SystemResult<bool> LinuxPlatform::waitReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitForData(socket, monotonicNs() + int64_t{timeoutMs} * 1'000'000);
}

SystemResult<Datagram> LinuxPlatform::receiveFrom(SocketHandle socket, uint8_t* buffer,
                                                  size_t capacity) {
    return receiveDatagram(socket, buffer, capacity, true);
}

SystemResult<Datagram> LinuxPlatform::receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                    size_t capacity) {
    return receiveDatagram(socket, buffer, capacity, false);
}

SystemResult<bool> LinuxPlatform::waitReadableNs(SocketHandle socket, SocketHandle,
                                                 int64_t timeoutNs) {
    return waitForData(socket, monotonicNs() + (timeoutNs > 0 ? timeoutNs : 0));
}

// Transmit stamps wait on the error queue, which poll reports whatever it is asked for: a wait
// that only found stamps takes them off the queue and goes on waiting for a datagram.
SystemResult<bool> LinuxPlatform::waitForData(SocketHandle socket, int64_t deadlineNs) {
    for (;;) {
        pollfd entry{socket, POLLIN, 0};
        int ready = pollUntil(entry, deadlineNs);
        if (ready < 0) return {false, systemError(errno)};
        if (ready > 0 && (entry.revents & POLLNVAL) != 0) return {false, systemError(EBADF)};
        if (ready == 0 || (entry.revents & POLLIN) != 0) return {ready > 0, std::nullopt};
        // Nothing on the queue: a socket error, which the receive reports.
        if (!takeTransmitStamps(socket, INT64_MAX).taken) return {true, std::nullopt};
    }
}

std::optional<int64_t> LinuxPlatform::transmitStampNs(SocketHandle socket, int64_t notBeforeNs) {
    return takeTransmitStamps(socket, notBeforeNs).newest;
}

SystemResult<Datagram> LinuxPlatform::receiveDatagram(SocketHandle socket, uint8_t* buffer,
                                                      size_t capacity, bool waitForOne) {
    sockaddr_in from{};
    iovec part{buffer, capacity};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec))];
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
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
    datagram.sender = from.sin_addr.s_addr;
    datagram.receivedAtNs = receiveStampNs(header);
    return {datagram, std::nullopt};
}

std::optional<SystemError> LinuxPlatform::closeSocket(SocketHandle socket) {
    // close is not restarted after EINTR: the descriptor is released either way on Linux.
    if (close(socket) != 0) return systemError(errno);
    return std::nullopt;
}

}  // namespace quilvane
