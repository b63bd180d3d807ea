// Fuzzes the host-file parser and the list that packs its hosts, checking what every host obeys.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "hosts/host_file.h"
#include "hosts/host_list.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool isSeparator(char c) {
    return c == ',' || c == '\r' || c == '\n';
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t visible = std::min(text.find('\0'), text.size());

    // Hosts come in order, inside the text before its first NUL, without separators, NULs or
    // blanks at their ends.
    quilvane::HostFileEntries entries(text);
    size_t previousEnd = 0;
    size_t count = 0;
    while (auto host = entries.next()) {
        require(!host->empty());
        size_t begin = static_cast<size_t>(host->data() - text.data());
        require(begin >= previousEnd && begin + host->size() <= visible);
        for (char c : *host) require(!isSeparator(c) && c != '\0');
        require(!isBlank(host->front()) && !isBlank(host->back()));
        previousEnd = begin + host->size();
        ++count;
    }

    // The list packs them in place and reads back the very same texts, after what it held.
    quilvane::HostList list;
    list.append("before");
    list.appendHostFile(text);
    require(list.size() == count + 1);
    require(list.entry(0) == "before");
    quilvane::HostFileEntries again(text);
    for (size_t i = 1; i <= count; ++i) require(list.entry(i) == *again.next());
    return 0;
}
