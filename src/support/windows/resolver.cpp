// Forward and reverse name lookups: gethostbyname and gethostbyaddr for IPv4, getaddrinfo and
// getnameinfo for IPv6.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "support/windows/windows_platform.h"

namespace quilvane {

namespace {

// A text of digits and dots that names an IPv4 address resolves to itself, as on Linux, without
// asking a name service; 255.255.255.255 is an address although inet_addr gives INADDR_NONE.
std::optional<Ipv4> dottedAddress(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    Ipv4 address = inet_addr(text.c_str());
    if (address == INADDR_NONE && text != "255.255.255.255") return std::nullopt;
    return address;
}

SystemResult<HostEntry> lookUpIpv4(const std::string& text) {
    if (auto dotted = dottedAddress(text)) return {HostEntry{text, *dotted}, std::nullopt};
    const hostent* found = gethostbyname(text.c_str());
    if (found == nullptr) return {{}, windowsError(WSAGetLastError())};
    HostEntry entry;
    entry.officialName = found->h_name != nullptr ? found->h_name : text;
    if (found->h_addrtype == AF_INET && found->h_length == 4 && found->h_addr_list[0] != nullptr) {
        Ipv4 address;
        std::memcpy(&address, found->h_addr_list[0], sizeof address);
        entry.address = address;
    }
    return {entry, std::nullopt};
}

// getaddrinfo answers with its own numbers too (out of memory, a family it refuses): the seam
// promises the resolver's four, and none of those failures is worth another try.
int resolverError(int number) {
    if (number >= WSAHOST_NOT_FOUND && number <= WSANO_DATA) return number;
    return WSANO_RECOVERY;
}

// No AI_ADDRCONFIG: it would refuse IPv6 on a host whose only IPv6 address is loopback's, and no
// AI_V4MAPPED: an IPv4-only name has no IPv6 address here.
SystemResult<HostEntry> lookUpIpv6(const std::string& text) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    int failed = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (failed != 0) return {{}, windowsError(resolverError(failed))};
    const addrinfo* first = found;
    while (first != nullptr &&
           (first->ai_family != AF_INET6 || first->ai_addrlen < sizeof(sockaddr_in6))) {
        first = first->ai_next;
    }
    if (first == nullptr) {
        freeaddrinfo(found);
        return {{}, windowsError(WSANO_DATA)};
    }
    sockaddr_in6 address;
    std::memcpy(&address, first->ai_addr, sizeof address);
    Ipv6Bytes bytes;
    std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
    // A literal names itself, as a dotted address does; a name takes its canonical name.
    bool canonical = !isIpv6Literal(text) && found->ai_canonname != nullptr;
    HostEntry entry{canonical ? std::string(found->ai_canonname) : text,
                    IpAddress::fromIpv6(bytes, address.sin6_scope_id)};
    freeaddrinfo(found);
    return {entry, std::nullopt};
}

}  // namespace

SystemResult<HostEntry> WindowsPlatform::getHostByName(const std::string& text,
                                                       FamilyChoice family) {
    if (family == FamilyChoice::Ipv6Only) return lookUpIpv6(text);
    if (family == FamilyChoice::Ipv4Only) return lookUpIpv4(text);
    if (isIpv6Literal(text)) return lookUpIpv6(text);
    SystemResult<HostEntry> ipv4 = lookUpIpv4(text);
    if (ipv4.ok()) return ipv4;
    SystemResult<HostEntry> ipv6 = lookUpIpv6(text);
    return ipv6.ok() ? ipv6 : ipv4;
}

std::optional<std::string> WindowsPlatform::getHostByAddr(const IpAddress& address) {
    if (address.isIpv6()) {
        sockaddr_in6 target{};
        target.sin6_family = AF_INET6;
        std::memcpy(&target.sin6_addr, address.ipv6().data(), address.ipv6().size());
        target.sin6_scope_id = address.scopeId();
        char name[NI_MAXHOST];
        // Without NI_NAMEREQD an address without a name comes back as its own text.
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&target), sizeof target, name,
                        sizeof name, nullptr, 0, NI_NAMEREQD) != 0) {
            return std::nullopt;
        }
        return std::string(name);
    }
    Ipv4 ipv4 = address.ipv4();
    const hostent* found =
        gethostbyaddr(reinterpret_cast<const char*>(&ipv4), sizeof ipv4, AF_INET);
    if (found == nullptr || found->h_name == nullptr) return std::nullopt;
    return std::string(found->h_name);
}

}  // namespace quilvane
