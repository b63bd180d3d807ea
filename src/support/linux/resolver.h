// Forward and reverse name lookups for IPv4 and IPv6.
#pragma once

#include <optional>
#include <string>

#include "support/platform.h"

namespace quilvane::linux_detail {

// A text of digits and dots that names an IPv4 address (the classic forms, such as 10.1 or
// 255.255.255.255), or none. Such a text resolves to itself without asking a name service.
std::optional<Ipv4> parseDottedText(const std::string& text);

}  // namespace quilvane::linux_detail
