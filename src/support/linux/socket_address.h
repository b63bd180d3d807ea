// The IPv4 and IPv6 socket addresses that the raw socket and the echo service send to and read.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "support/platform.h"

namespace quilvane::linux_detail {

inline sockaddr_in socketAddress(Ipv4 address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    return result;
}

inline sockaddr_in6 socketAddress6(const IpAddress& address) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    std::memcpy(&result.sin6_addr, address.ipv6().data(), sizeof result.sin6_addr);
    result.sin6_scope_id = address.scopeId();
    return result;
}

// Room for either family's address, as a destination or as a sender read back.
struct AnySocketAddress {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

inline AnySocketAddress destinationAddress(const IpAddress& address) {
    AnySocketAddress result;
    if (address.isIpv6()) {
        sockaddr_in6 v6 = socketAddress6(address);
        std::memcpy(&result.storage, &v6, sizeof v6);
        result.length = sizeof v6;
    } else {
        sockaddr_in v4 = socketAddress(address.ipv4());
        std::memcpy(&result.storage, &v4, sizeof v4);
        result.length = sizeof v4;
    }
    return result;
}

inline IpAddress addressFromIpv6(const sockaddr_in6& address) {
    Ipv6Bytes bytes;
    std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
    return IpAddress::fromIpv6(bytes, address.sin6_scope_id);
}

// The sender a receive named: an IPv6 address with its zone index, else the IPv4 address (0 when
// the kernel named none, as the IPv4 sockets have always read it).
inline IpAddress senderAddress(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET6) {
        sockaddr_in6 v6;
        std::memcpy(&v6, &from, sizeof v6);
        return addressFromIpv6(v6);
    }
    sockaddr_in v4;
    std::memcpy(&v4, &from, sizeof v4);
    return IpAddress(v4.sin_addr.s_addr);
}

}  // namespace quilvane::linux_detail
