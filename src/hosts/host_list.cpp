// The host list: plain texts packed together, host files kept as read, ranges walked on demand.
#include "hosts/host_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "hosts/address_range.h"
#include "support/inet.h"

namespace quilvane {

namespace {

// Copies the hosts, each followed by a line end, out of a text they fill less than half of; when
// memory is short the text stays as it is.
void compactHostFile(HostFileText& file, std::vector<uint32_t>& begins, size_t hostBytes) {
    HostFileText compact;
    try {
        compact = HostFileText::allocate(hostBytes);
    } catch (const std::bad_alloc&) {
        return;
    }
    size_t written = 0;
    for (uint32_t& begin : begins) {
        std::string_view host = hostStartingAt(file.view(), begin);
        std::memcpy(compact.bytes.get() + written, host.data(), host.size());
        begin = static_cast<uint32_t>(written);
        written += host.size();
        compact.bytes[written++] = '\n';
    }
    file = std::move(compact);
}

}  // namespace

void HostList::addSegment(Segment segment) {
    size_ += segment.count;
    segments_.push_back(std::move(segment));
}

void HostList::append(std::string text) {
    if (segments_.empty() || segments_.back().kind != SegmentKind::Texts) {
        Segment segment;
        segment.firstIndex = size_;
        addSegment(std::move(segment));
    }
    Segment& segment = segments_.back();
    segment.texts += text;
    segment.textEnds.push_back(segment.texts.size());
    ++segment.count;
    ++size_;
}

void HostList::appendRange(uint32_t firstHostOrder, uint32_t lastHostOrder) {
    if (firstHostOrder > lastHostOrder) return;
    uint64_t firstRank = addressRank(firstHostOrder);
    uint64_t count = addressRank(uint64_t{lastHostOrder} + 1) - firstRank;
    if (count == 0) return;
    Segment segment;
    segment.kind = SegmentKind::Range;
    segment.firstIndex = size_;
    segment.count = count;
    segment.firstRank = firstRank;
    addSegment(std::move(segment));
}

void HostList::appendRange6(const Ipv6Bytes& first, uint64_t count) {
    if (count == 0) return;
    Segment segment;
    segment.kind = SegmentKind::Range6;
    segment.firstIndex = size_;
    segment.count = count;
    segment.firstAddress = first;
    addSegment(std::move(segment));
}

void HostList::appendHostFile(HostFileText text) {
    // The text stays as read and only the start of each host is noted: no copy of the text, no
    // allocation per host. Counting first sizes the index exactly.
    std::string_view view = text.view().substr(0, hostFileSizeLimit - 1);
    size_t count = 0;
    for (HostFileEntries entries(view); entries.next();) ++count;
    if (count == 0) return;

    segments_.reserve(segments_.size() + 1);
    Segment segment;
    segment.kind = SegmentKind::HostFile;
    segment.firstIndex = size_;
    size_t hostBytes = 0;
    try {
        segment.hostBegins.reserve(count);
        HostFileEntries entries(view);
        while (auto host = entries.next()) {
            segment.hostBegins.push_back(static_cast<uint32_t>(host->data() - view.data()));
            hostBytes += host->size() + 1;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while indexing: the hosts so far stay, as if the file ended there.
    }
    segment.count = segment.hostBegins.size();
    if (segment.count == 0) return;
    segment.file = std::move(text);
    if (hostBytes < segment.file.size / 2) {
        compactHostFile(segment.file, segment.hostBegins, hostBytes);
    }
    addSegment(std::move(segment));
}

size_t HostList::size() const {
    return size_;
}

const HostList::Segment& HostList::segmentOf(size_t index) const {
    auto after = std::upper_bound(
        segments_.begin(), segments_.end(), index,
        [](size_t wanted, const Segment& segment) { return wanted < segment.firstIndex; });
    return *(after - 1);
}

std::string HostList::entry(size_t index) const {
    if (index >= size_) return {};
    const Segment& segment = segmentOf(index);
    size_t offset = index - segment.firstIndex;
    switch (segment.kind) {
        case SegmentKind::Range: {
            char text[16];
            Ipv4 address = hostToNetwork(addressOfRank(segment.firstRank + offset));
            return std::string(text, formatIpv4(address, text));
        }
        case SegmentKind::Range6: {
            Ipv6Bytes address = segment.firstAddress;
            addToIpv6(address, offset);
            return addressText(IpAddress::fromIpv6(address));
        }
        case SegmentKind::HostFile:
            return std::string(hostStartingAt(segment.file.view(), segment.hostBegins[offset]));
        case SegmentKind::Texts:
            break;
    }
    size_t begin = offset == 0 ? 0 : segment.textEnds[offset - 1];
    return segment.texts.substr(begin, segment.textEnds[offset] - begin);
}

}  // namespace quilvane
