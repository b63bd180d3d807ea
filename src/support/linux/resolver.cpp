// Forward and reverse name lookups for IPv4 and IPv6 through the system resolver (files, DNS...).
#include "support/linux/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "support/linux/errors.h"
#include "support/linux/linux_platform.h"
#include "support/linux/socket_address.h"

namespace quilvane {

namespace linux_detail {

std::optional<Ipv4> parseDottedText(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    in_addr address{};
    if (inet_aton(text.c_str(), &address) == 0) return std::nullopt;
    return address.s_addr;
}

}  // namespace linux_detail

using namespace linux_detail;

namespace {

// One getaddrinfo call for one family: the entry, or the resolver's code and errno.
struct Lookup {
    HostEntry entry;
    int code = 0;
    int errnoValue = 0;
};

std::optional<IpAddress> firstAddress(const addrinfo* results, int family) {
    for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_family != family) continue;
        if (family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in found;
            std::memcpy(&found, result->ai_addr, sizeof found);
            return IpAddress(found.sin_addr.s_addr);
        }
        if (family == AF_INET6 && result->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 found;
            std::memcpy(&found, result->ai_addr, sizeof found);
            return addressFromIpv6(found);
        }
    }
    return std::nullopt;
}

Lookup lookUp(const std::string& text, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_RAW;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* results = nullptr;
    errno = 0;
    Lookup lookup;
    lookup.code = getaddrinfo(text.c_str(), nullptr, &hints, &results);
    lookup.errnoValue = errno;
    if (lookup.code != 0) return lookup;
    lookup.entry.officialName = results->ai_canonname != nullptr ? results->ai_canonname : text;
    if (auto address = firstAddress(results, family)) lookup.entry.address = *address;
    freeaddrinfo(results);
    return lookup;
}

// An IPv6 literal names itself; getaddrinfo would give it back with its zone index as well.
Lookup lookUpIpv6(const std::string& text) {
    Lookup lookup = lookUp(text, AF_INET6);
    if (lookup.code == 0 && isIpv6Literal(text)) lookup.entry.officialName = text;
    return lookup;
}

SystemResult<HostEntry> resultOf(const Lookup& lookup) {
    if (lookup.code != 0) return {{}, resolverError(lookup.code, lookup.errnoValue)};
    return {lookup.entry, std::nullopt};
}

// Whether the IPv4 lookup found that the name has no IPv4 address, rather than failing to ask.
bool foundNoIpv4(int code) {
    return code == EAI_NONAME || code == EAI_NODATA || code == EAI_ADDRFAMILY;
}

}  // namespace

SystemResult<HostEntry> LinuxPlatform::getHostByName(const std::string& text, FamilyChoice family) {
    if (family == FamilyChoice::Ipv6Only) return resultOf(lookUpIpv6(text));
    if (auto dotted = parseDottedText(text)) return {HostEntry{text, *dotted}, std::nullopt};
    Lookup ipv4 = lookUp(text, AF_INET);
    if (ipv4.code == 0 || family == FamilyChoice::Ipv4Only) return resultOf(ipv4);
    if (!foundNoIpv4(ipv4.code) && !isIpv6Literal(text)) return resultOf(ipv4);
    // Only a name without IPv4 addresses gets an IPv6 one; an unknown name keeps today's error.
    Lookup ipv6 = lookUpIpv6(text);
    return resultOf(ipv6.code == 0 ? ipv6 : ipv4);
}

std::optional<std::string> LinuxPlatform::getHostByAddr(const IpAddress& address) {
    AnySocketAddress query = destinationAddress(address);
    char name[NI_MAXHOST];
    errno = 0;
    int code = getnameinfo(query.get(), query.length, name, sizeof name, nullptr, 0, NI_NAMEREQD);
    if (code != 0) return std::nullopt;
    return std::string(name);
}

}  // namespace quilvane
