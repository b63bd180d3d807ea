// Test helper: every entry of a host list, in order.
#pragma once

#include <string>
#include <vector>

#include "hosts/host_list.h"

namespace quilvane::testing {

inline std::vector<std::string> entriesOf(const HostList& list) {
    std::vector<std::string> entries;
    for (size_t i = 0; i < list.size(); ++i) entries.push_back(list.entry(i));
    return entries;
}

}  // namespace quilvane::testing
