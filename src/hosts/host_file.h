// The host-file format: hosts separated by commas and line ends, pure functions over the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quilvane {

// Host files at or above this size are refused like a buffer that cannot be had.
constexpr uint64_t hostFileSizeLimit = uint64_t{1} << 32;

// The whole text of a host file as read: size bytes, then a NUL.
struct HostFileText {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;

    HostFileText() = default;
    HostFileText(std::unique_ptr<char[]> text, size_t length)
        : bytes(std::move(text)), size(length) {}
    HostFileText(HostFileText&&) = default;
    HostFileText& operator=(HostFileText&&) = default;
    // Copies are deep, so that a HostList stays a plain value.
    HostFileText(const HostFileText& other);
    HostFileText& operator=(const HostFileText& other);

    // Room for size bytes, left uninitialised for the read, and the NUL behind them. Throws
    // std::bad_alloc when memory is short.
    static HostFileText allocate(size_t size);
    static HostFileText copyOf(std::string_view text);
    std::string_view view() const { return {bytes.get(), size}; }
};

// Walks the hosts of a host file's text in order, without copying. The text ends at its first
// NUL byte. Commas, CR and LF all separate hosts; blanks and tabs around a host are dropped and
// empty pieces skipped, so a host is never empty and never holds a separator or a NUL.
class HostFileEntries {
  public:
    explicit HostFileEntries(std::string_view text);

    // The next host, a view into the text; nothing once the text is used up.
    std::optional<std::string_view> next();

  private:
    std::string_view text_;
    size_t position_ = 0;
};

// The host that starts at begin, a position where HostFileEntries found one: up to the next
// separator, NUL or the end, without the blanks and tabs behind it.
std::string_view hostStartingAt(std::string_view text, size_t begin);

// All hosts of a text, as copies.
std::vector<std::string> parseHostFileText(std::string_view text);

}  // namespace quilvane
