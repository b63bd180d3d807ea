// The text of host header, reply, time-out, route and statistics lines.
#include "report/lines.h"

#include <cstring>

#include "report/result_events.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/printable_text.h"

namespace quilvane {

namespace {

enum class Stamp { None, Time, Date };

// With both -T and -D the time-only stamp wins.
Stamp stampOf(const PingSettings& settings) {
    if (settings.timeStamp != 0) return Stamp::Time;
    if (settings.dateStamp != 0) return Stamp::Date;
    return Stamp::None;
}

constexpr uint8_t recordRouteType = 7;
constexpr size_t slotSize = 4;

struct Slot {
    const uint8_t* bytes;
    bool empty() const { return bytes[0] == 0; }
};

// The reverse name of a hop, looked up the long way (text, forward, reverse) as names are
// resolved everywhere else; none when any step fails.
std::optional<std::string> hopName(const Slot& slot) {
    Ipv4 address;
    std::memcpy(&address, slot.bytes, sizeof address);
    char text[16];
    formatIpv4(address, text);
    SystemResult<HostEntry> forward = platform().getHostByName(text, FamilyChoice::Ipv4Only);
    if (!forward.ok()) return std::nullopt;
    std::optional<std::string> name = platform().getHostByAddr(forward.value.address);
    if (name) *name = printableText(*name);
    return name;
}

void printHop(const Slot& slot, bool last, bool resolveNames) {
    const uint8_t* b = slot.bytes;
    std::optional<std::string> name = resolveNames ? hopName(slot) : std::nullopt;
    if (name && last) {
        printMessage("%s [%d.%d.%d.%d]\n", name->c_str(), b[0], b[1], b[2], b[3]);
    } else if (name) {
        printMessage("%s [%d.%d.%d.%d]  ->\n\t\t", name->c_str(), b[0], b[1], b[2], b[3]);
    } else if (last) {
        printMessage("%d.%d.%d.%d\n", b[0], b[1], b[2], b[3]);
    } else {
        printMessage("%d.%d.%d.%d  ->\n\t\t", b[0], b[1], b[2], b[3]);
    }
}

// Prints one block whose type byte is at start; returns where the scan goes on, behind the last
// slot handled. A slot that would reach past the area ends the block and counts as absent.
size_t printOneRoute(const uint8_t* area, size_t length, size_t start, int32_t recordRoutes,
                     bool resolveNames) {
    auto slotFits = [&](size_t at) { return at <= length && length - at >= slotSize; };
    printMessage("\tRoute:  ");
    size_t at = start + 3;
    int64_t countdown = recordRoutes;
    while (slotFits(at)) {
        Slot current{area + at};
        size_t behind = at + slotSize;
        if (countdown == 1) {
            if (!current.empty()) printHop(current, true, resolveNames);
            return behind;
        }
        if (current.empty()) {
            printMessage("\n");
            return behind;
        }
        if (!slotFits(behind) || Slot{area + behind}.empty()) {
            printHop(current, true, resolveNames);
            return behind;
        }
        printHop(current, false, resolveNames);
        --countdown;
        at = behind;
    }
    return length;
}

}  // namespace

void printHostHeader(const std::optional<std::string>& name, const char* address, int32_t dataSize,
                     int32_t intervalMs) {
    ResultEvents::Notice notice;
    if (name) {
        printMessage("Pinging %s [%s] with %d bytes of data every %d ms:\n\n",
                     printableText(*name).c_str(), address, dataSize, intervalMs);
    } else {
        printMessage("Pinging %s with %d bytes of data every %d ms:\n\n", address, dataSize,
                     intervalMs);
    }
}

void printReplyLine(const PingSettings& settings, const LocalTime& stamp, uint32_t replyNumber,
                    const char* address, long double ms, uint8_t ttl, uint8_t tos) {
    auto time = static_cast<double>(ms);
    switch (stampOf(settings)) {
        case Stamp::Time:
            printMessage("%.2d:%.2d:%.2d : Reply[%u] from %s: bytes=%d time=%.1f ms TTL=%d",
                         stamp.hour, stamp.minute, stamp.second, replyNumber, address,
                         settings.dataSize, time, ttl);
            break;
        case Stamp::Date:
            printMessage(
                "%.4d/%.2d/%.2d %.2d:%.2d:%.2d : Reply[%u] from %s: bytes=%d time=%.1f ms TTL=%d",
                stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second,
                replyNumber, address, settings.dataSize, time, ttl);
            break;
        case Stamp::None:
            printMessage("Reply[%u] from %s: bytes=%d time=%.1f ms TTL=%d", replyNumber, address,
                         settings.dataSize, time, ttl);
            break;
    }
    if (settings.tosGiven != 0) {
        printMessage(" TOS=%d\n", tos);
    } else {
        printMessage("\n");
    }
}

void printTimeoutLine(const PingSettings& settings, const LocalTime& stamp, const char* address) {
    switch (stampOf(settings)) {
        case Stamp::Time:
            printMessage("%.2d:%.2d:%.2d : %s: request timed out\n", stamp.hour, stamp.minute,
                         stamp.second, address);
            break;
        case Stamp::Date:
            printMessage("%.4d/%.2d/%.2d %.2d:%.2d:%.2d : %s: request timed out\n", stamp.year,
                         stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, address);
            break;
        case Stamp::None:
            printMessage("%s: request timed out\n", address);
            break;
    }
}

void printCodedTimeoutLine(const PingSettings& settings, const LocalTime& stamp,
                           const char* address, int32_t code) {
    switch (stampOf(settings)) {
        case Stamp::Time:
            printMessage("%.2d:%.2d:%.2d : %s: request timed out (%d)\n", stamp.hour, stamp.minute,
                         stamp.second, address, code);
            break;
        case Stamp::Date:
            printMessage("%.4d/%.2d/%.2d %.2d:%.2d:%.2d : %s: request timed out (%d)\n", stamp.year,
                         stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, address,
                         code);
            break;
        case Stamp::None:
            printMessage("%s: request timed out (%d)\n", address, code);
            break;
    }
}

void printRouteBlock(const uint8_t* optionArea, size_t length, int32_t recordRoutes,
                     bool resolveNames) {
    size_t at = 0;
    while (at < length) {
        if (optionArea[at] == recordRouteType) {
            at = printOneRoute(optionArea, length, at, recordRoutes, resolveNames);
        } else {
            ++at;
        }
    }
}

void printStatisticsBlock(const char* heading, const PingStatistics& statistics, bool interim) {
    if (interim && statistics.sent == 0) {
        // Nothing counted yet: there is no loss to show, and the next line starts fresh.
        printNoStatisticsLine();
        printMessage("\n");
        return;
    }
    printMessage("\nPing statistics for %s:", printableText(heading).c_str());
    printPacketsAndTimes(statistics, interim);
}

void printPacketsAndTimes(const PingStatistics& statistics, bool interim) {
    uint32_t lost = statistics.sent - statistics.received;
    // 64-bit product: lost x 100 passes 2^32 after some 43 million losses.
    uint64_t loss = statistics.sent == 0 ? 0 : uint64_t{lost} * 100 / statistics.sent;
    // long long: a count past 2^31 stays positive where long has 32 bits (Windows).
    printMessage("\n\tPackets: Sent = %lld, Received = %lld, Lost = %lld (%lld%%%% loss)",
                 static_cast<long long>(statistics.sent),
                 static_cast<long long>(statistics.received), static_cast<long long>(lost),
                 static_cast<long long>(loss));
    printMessage("\nApproximate round trip times in milli-seconds:");
    double minimum = statistics.samples == 0 ? 0.0 : statistics.minimum;
    if (interim) {
        printMessage("\n\tMinimum = %.1f ms, Maximum = %.1f ms, Average = %.1f ms\n\n", minimum,
                     statistics.maximum, statistics.average);
    } else {
        printMessage("\n\tMinimum = %.1f ms, Maximum = %.1f ms, Average = %.1f ms\n", minimum,
                     statistics.maximum, statistics.average);
    }
}

void printNoStatisticsLine() {
    printMessage("No ping statistics available");
}

}  // namespace quilvane
