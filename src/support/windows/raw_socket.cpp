// The raw ICMP and ICMPv6 sockets through Windows Sockets: socket, options, sendto, select,
// recvfrom, and WSARecvMsg for an IPv6 reply's hop limit and traffic class.
#include <winsock2.h>
#include <ws2tcpip.h>
// After <winsock2.h>: it needs its types.
#include <mswsock.h>

#include <algorithm>
#include <cstring>

#include "support/console_control.h"
#include "support/windows/windows_platform.h"

namespace quilvane {

namespace {

// A second Control-C is seen within this long of a wait.
constexpr int64_t waitSliceMs = 50;

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
            return {IPPROTO_IP, IP_DONTFRAGMENT};
        case SocketOption::IpOptions:
            return {IPPROTO_IP, IP_OPTIONS};
        case SocketOption::ReceiveBuffer:
            return {SOL_SOCKET, SO_RCVBUF};
    }
    return {IPPROTO_IP, IP_OPTIONS};
}

// IPv6 has no IP options: none for those.
std::optional<OptionName> systemName(SocketOption option, AddressFamily family) {
    if (family == AddressFamily::V4) return systemName(option);
    switch (option) {
        case SocketOption::Ttl:
            return OptionName{IPPROTO_IPV6, IPV6_UNICAST_HOPS};
        case SocketOption::Tos:
            return OptionName{IPPROTO_IPV6, IPV6_TCLASS};
        case SocketOption::DontFragment:
            return OptionName{IPPROTO_IPV6, IPV6_DONTFRAG};
        case SocketOption::IpOptions:
            return std::nullopt;
        default:
            return systemName(option);
    }
}

SystemError lastSocketError() {
    return windowsError(WSAGetLastError());
}

SOCKET asSocket(SocketHandle socket) {
    // A socket is a small kernel handle number; the seam keeps it as an int.
    return static_cast<SOCKET>(static_cast<intptr_t>(socket));
}

int64_t counterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// WSARecvMsg is the provider's: Windows Sockets hands it out per socket, the same for every one.
SystemResult<ReceiveMessageProcedure> findReceiveMessage(SOCKET socket) {
    GUID name = WSAID_WSARECVMSG;
    ReceiveMessageProcedure procedure = nullptr;
    DWORD length = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &name, sizeof name, &procedure,
                 sizeof procedure, &length, nullptr, nullptr) != 0) {
        return {nullptr, lastSocketError()};
    }
    return {procedure, std::nullopt};
}

}  // namespace

SystemResult<SocketHandle> WindowsPlatform::openRawSocket(AddressFamily family) {
    bool ipv6 = family == AddressFamily::V6;
    SOCKET created =
        ipv6 ? socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6) : socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (created == INVALID_SOCKET) return {invalidSocket, lastSocketError()};
    if (ipv6) {
        if (receiveMessage_ == nullptr) {
            SystemResult<ReceiveMessageProcedure> found = findReceiveMessage(created);
            if (!found.ok()) {
                closesocket(created);
                return {invalidSocket, *found.error};
            }
            receiveMessage_ = found.value;
        }
        // The reply's hop limit and traffic class as control data; a system without the traffic
        // class (before Windows 10) still gives the hop limit, and the datagram without either.
        DWORD on = 1;
        setsockopt(created, IPPROTO_IPV6, IPV6_HOPLIMIT, reinterpret_cast<const char*>(&on),
                   sizeof on);
        setsockopt(created, IPPROTO_IPV6, IPV6_RECVTCLASS, reinterpret_cast<const char*>(&on),
                   sizeof on);
    }
    auto handle = static_cast<SocketHandle>(created);
    socketFamilies_[handle] = family;
    return {handle, std::nullopt};
}

AddressFamily WindowsPlatform::familyOf(SocketHandle socket) const {
    auto found = socketFamilies_.find(socket);
    return found == socketFamilies_.end() ? AddressFamily::V4 : found->second;
}

SystemResult<int> WindowsPlatform::getSocketOption(SocketHandle socket, SocketOption option) {
    std::optional<OptionName> systemOption = systemName(option, familyOf(socket));
    if (!systemOption) return {0, windowsError(WSAENOPROTOOPT)};
    auto [level, name] = *systemOption;
    if (option == SocketOption::IpOptions) {
        char bytes[40];
        int length = sizeof bytes;
        if (getsockopt(asSocket(socket), level, name, bytes, &length) != 0) {
            return {0, lastSocketError()};
        }
        return {length, std::nullopt};
    }
    // Time-outs are DWORD milliseconds here, the rest int or DWORD: four bytes either way.
    DWORD value = 0;
    int length = sizeof value;
    if (getsockopt(asSocket(socket), level, name, reinterpret_cast<char*>(&value), &length) != 0) {
        return {0, lastSocketError()};
    }
    return {static_cast<int>(value), std::nullopt};
}

