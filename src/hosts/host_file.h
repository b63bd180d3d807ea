// The host-file format: hosts separated by commas and line ends, pure functions over the text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quilvane {

// Walks the hosts of a host file's text in order, without copying. The text ends at its first
// NUL byte. Commas, CR and LF all separate hosts; blanks and tabs around a host are dropped and
// empty pieces skipped, so a host never is empty nor holds a separator.
class HostFileEntries {
  public:
    explicit HostFileEntries(std::string_view text);

    // The next host, a view into the text; nothing once the text is used up.
    std::optional<std::string_view> next();

  private:
    std::string_view text_;
    size_t position_ = 0;
};

// All hosts of a text, as copies.
std::vector<std::string> parseHostFileText(std::string_view text);

// Host files at or above this size are refused like a buffer that cannot be had.
constexpr unsigned long long hostFileSizeLimit = 1ull << 32;

}  // namespace quilvane
