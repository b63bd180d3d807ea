// Address ranges of -g: the option's value, its checks, and the rank arithmetic of the walk.
#include "hosts/address_range.h"

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

// An IPv6 range is swept only when it holds at most this many addresses.
constexpr uint64_t maximumIpv6Range = 65536;

// Two IPv6 ends: every address between them (no address is left out, as IPv6 has no broadcast
// address); a range too large or backwards is ignored as an invalid IPv4 range is.
bool addIpv6Range(HostList& list, std::string_view value, bool separate) {
    size_t slash = value.find('/');
    if (slash == std::string_view::npos) return false;
    std::optional<Ipv6Bytes> first = parseIpv6(value.substr(0, slash));
    if (!first) return false;
    std::optional<Ipv6Bytes> last = parseIpv6(value.substr(slash + 1));
    if (!last) return separate;
    if (std::optional<uint64_t> count = ipv6RangeSize(*first, *last, maximumIpv6Range)) {
        list.appendRange6(*first, *count);
    }
    return separate;
}

}  // namespace

bool addAddressRange(HostList& list, const char* attached, const char* next) {
    bool separate = attached == nullptr || attached[0] == '\0';
    const char* value = separate ? next : attached;
    if (value == nullptr) return false;
    std::string_view text(value);
    if (text.substr(0, text.find('/')).find(':') != std::string_view::npos) {
        return addIpv6Range(list, text, separate);
    }

    // The first address may be 16 characters long when attached, 15 in the next argument.
    const char* slash = findSlash(value, separate ? 16 : 17);
    if (slash == nullptr) return false;

    Ipv4 first = inetAddr(std::string(value, slash).c_str());
    if (!isUsableAddress(first)) return false;
    bool consumed = separate;

    Ipv4 last = inetAddr(slash + 1);
    if (!isUsableAddress(last)) return consumed;

    uint32_t firstHostOrder = networkToHost(first);
    uint32_t lastHostOrder = networkToHost(last);
    if (firstHostOrder > lastHostOrder) return consumed;
    list.appendRange(firstHostOrder, lastHostOrder);
    return consumed;
}

}  // namespace quilvane