std::optional<SystemError> WindowsPlatform::setSocketOption(SocketHandle socket,
                                                            SocketOption option, const void* value,
                                                            size_t length) {
    std::optional<OptionName> systemOption = systemName(option, familyOf(socket));
    if (!systemOption) return windowsError(WSAENOPROTOOPT);
    int result = setsockopt(asSocket(socket), systemOption->level, systemOption->name,
                            static_cast<const char*>(value), static_cast<int>(length));
    if (result != 0) return lastSocketError();
    return std::nullopt;
}

SystemResult<size_t> WindowsPlatform::sendTo(SocketHandle socket, const uint8_t* data,
                                             size_t length, const IpAddress& destination) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = destination.ipv4();
    sockaddr_in6 target6{};
    target6.sin6_family = AF_INET6;
    std::memcpy(&target6.sin6_addr, destination.ipv6().data(), destination.ipv6().size());
    target6.sin6_scope_id = destination.scopeId();
    bool ipv6 = destination.isIpv6();
    int sent =
        sendto(asSocket(socket), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
               ipv6 ? reinterpret_cast<const sockaddr*>(&target6)
                    : reinterpret_cast<const sockaddr*>(&target),
               ipv6 ? sizeof target6 : sizeof target);
    if (sent == SOCKET_ERROR) return {0, lastSocketError()};
    return {static_cast<size_t>(sent), std::nullopt};
}

SystemResult<bool> WindowsPlatform::waitUntil(SocketHandle socket, SocketHandle also,
                                              int64_t deadlineCounter) {
    for (;;) {
        if (waitsCutShort()) return {false, std::nullopt};
        int64_t left = deadlineCounter - counterNow();
        if (left < 0) left = 0;
        // Rounded up to whole microseconds, so that the wait never ends before its time.
        int64_t leftUs = (left * 1'000'000 + frequency_ - 1) / frequency_;
        int64_t sliceUs = std::min<int64_t>(leftUs, waitSliceMs * 1000);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(asSocket(socket), &readable);
        if (also != invalidSocket) FD_SET(asSocket(also), &readable);
        timeval limit{static_cast<long>(sliceUs / 1'000'000),
                      static_cast<long>(sliceUs % 1'000'000)};
        int ready = select(0, &readable, nullptr, nullptr, &limit);
        if (ready == SOCKET_ERROR) return {false, lastSocketError()};
        if (ready > 0) return {true, std::nullopt};
        if (sliceUs == leftUs) return {false, std::nullopt};
    }
}

SystemResult<bool> WindowsPlatform::waitReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitUntil(socket, invalidSocket, counterNow() + int64_t{timeoutMs} * frequency_ / 1000);
}

SystemResult<bool> WindowsPlatform::waitReadableNs(SocketHandle socket, SocketHandle also,
                                                   int64_t timeoutNs) {
    if (timeoutNs < 0) timeoutNs = 0;
    auto ticks = static_cast<int64_t>(static_cast<long double>(timeoutNs) *
                                      static_cast<long double>(frequency_) / 1e9L);
    return waitUntil(socket, also, counterNow() + ticks);
}

// One read once the socket is known to be readable; Windows gives no receive stamp.
SystemResult<Datagram> WindowsPlatform::readDatagram(SocketHandle socket, uint8_t* buffer,
                                                     size_t capacity) {
    if (familyOf(socket) == AddressFamily::V6) return readIpv6Datagram(socket, buffer, capacity);
    sockaddr_in from{};
    int fromLength = sizeof from;
    int received = recvfrom(asSocket(socket), reinterpret_cast<char*>(buffer),
                            static_cast<int>(std::min<size_t>(capacity, 0x7FFFFFFF)), 0,
                            reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received == SOCKET_ERROR) return {{}, lastSocketError()};
    Datagram datagram;
    datagram.length = static_cast<size_t>(received);
    datagram.sender = from.sin_addr.s_addr;
    return {datagram, std::nullopt};
}

