// The ordered, append-only list of host texts a run pings; address ranges are held compactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/ping_settings.h"

namespace quilvane {

class HostList {
  public:
    void append(std::string text);
    // Every address from first to last (host byte order, inclusive) whose last octet is neither
    // 0 nor 255, in dotted form, as if appended one by one.
    void appendRange(uint32_t firstHostOrder, uint32_t lastHostOrder);
    // Takes over the whole text of a host file and appends its hosts in file order. If memory
    // runs out on the way, the hosts appended up to that point stay.
    void appendHostFile(std::string text);

    size_t size() const;
    bool empty() const { return size() == 0; }
    // The entry at index (below size()); an empty text past the end.
    std::string entry(size_t index) const;

    bool hostFileGiven = false;

  private:
    // A run of consecutive entries: texts packed into one buffer, or an address range that is
    // walked on demand.
    struct Segment {
        size_t firstIndex = 0;  // list index of the segment's first entry
        size_t count = 0;       // entries this segment stands for
        bool isRange = false;
        // Texts: entry k spans [end of entry k-1, textEnds_[firstEnd + k]) of text.
        std::string text;
        size_t firstEnd = 0;
        // Ranges: the rank of the first address among all addresses that are not .0 or .255.
        uint64_t firstRank = 0;
    };

    Segment& openTextSegment();
    const Segment& segmentOf(size_t index) const;

    std::vector<Segment> segments_;
    std::vector<size_t> textEnds_;
    size_t size_ = 0;
};

// The process-wide list filled by the command-line scan.
HostList& hostList();

// Reads one host file and appends its hosts; every failure is printed through the sink.
void readHostFile(HostList& list, const std::string& path);

// -g: attached is what follows the letter (possibly empty), next the following argument or null.
// Returns whether the next argument was consumed.
bool addAddressRange(HostList& list, const char* attached, const char* next);

// The resolved list of -a in many-host runs; prints nothing unless resolveNames is set.
void printResolvedHostList(const HostList& list, PingSettings settings);

}  // namespace quilvane
