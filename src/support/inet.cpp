// IPv4 address text as inet_ntoa writes it; the system side reads it (inet_addr).
#include "support/inet.h"

namespace quilvane {

size_t formatIpv4(Ipv4 address, char* out) {
    const auto* octets = reinterpret_cast<const unsigned char*>(&address);
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = octets[i];
        if (value >= 100) out[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10) out[length++] = static_cast<char>('0' + value / 10 % 10);
        out[length++] = static_cast<char>('0' + value % 10);
        if (i < 3) out[length++] = '.';
    }
    out[length] = '\0';
    return length;
}

Ipv4 dottedAddress(const std::string& host, FamilyChoice family) {
    return family == FamilyChoice::Ipv6Only ? inaddrNone : inetAddr(host.c_str());
}

std::string inetNtoa(Ipv4 address) {
    char text[16];
    size_t length = formatIpv4(address, text);
    return std::string(text, length);
}

}  // namespace quilvane
