// Address ranges of -g: the option's value, its checks, and the rank arithmetic of the walk.
#include "hosts/address_range.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "hosts/host_list.h"
#include "support/inet.h"

namespace quilvane {

namespace {

// Every block of 256 addresses holds 254 that end in neither .0 nor .255.
constexpr uint64_t usablePerBlock = 254;

// Where the '/' stands among the first limit characters of text, or null.
const char* findSlash(const char* text, size_t limit) {
    for (size_t i = 0; i < limit && text[i] != '\0'; ++i) {
        if (text[i] == '/') return text + i;
    }
    return nullptr;
}

bool isUsableAddress(Ipv4 address) {
    return address != inaddrNone && address != 0;
}

}  // namespace

uint64_t addressRank(uint64_t hostOrder) {
    uint64_t lastOctet = hostOrder & 0xFF;
    return (hostOrder >> 8) * usablePerBlock + (lastOctet > 0 ? lastOctet - 1 : 0);
}

uint32_t addressOfRank(uint64_t rank) {
    return static_cast<uint32_t>((rank / usablePerBlock) << 8 | (rank % usablePerBlock + 1));
}

namespace {

// An IPv6 range or prefix is swept only when it holds at most this many addresses.
constexpr uint64_t maximumIpv6Range = 65536;
constexpr int ipv4Bits = 32;
constexpr int ipv6Bits = 128;
// The fewest prefix bits whose IPv6 prefix stays within maximumIpv6Range.
constexpr int shortestIpv6Prefix = 112;
constexpr int mappedIpv4Offset = 96;

std::optional<Ipv4> mappedIpv4(const Ipv6Bytes& address) {
    if (!isIpv4Mapped(address)) return std::nullopt;
    Ipv4 tail;
    std::memcpy(&tail, address.data() + 12, sizeof tail);
    return tail;
}

// The IPv4 walk of first to last (network byte order) under the checks of -g.
void addIpv4Range(HostList& list, Ipv4 first, Ipv4 last) {
    if (!isUsableAddress(first) || !isUsableAddress(last)) return;
    uint32_t firstHostOrder = networkToHost(first);
    uint32_t lastHostOrder = networkToHost(last);
    if (firstHostOrder <= lastHostOrder) list.appendRange(firstHostOrder, lastHostOrder);
}

// Two IPv6 ends: every address between them (no address is left out, as IPv6 has no broadcast
// address); a range too large or backwards is ignored as an invalid IPv4 range is. Two
// IPv4-mapped ends stand for the IPv4 range between them and follow its rule.
bool addIpv6Range(HostList& list, std::string_view value, bool separate) {
    size_t slash = value.find('/');
    if (slash == std::string_view::npos) return false;
    std::optional<Ipv6Bytes> first = parseIpv6(value.substr(0, slash));
    if (!first) return false;
    std::optional<Ipv6Bytes> last = parseIpv6(value.substr(slash + 1));
    if (!last) return separate;
    std::optional<Ipv4> firstMapped = mappedIpv4(*first);
    std::optional<Ipv4> lastMapped = mappedIpv4(*last);
    if (firstMapped || lastMapped) {
        if (firstMapped && lastMapped) addIpv4Range(list, *firstMapped, *lastMapped);
        return separate;
    }
    if (std::optional<uint64_t> count = ipv6RangeSize(*first, *last, maximumIpv6Range)) {
        list.appendRange6(*first, *count);
    }
    return separate;
}

bool isDecimal(std::string_view text) {
    if (text.empty() || text.size() > 3) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Four decimal numbers of 0 to 255 joined by dots, as a prefix is written.
std::optional<Ipv4> parseDottedQuad(std::string_view text) {
    uint8_t bytes[4];
    for (int part = 0; part < 4; ++part) {
        size_t end = part == 3 ? text.size() : text.find('.');
        if (end == std::string_view::npos || !isDecimal(text.substr(0, end))) return std::nullopt;
        int value = 0;
        for (char c : text.substr(0, end)) value = value * 10 + (c - '0');
        if (value > 255) return std::nullopt;
        bytes[part] = static_cast<uint8_t>(value);
        text.remove_prefix(part == 3 ? end : end + 1);
    }
    Ipv4 address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

uint32_t networkMask(int bits) {
    return bits == 0 ? 0 : ~uint32_t{0} << (ipv4Bits - bits);
}

// The IPv4 prefix whose network holds address (network byte order), walked as -g walks.
void addIpv4Prefix(HostList& list, Ipv4 address, int bits) {
    uint32_t mask = networkMask(bits);
    uint32_t network = networkToHost(address) & mask;
    list.appendRange(network, network | ~mask);
}

PrefixResult addIpv6Prefix(HostList& list, Ipv6Bytes address, int bits) {
    if (std::optional<Ipv4> mapped = mappedIpv4(address)) {
        if (bits < mappedIpv4Offset) return PrefixResult::Invalid;
        addIpv4Prefix(list, *mapped, bits - mappedIpv4Offset);
        return PrefixResult::Added;
    }
    if (bits < shortestIpv6Prefix) return PrefixResult::Invalid;
    // The host bits all lie in the last two bytes.
    uint32_t hostBits = static_cast<uint32_t>(ipv6Bits - bits);
    uint32_t low = (uint32_t{address[14]} << 8 | address[15]) & ~((1u << hostBits) - 1u);
    address[14] = static_cast<uint8_t>(low >> 8);
    address[15] = static_cast<uint8_t>(low);
    list.appendRange6(address, uint64_t{1} << hostBits);
    return PrefixResult::Added;
}

}  // namespace

PrefixResult addPrefix(HostList& list, std::string_view text) {
    size_t slash = text.find('/');
    if (slash == std::string_view::npos || slash == 0) return PrefixResult::NotPrefix;
    std::string_view address = text.substr(0, slash);
    std::string_view bitsText = text.substr(slash + 1);
    bool ipv6 = address.find(':') != std::string_view::npos;
    bool dotted = address.find_first_not_of("0123456789.") == std::string_view::npos;
    if (!isDecimal(bitsText) || (!ipv6 && !dotted)) return PrefixResult::NotPrefix;
    int bits = 0;
    for (char c : bitsText) bits = bits * 10 + (c - '0');

    if (ipv6) {
        std::optional<Ipv6Bytes> parsed = parseIpv6(address);
        if (!parsed || bits > ipv6Bits) return PrefixResult::Invalid;
        return addIpv6Prefix(list, *parsed, bits);
    }
    std::optional<Ipv4> parsed = parseDottedQuad(address);
    if (!parsed || bits > ipv4Bits) return PrefixResult::Invalid;
    addIpv4Prefix(list, *parsed, bits);
    return PrefixResult::Added;
}

RangeOption addAddressRangeOption(HostList& list, const char* attached, const char* next) {
    bool separate = attached == nullptr || attached[0] == '\0';
    const char* value = separate ? next : attached;
    if (value == nullptr) return {};
    std::string_view text(value);
    switch (addPrefix(list, text)) {
        case PrefixResult::Added:
            return {separate, false};
        case PrefixResult::Invalid:
            return {separate, true};
        case PrefixResult::NotPrefix:
            break;
    }
    if (text.substr(0, text.find('/')).find(':') != std::string_view::npos) {
        return {addIpv6Range(list, text, separate), false};
    }

    // The first address may be 16 characters long when attached, 15 in the next argument.
    const char* slash = findSlash(value, separate ? 16 : 17);
    if (slash == nullptr) return {};

    Ipv4 first = inetAddr(std::string(value, slash).c_str());
    if (!isUsableAddress(first)) return {};
    addIpv4Range(list, first, inetAddr(slash + 1));
    return {separate, false};
}

bool addAddressRange(HostList& list, const char* attached, const char* next) {
    return addAddressRangeOption(list, attached, next).consumed;
}

}  // namespace quilvane
