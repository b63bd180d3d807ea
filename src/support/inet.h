// IPv4 address text conversions with the classic inet_addr and inet_ntoa semantics.
#pragma once

#include <string>

#include "support/platform.h"

namespace quilvane {

// The address in network byte order; inaddrNone for 255.255.255.255 and for any non-address.
Ipv4 inetAddr(const char* text);

// What a host text names as a dotted address, read as inetAddr reads it; inaddrNone when IPv6
// is forced, as a dotted host is then no address of the family asked for.
Ipv4 dottedAddress(const std::string& host, FamilyChoice family);

// Four decimal numbers without leading zeros, at most 15 characters.
std::string inetNtoa(Ipv4 address);

// Writes the dotted text of address into out (at least 16 bytes) and returns its length.
size_t formatIpv4(Ipv4 address, char* out);

uint32_t networkToHost(Ipv4 address);
Ipv4 hostToNetwork(uint32_t value);

}  // namespace quilvane
