// The host list: texts packed into shared buffers, ranges walked on demand, one index over both.
#include "hosts/host_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "hosts/address_range.h"
#include "hosts/host_file.h"
#include "support/inet.h"

namespace quilvane {

HostList::Segment& HostList::openTextSegment() {
    if (segments_.empty() || segments_.back().isRange) {
        Segment segment;
        segment.firstIndex = size_;
        segment.firstEnd = textEnds_.size();
        segments_.push_back(std::move(segment));
    }
    return segments_.back();
}

void HostList::append(std::string text) {
    Segment& segment = openTextSegment();
    segment.text += text;
    textEnds_.push_back(segment.text.size());
    ++segment.count;
    ++size_;
}

void HostList::appendRange(uint32_t firstHostOrder, uint32_t lastHostOrder) {
    if (firstHostOrder > lastHostOrder) return;
    uint64_t firstRank = addressRank(firstHostOrder);
    uint64_t count = addressRank(uint64_t{lastHostOrder} + 1) - firstRank;
    if (count == 0) return;
    Segment segment;
    segment.firstIndex = size_;
    segment.count = count;
    segment.isRange = true;
    segment.firstRank = firstRank;
    segments_.push_back(std::move(segment));
    size_ += count;
}

void HostList::appendHostFile(std::string text) {
    // The hosts are packed to the front of the file's own buffer, which the list then keeps:
    // no copy of the text and no allocation per host.
    segments_.reserve(segments_.size() + 1);
    Segment segment;
    segment.firstIndex = size_;
    segment.firstEnd = textEnds_.size();
    size_t packed = 0;
    HostFileEntries entries(text);
    try {
        while (auto host = entries.next()) {
            textEnds_.push_back(packed + host->size());
            std::memmove(text.data() + packed, host->data(), host->size());
            packed += host->size();
            ++segment.count;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while indexing: the hosts so far stay, as if the file ended there.
    }
    if (segment.count == 0) return;
    text.resize(packed);
    if (text.capacity() / 2 > packed) text.shrink_to_fit();
    segment.text = std::move(text);
    size_ += segment.count;
    segments_.push_back(std::move(segment));
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
    if (segment.isRange) {
        char text[16];
        size_t length = formatIpv4(hostToNetwork(addressOfRank(segment.firstRank + offset)), text);
        return std::string(text, length);
    }
    size_t endIndex = segment.firstEnd + offset;
    size_t begin = offset == 0 ? 0 : textEnds_[endIndex - 1];
    return segment.text.substr(begin, textEnds_[endIndex] - begin);
}

HostList& hostList() {
    static HostList list;
    return list;
}

}  // namespace quilvane
