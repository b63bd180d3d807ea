// IPv6 address text: RFC 5952's compressed form out, the usual literal forms in.
#include "support/ip_address.h"

#include <cstring>

#include "support/inet.h"

namespace quilvane {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

uint16_t groupAt(const Ipv6Bytes& bytes, int group) {
    return static_cast<uint16_t>(bytes[static_cast<size_t>(2 * group)] << 8 |
                                 bytes[static_cast<size_t>(2 * group + 1)]);
}

// The longest run of two or more zero groups (the first of equal runs); start -1 for none.
void longestZeroRun(const Ipv6Bytes& bytes, int& start, int& length) {
    start = -1;
    length = 0;
    for (int group = 0; group < 8;) {
        if (groupAt(bytes, group) != 0) {
            ++group;
            continue;
        }
        int end = group;
        while (end < 8 && groupAt(bytes, end) == 0) ++end;
        if (end - group > length && end - group >= 2) {
            start = group;
            length = end - group;
        }
        group = end;
    }
}

size_t writeGroup(uint16_t value, char* out) {
    size_t length = 0;
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (value >> shift) & 0xFu;
        if (digit == 0 && !started && shift != 0) continue;
        started = true;
        out[length++] = hexDigits[digit];
    }
    return length;
}

size_t writeNumber(uint32_t value, char* out) {
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

size_t formatIpv6(const Ipv6Bytes& bytes, char* out) {
    size_t length = 0;
    // An IPv4-mapped address keeps its last 32 bits in dotted form.
    int groups = isIpv4Mapped(bytes) ? 6 : 8;
    int zeroStart = 0;
    int zeroLength = 0;
    longestZeroRun(bytes, zeroStart, zeroLength);
    for (int group = 0; group < groups;) {
        if (group == zeroStart) {
            out[length++] = ':';
            out[length++] = ':';
            group += zeroLength;
            continue;
        }
        if (group != 0 && out[length - 1] != ':') out[length++] = ':';
        length += writeGroup(groupAt(bytes, group), out + length);
        ++group;
    }
    if (groups == 6) {
        if (out[length - 1] != ':') out[length++] = ':';
        Ipv4 tail;
        std::memcpy(&tail, bytes.data() + 12, sizeof tail);
        length += formatIpv4(tail, out + length);
    }
    out[length] = '\0';
    return length;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal numbers of 0 to 255 without leading zeros, as the tail of an IPv6 text.
bool parseDottedTail(std::string_view text, uint8_t* out) {
    int part = 0;
    size_t position = 0;
    while (part < 4) {
        size_t digits = 0;
        unsigned value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
            if (digits == 1 && value == 0) return false;
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            if (value > 255) return false;
            ++digits;
            ++position;
        }
        if (digits == 0) return false;
        out[part++] = static_cast<uint8_t>(value);
        if (part < 4) {
            if (position >= text.size() || text[position] != '.') return false;
            ++position;
        }
    }
    return position == text.size();
}

}  // namespace

size_t formatAddress(const IpAddress& address, char* out) {
    if (!address.isIpv6()) return formatIpv4(address.ipv4(), out);
    size_t length = formatIpv6(address.ipv6(), out);
    if (address.scopeId() != 0) {
        out[length++] = '%';
        length += writeNumber(address.scopeId(), out + length);
        out[length] = '\0';
    }
    return length;
}

std::string addressText(const IpAddress& address) {
    char text[addressTextSize];
    size_t length = formatAddress(address, text);
    return std::string(text, length);
}

std::optional<Ipv6Bytes> parseIpv6(std::string_view text) {
    uint16_t head[8] = {};
    uint16_t tail[8] = {};
    int headCount = 0;
    int tailCount = 0;
    bool compressed = false;
    size_t position = 0;
    if (text.substr(0, 2) == "::") {
        compressed = true;
        position = 2;
    } else if (text.empty() || text[0] == ':') {
        return std::nullopt;
    }
    uint8_t dotted[4];
    bool dottedTail = false;
    while (position < text.size()) {
        int& count = compressed ? tailCount : headCount;
        uint16_t* groups = compressed ? tail : head;
        size_t end = text.find(':', position);
        std::string_view piece =
            text.substr(position, end == std::string_view::npos ? text.npos : end - position);
        if (end == std::string_view::npos && piece.find('.') != std::string_view::npos) {
            if (headCount + tailCount > 6 || !parseDottedTail(piece, dotted)) return std::nullopt;
            dottedTail = true;
            break;
        }
        if (piece.empty() || piece.size() > 4 || headCount + tailCount >= 8) return std::nullopt;
        unsigned value = 0;
        for (char c : piece) {
            int digit = hexValue(c);
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups[count++] = static_cast<uint16_t>(value);
        if (end == std::string_view::npos) break;
        position = end + 1;
        if (position < text.size() && text[position] == ':') {
            if (compressed) return std::nullopt;
            compressed = true;
            ++position;
        } else if (position == text.size()) {
            return std::nullopt;
        }
    }
    int used = headCount + tailCount + (dottedTail ? 2 : 0);
    if (compressed ? used > 7 : used != 8) return std::nullopt;
    Ipv6Bytes bytes{};
    for (int i = 0; i < headCount; ++i) {
        bytes[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(head[i] >> 8);
        bytes[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(head[i]);
    }
    int tailStart = 8 - tailCount - (dottedTail ? 2 : 0);
    for (int i = 0; i < tailCount; ++i) {
        bytes[static_cast<size_t>(2 * (tailStart + i))] = static_cast<uint8_t>(tail[i] >> 8);
        bytes[static_cast<size_t>(2 * (tailStart + i) + 1)] = static_cast<uint8_t>(tail[i]);
    }
    if (dottedTail) std::memcpy(bytes.data() + 12, dotted, 4);
    return bytes;
}

bool isIpv4Mapped(const Ipv6Bytes& bytes) {
    for (size_t i = 0; i < 10; ++i) {
        if (bytes[i] != 0) return false;
    }
    return bytes[10] == 0xFF && bytes[11] == 0xFF;
}

bool isIpv6Literal(std::string_view text) {
    size_t zone = text.find('%');
    if (zone != std::string_view::npos && zone + 1 == text.size()) return false;
    return parseIpv6(text.substr(0, zone)).has_value();
}

bool addToIpv6(Ipv6Bytes& address, uint64_t count) {
    uint64_t carry = count;
    for (size_t i = address.size(); i-- > 0 && carry != 0;) {
        uint64_t sum = address[i] + (carry & 0xFFu);
        address[i] = static_cast<uint8_t>(sum);
        carry = (carry >> 8) + (sum >> 8);
    }
    return carry == 0;
}

std::optional<uint64_t> ipv6RangeSize(const Ipv6Bytes& first, const Ipv6Bytes& last,
                                      uint64_t limit) {
    if (last < first) return std::nullopt;
    // The whole 128-bit difference: a small range may still cross a /64 boundary.
    Ipv6Bytes span{};
    int borrow = 0;
    for (size_t i = span.size(); i-- > 0;) {
        int difference = int{last[i]} - int{first[i]} - borrow;
        borrow = difference < 0 ? 1 : 0;
        span[i] = static_cast<uint8_t>(difference + 256 * borrow);
    }
    uint64_t low = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (i < 8 && span[i] != 0) return std::nullopt;
        if (i >= 8) low = low << 8 | span[i];
    }
    if (low >= limit) return std::nullopt;
    return low + 1;
}

}  // namespace quilvane
