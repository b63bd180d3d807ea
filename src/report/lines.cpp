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

constexpr uint8_t endOfOptions = 0;
constexpr uint8_t noOperation = 1;
constexpr uint8_t recordRouteType = 7;
constexpr size_t slotSize = 4;
constexpr size_t firstSlotOffset = 3;  // behind the type, length and pointer bytes

// One record-route option as it stands in the area: its slots, of which only those below the
// pointer were ever written by a router.
class RecordedRoute {
  public:
    // option points at the type byte; available is what the area holds from there, at least 3.
    RecordedRoute(const uint8_t* option, size_t available) : option_(option) {
        size_t length = option[1] < available ? option[1] : available;
        size_t slotsInOption = length > firstSlotOffset ? (length - firstSlotOffset) / slotSize : 0;
        // The pointer counts from 1 at the type byte and names the first free slot.
        size_t pointer = option[2];
        size_t written =
            pointer > firstSlotOffset + 1 ? (pointer - firstSlotOffset - 1) / slotSize : 0;
        recorded_ = written < slotsInOption ? written : slotsInOption;
    }

    // The address of slot index, or null for a slot nobody filled (or that is not there).
    const uint8_t* hop(size_t index) const {
        if (index >= recorded_) return nullptr;
        const uint8_t* bytes = option_ + firstSlotOffset + index * slotSize;
        return bytes[0] == 0 ? nullptr : bytes;
    }

  private:
    const uint8_t* option_;
    size_t recorded_ = 0;
};

// The reverse name of a hop, looked up the long way (text, forward, reverse) as names are
// resolved everywhere else; none when any step fails.
std::optional<std::string> hopName(const uint8_t* hop) {
    Ipv4 address;
    std::memcpy(&address, hop, sizeof address);
    char text[16];
    formatIpv4(address, text);
    SystemResult<HostEntry> forward = platform().getHostByName(text, FamilyChoice::Ipv4Only);
    if (!forward.ok()) return std::nullopt;
    std::optional<std::string> name = platform().getHostByAddr(forward.value.address);
    if (name) *name = printableText(*name);
    return name;
}

void printHop(const uint8_t* b, bool last, bool resolveNames) {
    std::optional<std::string> name = resolveNames ? hopName(b) : std::nullopt;
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

// One block: the label, then the recorded hops up to the countdown; a hop is printed in its
// final form when it is the last one to show.
void printOneRoute(const RecordedRoute& route, int32_t recordRoutes, bool resolveNames) {
    printMessage("\tRoute:  ");
    int64_t countdown = recordRoutes;
    for (size_t index = 0;; ++index) {
        const uint8_t* current = route.hop(index);
        if (countdown == 1) {
            if (current != nullptr) printHop(current, true, resolveNames);
            return;
        }
        if (current == nullptr) {
            printMessage("\n");
            return;
        }
        if (route.hop(index + 1) == nullptr) {
            printHop(current, true, resolveNames);
            return;
        }
        printHop(current, false, resolveNames);
        --countdown;
    }
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
    // Option by option, each by its own length, so that an address byte that happens to read as
    // an option type is never taken for one.
    size_t at = 0;
    while (at < length && optionArea[at] != endOfOptions) {
        if (optionArea[at] == noOperation) {
            ++at;
            continue;
        }
        size_t available = length - at;
        // Without a length byte, or with a length that could not hold it, the rest is no option.
        if (available < 2 || optionArea[at + 1] < 2) return;
        if (optionArea[at] == recordRouteType && available >= firstSlotOffset &&
            optionArea[at + 1] >= firstSlotOffset) {
            printOneRoute(RecordedRoute(optionArea + at, available), recordRoutes, resolveNames);
        }
        at += optionArea[at + 1];
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
