// What both echo engines do with each attempt of one host: events, beeps, status and statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "report/events.h"
#include "report/ping_statistics.h"
#include "settings/exit_status.h"
#include "settings/ping_settings.h"
#include "support/platform.h"

namespace quilvane {

class HostReport {
  public:
    // Statistics start at their start values; settings is the engine's own copy; family is the
    // host's, whose header sizes set the largest unfragmented request. The events it reports
    // belong to the dispatch running when it is made.
    HostReport(const PingSettings& settings, bool inRound,
               AddressFamily family = AddressFamily::V4);

    // The local time for the line's stamp, read only when lines carry one (-T, -D).
    LocalTime readStamp() const;

    // Start of every attempt: a pending Ctrl-\ is cleared and, in single-host mode without -l,
    // the interim block for heading is printed (the no-statistics line while sent is 0).
    void checkInterimRequest(const char* heading, uint32_t sent);

    // With -f, data too large for one unfragmented packet: the attempt is refused without
    // sending, its line is printed and the status becomes 3. True when refused.
    bool refusedByDontFragment();

    // A good reply: the reply line (number = replyNumber, else sent), status 0, beep for -b,
    // the route block when options is not null, received + 1, the sample.
    void reply(const LocalTime& stamp, uint32_t sent, const char* address, long double ms,
               uint8_t ttl, uint8_t tos, const uint8_t* options, size_t optionsLength);

    // The time-out line; status 1; beep for -b-.
    void timeout(const LocalTime& stamp, const char* address);
    // The coded time-out line showing code; then status 1; beep for -b-.
    void codedTimeout(const LocalTime& stamp, const char* address, ExitStatus code);

    // A request without an answer by its time-out was sent again (a new try of one dispatch).
    void countResent() { ++statistics_.resent; }

    // A line printed by the engine itself (an error status, a failed send) and its status.
    void setStatus(ExitStatus status) { status_ = status; }

    // End of the host: minimum 0.0 without samples; in single-host mode without -l the final
    // block (or the no-statistics line when sent is 0); then
    // the record with sent filled in (none when sent is 0).
    std::optional<PingStatistics> finish(const char* heading, uint32_t sent);

    // Single-host mode without -l: the host header and the statistics blocks are printed.
    bool printsHostBlocks() const;

    const PingStatistics& statistics() const { return statistics_; }
    const PingSettings& settings() const { return settings_; }
    // The latest status this host set; none before its first event.
    std::optional<ExitStatus> status() const { return status_; }

  private:
    EchoEvent echoEvent(const LocalTime& stamp, const char* address) const;

    PingSettings settings_;
    bool inRound_;
    HostContext context_;
    uint32_t attempt_ = 1;  // this host's attempt under way
    int32_t largestUnfragmentedData_;
    PingStatistics statistics_;
    std::optional<ExitStatus> status_;
};

}  // namespace quilvane
