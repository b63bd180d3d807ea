// The text of host header, reply, time-out, route and statistics lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "report/ping_statistics.h"
#include "settings/ping_settings.h"
#include "support/platform.h"

namespace quilvane {

// "Pinging %s [%s] with ..." when name is given, else "Pinging %s with ...".
void printHostHeader(const std::optional<std::string>& name, const char* address, int32_t dataSize,
                     int32_t intervalMs);

// Head and TOS tail of a reply line, printed as two outputs; the stamp follows -T over -D.
// The number counts on past 2^31 rather than turning negative.
void printReplyLine(const PingSettings& settings, const LocalTime& stamp, uint32_t replyNumber,
                    const char* address, long double ms, uint8_t ttl, uint8_t tos);

void printTimeoutLine(const PingSettings& settings, const LocalTime& stamp, const char* address);
void printCodedTimeoutLine(const PingSettings& settings, const LocalTime& stamp,
                           const char* address, int32_t code);

// Walks the option area (at most 40 bytes; never reads past length) option by option, by each
// option's length, and prints a block for every record-route option: the hops routers recorded.
void printRouteBlock(const uint8_t* optionArea, size_t length, int32_t recordRoutes,
                     bool resolveNames);

// Heading, packets line, times heading and times line; minimum shows 0.0 while samples is 0.
// An interim block while sent is 0 prints the no-statistics line instead.
void printStatisticsBlock(const char* heading, const PingStatistics& statistics, bool interim);

// The packets and times lines alone (the run totals print them under their own heading).
void printPacketsAndTimes(const PingStatistics& statistics, bool interim);

// "No ping statistics available", without a line end.
void printNoStatisticsLine();

}  // namespace quilvane
