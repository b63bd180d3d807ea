// IPv4 address text read by Windows Sockets' inet_addr, and byte order conversions.
#include "support/inet.h"

#include <winsock2.h>

namespace quilvane {

Ipv4 inetAddr(const char* text) {
    return ::inet_addr(text);
}

uint32_t networkToHost(Ipv4 address) {
    return ntohl(address);
}

Ipv4 hostToNetwork(uint32_t value) {
    return htonl(value);
}

}  // namespace quilvane
