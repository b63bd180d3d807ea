// Forward and reverse name lookups for IPv4: gethostbyname and gethostbyaddr.
#include <winsock2.h>

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

}  // namespace

SystemResult<HostEntry> WindowsPlatform::getHostByName(const std::string& text,
                                                       FamilyChoice family) {
    if (family == FamilyChoice::Ipv6Only) return {{}, windowsError(WSAHOST_NOT_FOUND)};
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

std::optional<std::string> WindowsPlatform::getHostByAddr(const IpAddress& address) {
    if (address.isIpv6()) return std::nullopt;
    Ipv4 ipv4 = address.ipv4();
    const hostent* found =
        gethostbyaddr(reinterpret_cast<const char*>(&ipv4), sizeof ipv4, AF_INET);
    if (found == nullptr || found->h_name == nullptr) return std::nullopt;
    return std::string(found->h_name);
}

}  // namespace quilvane
