// The ordered, append-only list of host texts a run pings; address ranges are held compactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/host_file.h"
#include "support/ip_address.h"

namespace quilvane {

class HostList {
  public:
    void append(std::string text);
    // Every address from first to last (host byte order, inclusive) whose last octet is neither
    // 0 nor 255, in dotted form, as if appended one by one.
    void appendRange(uint32_t firstHostOrder, uint32_t lastHostOrder);
    // count IPv6 addresses from first on, in RFC 5952 text, every one of them.
    void appendRange6(const Ipv6Bytes& first, uint64_t count);
    // Appends the hosts of a host file's text in file order, keeping the text itself (only its
    // first 4 GiB - 1 bytes are seen). If memory runs out on the way, the hosts appended up to
    // that point stay.
    void appendHostFile(HostFileText text);
    void appendHostFile(std::string_view text) { appendHostFile(HostFileText::copyOf(text)); }

    size_t size() const;
    bool empty() const { return size() == 0; }
    // The entry at index (below size()); an empty text past the end.
    std::string entry(size_t index) const;

    bool hostFileGiven = false;

  private:
    enum class SegmentKind { Texts, HostFile, Range, Range6 };

    // A run of consecutive entries of one kind.
    struct Segment {
        SegmentKind kind = SegmentKind::Texts;
        size_t firstIndex = 0;  // list index of the segment's first entry
        size_t count = 0;       // entries this segment stands for
        // Texts: entry k is texts[textEnds[k - 1], textEnds[k]).
        std::string texts;
        std::vector<size_t> textEnds;
        // HostFile: entry k is the host that starts at hostBegins[k] in file.
        HostFileText file;
        std::vector<uint32_t> hostBegins;
        // Range: the rank of the first address among all that end in neither .0 nor .255.
        uint64_t firstRank = 0;
        // Range6: the first address.
        Ipv6Bytes firstAddress{};
    };

    const Segment& segmentOf(size_t index) const;
    void addSegment(Segment segment);

    std::vector<Segment> segments_;
    size_t size_ = 0;
};

// Reads one host file and appends its hosts; every failure is printed through the sink.
void readHostFile(HostList& list, const std::string& path);

// -g: attached is what follows the letter (possibly empty), next the following argument or null.
// Returns whether the next argument was consumed.
bool addAddressRange(HostList& list, const char* attached, const char* next);

// ADDRESS/BITS: an IPv4 prefix (0 to 32 bits) walked as -g walks a range, or an IPv6 prefix of at
// most 65,536 addresses, every one of them; an IPv4-mapped prefix is the IPv4 prefix it stands
// for. Host bits in ADDRESS are ignored. NotPrefix: text is not written that way.
enum class PrefixResult { NotPrefix, Added, Invalid };
PrefixResult addPrefix(HostList& list, std::string_view text);

// -g with what it did: a prefix that is not valid is reported by the caller.
struct RangeOption {
    bool consumed = false;  // the next argument was its value
    bool invalidPrefix = false;
};
RangeOption addAddressRangeOption(HostList& list, const char* attached, const char* next);

// The resolved list of -a in many-host runs; prints nothing unless names are wanted.
void printResolvedHostList(const HostList& list, bool resolveNames, FamilyChoice family);

}  // namespace quilvane
