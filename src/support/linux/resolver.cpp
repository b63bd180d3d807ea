// Forward and reverse name lookups for IPv4 through the system resolver (files, DNS...).
#include "support/linux/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "support/linux/errors.h"
#include "support/linux/linux_platform.h"

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

SystemResult<HostEntry> LinuxPlatform::getHostByName(const std::string& text, FamilyChoice family) {
    if (family == FamilyChoice::Ipv6Only) return {{}, resolverError(EAI_NONAME, 0)};
    if (auto dotted = parseDottedText(text)) return {HostEntry{text, *dotted}, std::nullopt};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* results = nullptr;
    errno = 0;
    int code = getaddrinfo(text.c_str(), nullptr, &hints, &results);
    if (code != 0) return {{}, resolverError(code, errno)};
    HostEntry entry;
    entry.officialName = results->ai_canonname != nullptr ? results->ai_canonname : text;
    for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in found;
            std::memcpy(&found, result->ai_addr, sizeof found);
            entry.address = IpAddress(found.sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(results);
    return {entry, std::nullopt};
}

std::optional<std::string> LinuxPlatform::getHostByAddr(const IpAddress& address) {
    if (address.isIpv6()) return std::nullopt;
    sockaddr_in query{};
    query.sin_family = AF_INET;
    query.sin_addr.s_addr = address.ipv4();
    char name[NI_MAXHOST];
    errno = 0;
    int code = getnameinfo(reinterpret_cast<const sockaddr*>(&query), sizeof query, name,
                           sizeof name, nullptr, 0, NI_NAMEREQD);
    if (code != 0) return std::nullopt;
    return std::string(name);
}

}  // namespace quilvane
