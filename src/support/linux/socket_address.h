// The IPv4 socket address that the raw socket and the echo service send to.
#pragma once

#include <netinet/in.h>

#include "support/platform.h"

namespace quilvane::linux_detail {

inline sockaddr_in socketAddress(Ipv4 address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    return result;
}

}  // namespace quilvane::linux_detail
