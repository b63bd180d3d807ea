// The host-file format: hosts separated by commas and line ends, trimmed, empty ones skipped.
#include "hosts/host_file.h"

#include <cstring>

namespace quilvane {

namespace {

bool isSeparator(char c) {
    return c == ',' || c == '\r' || c == '\n';
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view upToFirstNul(std::string_view text) {
    const void* nul = std::memchr(text.data(), '\0', text.size());
    if (nul == nullptr) return text;
    return text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
}

}  // namespace

HostFileEntries::HostFileEntries(std::string_view text) : text_(upToFirstNul(text)) {}

std::optional<std::string_view> HostFileEntries::next() {
    while (position_ < text_.size()) {
        size_t begin = position_;
        size_t end = begin;
        while (end < text_.size() && !isSeparator(text_[end])) ++end;
        position_ = end + 1;
        while (begin < end && isBlank(text_[begin])) ++begin;
        while (end > begin && isBlank(text_[end - 1])) --end;
        if (end > begin) return text_.substr(begin, end - begin);
    }
    return std::nullopt;
}

std::vector<std::string> parseHostFileText(std::string_view text) {
    std::vector<std::string> hosts;
    HostFileEntries entries(text);
    while (auto host = entries.next()) hosts.emplace_back(*host);
    return hosts;
}

}  // namespace quilvane
