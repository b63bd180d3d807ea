// The host-file format: hosts separated by commas and line ends, trimmed, empty ones skipped.
#include "hosts/host_file.h"

#include <array>
#include <cstring>

namespace quilvane {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The characters that end a piece: the separators, and the NUL that ends the whole text.
constexpr std::array<bool, 256> pieceEnds = [] {
    std::array<bool, 256> ends{};
    for (unsigned char c : {',', '\r', '\n', '\0'}) ends[c] = true;
    return ends;
}();

size_t endOfPiece(std::string_view text, size_t position) {
    while (position < text.size() && !pieceEnds[static_cast<unsigned char>(text[position])]) {
        ++position;
    }
    return position;
}

size_t withoutTrailingBlanks(std::string_view text, size_t begin, size_t end) {
    while (end > begin && isBlank(text[end - 1])) --end;
    return end;
}

}  // namespace

HostFileText HostFileText::allocate(size_t size) {
    HostFileText text{std::make_unique_for_overwrite<char[]>(size + 1), size};
    text.bytes[size] = '\0';
    return text;
}

HostFileText::HostFileText(const HostFileText& other) {
    if (other.bytes) *this = copyOf(other.view());
}

HostFileText& HostFileText::operator=(const HostFileText& other) {
    if (this != &other) *this = other.bytes ? copyOf(other.view()) : HostFileText();
    return *this;
}

HostFileText HostFileText::copyOf(std::string_view view) {
    HostFileText text = allocate(view.size());
    std::memcpy(text.bytes.get(), view.data(), view.size());
    return text;
}

HostFileEntries::HostFileEntries(std::string_view text) : text_(text) {}

std::optional<std::string_view> HostFileEntries::next() {
    while (position_ < text_.size()) {
        size_t begin = position_;
        size_t end = endOfPiece(text_, begin);
        bool nulEndsText = end < text_.size() && text_[end] == '\0';
        position_ = nulEndsText ? text_.size() : end + 1;
        while (begin < end && isBlank(text_[begin])) ++begin;
        end = withoutTrailingBlanks(text_, begin, end);
        if (end > begin) return text_.substr(begin, end - begin);
    }
    return std::nullopt;
}

std::string_view hostStartingAt(std::string_view text, size_t begin) {
    size_t end = withoutTrailingBlanks(text, begin, endOfPiece(text, begin));
    return text.substr(begin, end - begin);
}

std::vector<std::string> parseHostFileText(std::string_view text) {
    std::vector<std::string> hosts;
    HostFileEntries entries(text);
    while (auto host = entries.next()) hosts.emplace_back(*host);
    return hosts;
}

}  // namespace quilvane
