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

    size_t size() const;
    bool empty() const { return size() == 0; }
    std::string entry(size_t index) const;

    bool hostFileGiven = false;

private:
    // A run of entries: one text, or a compact address range walked on demand.
    struct Segment {
        std::string text;
        uint32_t first = 0;  // host byte order, for ranges
        uint32_t last = 0;
        size_t count = 1;  // entries this segment stands for
        bool isRange = false;
    };
    std::vector<Segment> segments_;
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
