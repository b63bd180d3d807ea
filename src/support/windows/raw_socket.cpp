// The raw ICMP socket through Windows Sockets: socket, options, sendto, select, recvfrom.
#include <winsock2.h>
#include <ws2tcpip.h>

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

}  // namespace

SystemResult<SocketHandle> WindowsPlatform::openRawSocket(AddressFamily family) {
    if (family == AddressFamily::V6) return {invalidSocket, SystemError{WSAEAFNOSUPPORT, {}}};
    SOCKET created = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (created == INVALID_SOCKET) return {invalidSocket, lastSocketError()};
    return {static_cast<SocketHandle>(created), std::nullopt};
}

SystemResult<int> WindowsPlatform::getSocketOption(SocketHandle socket, SocketOption option) {
    auto [level, name] = systemName(option);
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
    auto [level, name] = systemName(option);
    int result = setsockopt(asSocket(socket), level, name, static_cast<const char*>(value),
                            static_cast<int>(length));
    if (result != 0) return lastSocketError();
    return std::nullopt;
}

SystemResult<size_t> WindowsPlatform::sendTo(SocketHandle socket, const uint8_t* data,
                                             size_t length, const IpAddress& destination) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = destination.ipv4();
    int sent =
        sendto(asSocket(socket), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent == SOCKET_ERROR) return {0, lastSocketError()};
    return {static_cast<size_t>(sent), std::nullopt};
}

SystemResult<bool> WindowsPlatform::waitUntil(SocketHandle socket, int64_t deadlineCounter) {
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
        timeval limit{static_cast<long>(sliceUs / 1'000'000),
                      static_cast<long>(sliceUs % 1'000'000)};
        int ready = select(0, &readable, nullptr, nullptr, &limit);
        if (ready == SOCKET_ERROR) return {false, lastSocketError()};
        if (ready > 0) return {true, std::nullopt};
        if (sliceUs == leftUs) return {false, std::nullopt};
    }
}

SystemResult<bool> WindowsPlatform::waitReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitUntil(socket, counterNow() + int64_t{timeoutMs} * frequency_ / 1000);
}

SystemResult<bool> WindowsPlatform::waitReadableNs(SocketHandle socket, SocketHandle,
                                                   int64_t timeoutNs) {
    if (timeoutNs < 0) timeoutNs = 0;
    auto ticks = static_cast<int64_t>(static_cast<long double>(timeoutNs) *
                                      static_cast<long double>(frequency_) / 1e9L);
    return waitUntil(socket, counterNow() + ticks);
}

namespace {

// One recvfrom once the socket is known to be readable; Windows gives no receive stamp.
SystemResult<Datagram> readDatagram(SocketHandle socket, uint8_t* buffer, size_t capacity) {
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

}  // namespace

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
    SystemResult<bool> ready = waitUntil(socket, counterNow() + limitMs * frequency_ / 1000);
    if (!ready.ok()) return {{}, *ready.error};
    if (!ready.value) return {{}, windowsError(WSAETIMEDOUT)};
    return readDatagram(socket, buffer, capacity);
}

SystemResult<Datagram> WindowsPlatform::receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                      size_t capacity) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(asSocket(socket), &readable);
    timeval now{0, 0};
    int ready = select(0, &readable, nullptr, nullptr, &now);
    if (ready == SOCKET_ERROR) return {{}, lastSocketError()};
    // An empty queue reads as the receive time-out a one-by-one run meets.
    if (ready == 0) return {{}, windowsError(WSAETIMEDOUT)};
    return readDatagram(socket, buffer, capacity);
}

std::optional<SystemError> WindowsPlatform::closeSocket(SocketHandle socket) {
    if (closesocket(asSocket(socket)) != 0) return lastSocketError();
    return std::nullopt;
}

}  // namespace quilvane