namespace {

// The hop limit and traffic class beside an IPv6 datagram; each an int of its own.
void readControlData(WSAMSG& message, Datagram& datagram) {
    for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
         header = WSA_CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != IPPROTO_IPV6 || header->cmsg_len < WSA_CMSG_LEN(sizeof(int))) {
            continue;
        }
        int value = 0;
        std::memcpy(&value, WSA_CMSG_DATA(header), sizeof value);
        if (header->cmsg_type == IPV6_HOPLIMIT) datagram.hopLimit = static_cast<uint8_t>(value);
        if (header->cmsg_type == IPV6_TCLASS) datagram.trafficClass = static_cast<uint8_t>(value);
    }
}

// Windows has no ICMPv6 filter for a raw socket, which sees neighbour discovery and every other
// message of the host: what the engine never reads (anything but an echo reply and the errors
// destination unreachable, packet too big, time exceeded and parameter problem) is passed over
// here, as Linux's filter does in the kernel.
bool passedOver(AddressFamily family, const SystemResult<Datagram>& read, const uint8_t* message) {
    if (family == AddressFamily::V4 || !read.ok()) return false;
    if (read.value.length == 0) return true;
    constexpr uint8_t echoReply = 129;
    uint8_t type = message[0];
    bool error = type >= 1 && type <= 4;
    return !error && type != echoReply;
}

}  // namespace

// An ICMPv6 socket reads the message without the IPv6 header: what the header held comes as
// control data.
SystemResult<Datagram> WindowsPlatform::readIpv6Datagram(SocketHandle socket, uint8_t* buffer,
                                                         size_t capacity) {
    sockaddr_in6 from{};
    // Room for both values, each rounded up to the header's alignment.
    alignas(WSACMSGHDR) char control[2 * WSA_CMSG_SPACE(sizeof(int)) + 16] = {};
    WSABUF data{static_cast<ULONG>(std::min<size_t>(capacity, 0x7FFFFFFF)),
                reinterpret_cast<char*>(buffer)};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&from);
    message.namelen = sizeof from;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = WSABUF{sizeof control, control};
    DWORD received = 0;
    if (receiveMessage_(asSocket(socket), &message, &received, nullptr, nullptr) != 0) {
        return {{}, lastSocketError()};
    }
    Datagram datagram;
    datagram.length = received;
    Ipv6Bytes sender;
    std::memcpy(sender.data(), &from.sin6_addr, sender.size());
    datagram.sender = IpAddress::fromIpv6(sender, from.sin6_scope_id);
    readControlData(message, datagram);
    return {datagram, std::nullopt};
}

SystemResult<Datagram> WindowsPlatform::receiveFrom(SocketHandle socket, uint8_t* buffer,
                                                    size_t capacity) {
    // A blocking recvfrom cannot be cut short by a second Control-C (the handler runs on a thread
    // of its own), so the receive time-out (SO_RCVTIMEO, 0 for none) is waited out in slices
    // first; once waits are cut short the receive fails as if that time had run out.
    DWORD timeoutMs = 0;
    int length = sizeof timeoutMs;
    if (getsockopt(asSocket(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeoutMs),
                   &length) != 0) {
        return {{}, lastSocketError()};
    }
    int64_t limitMs = timeoutMs == 0 ? int64_t{1} << 40 : int64_t{timeoutMs};
    const int64_t deadline = counterNow() + limitMs * frequency_ / 1000;
    for (;;) {
        SystemResult<bool> ready = waitUntil(socket, invalidSocket, deadline);
        if (!ready.ok()) return {{}, *ready.error};
        if (!ready.value) return {{}, windowsError(WSAETIMEDOUT)};
        SystemResult<Datagram> read = readDatagram(socket, buffer, capacity);
        if (!passedOver(familyOf(socket), read, buffer)) return read;
    }
}

SystemResult<Datagram> WindowsPlatform::receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                      size_t capacity) {
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(asSocket(socket), &readable);
        timeval now{0, 0};
        int ready = select(0, &readable, nullptr, nullptr, &now);
        if (ready == SOCKET_ERROR) return {{}, lastSocketError()};
        // An empty queue reads as the receive time-out a one-by-one run meets.
        if (ready == 0) return {{}, windowsError(WSAETIMEDOUT)};
        SystemResult<Datagram> read = readDatagram(socket, buffer, capacity);
        if (!passedOver(familyOf(socket), read, buffer)) return read;
    }
}

std::optional<SystemError> WindowsPlatform::closeSocket(SocketHandle socket) {
    socketFamilies_.erase(socket);
    if (closesocket(asSocket(socket)) != 0) return lastSocketError();
    return std::nullopt;
}

}  // namespace quilvane
