// An IPv4 or IPv6 address as a plain value, with its text forms (dotted, RFC 5952).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quilvane {

// An IPv4 address is always held in network byte order (first octet in the lowest byte).
using Ipv4 = uint32_t;
constexpr Ipv4 inaddrNone = 0xFFFFFFFFu;

using Ipv6Bytes = std::array<uint8_t, 16>;

enum class AddressFamily : uint8_t { V4, V6 };

// Which family a name may resolve to: -4, -6, or the first IPv4 address and else the first IPv6.
enum class FamilyChoice : uint8_t { Any, Ipv4Only, Ipv6Only };

class IpAddress {
  public:
    IpAddress() = default;
    // Every IPv4 address is an address, so the conversion is implicit.
    IpAddress(Ipv4 address) : v4_(address) {}  // NOLINT(google-explicit-constructor)
    static IpAddress fromIpv6(const Ipv6Bytes& bytes, uint32_t scopeId = 0) {
        IpAddress address;
        address.family_ = AddressFamily::V6;
        address.v6_ = bytes;
        address.scopeId_ = scopeId;
        return address;
    }

    AddressFamily family() const { return family_; }
    bool isIpv6() const { return family_ == AddressFamily::V6; }
    Ipv4 ipv4() const { return v4_; }
    const Ipv6Bytes& ipv6() const { return v6_; }
    // The zone index of a link-local IPv6 address; 0 for none.
    uint32_t scopeId() const { return scopeId_; }

    friend bool operator==(const IpAddress& a, const IpAddress& b) {
        return a.family_ == b.family_ && a.v4_ == b.v4_ && a.v6_ == b.v6_ &&
               a.scopeId_ == b.scopeId_;
    }
    friend bool operator!=(const IpAddress& a, const IpAddress& b) { return !(a == b); }
    friend bool operator<(const IpAddress& a, const IpAddress& b) {
        if (a.family_ != b.family_) return a.family_ < b.family_;
        if (a.v4_ != b.v4_) return a.v4_ < b.v4_;
        if (a.v6_ != b.v6_) return a.v6_ < b.v6_;
        return a.scopeId_ < b.scopeId_;
    }

  private:
    AddressFamily family_ = AddressFamily::V4;
    Ipv4 v4_ = 0;
    Ipv6Bytes v6_{};
    uint32_t scopeId_ = 0;
};

// Whether sender is the host at destination. A zone index given on one side only is no
// difference: a link-local destination written without one is answered with the zone the kernel
// saw the reply on.
inline bool sameHost(const IpAddress& sender, const IpAddress& destination) {
    if (sender.family() != destination.family()) return false;
    if (!sender.isIpv6()) return sender.ipv4() == destination.ipv4();
    return sender.ipv6() == destination.ipv6() &&
           (sender.scopeId() == 0 || destination.scopeId() == 0 ||
            sender.scopeId() == destination.scopeId());
}

// Room for the longest text formatAddress writes: a full IPv6 address, a zone index, the end.
constexpr size_t addressTextSize = 64;

// Writes the address's text into out (addressTextSize bytes) and returns its length: IPv4 as
// inet_ntoa writes it, IPv6 in RFC 5952's compressed form with "%zone" when it has a zone index.
size_t formatAddress(const IpAddress& address, char* out);
std::string addressText(const IpAddress& address);

// An IPv6 address written as text (no zone index), or none.
std::optional<Ipv6Bytes> parseIpv6(std::string_view text);

// ::ffff:a.b.c.d, an IPv4 address written as IPv6.
bool isIpv4Mapped(const Ipv6Bytes& bytes);

// Whether text is an IPv6 address, with a zone index ("fe80::1%eth0") or without.
bool isIpv6Literal(std::string_view text);

// An IPv6 address plus count: false when it runs past the end of the address space.
bool addToIpv6(Ipv6Bytes& address, uint64_t count);
// How many addresses from first to last, inclusive; none when last is before first or the range
// holds more than limit.
std::optional<uint64_t> ipv6RangeSize(const Ipv6Bytes& first, const Ipv6Bytes& last,
                                      uint64_t limit);

}  // namespace quilvane
