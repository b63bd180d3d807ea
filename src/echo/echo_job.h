// What an engine is handed for one host, and what it reports back for the run to apply.
#pragma once

#include <optional>
#include <string_view>

#include "report/ping_statistics.h"
#include "settings/exit_status.h"
#include "settings/ping_settings.h"
#include "support/ip_address.h"

namespace quilvane {

struct EchoJob {
    PingSettings settings;     // the engine's own copy, with what this host needs
    std::string_view pattern;  // the payload pattern; empty for random data
    bool inRound = false;      // a driver dispatch: no host header, no statistics blocks
    FamilyChoice family = FamilyChoice::Any;  // -4, -6
    // A dispatch's request without an answer by its time-out is sent again up to this often,
    // each try with its own time-out and sequence number, before the dispatch's one line.
    int32_t retries = 0;
};

enum class EngineResult {
    Pinged,           // pinged to the end, also when a failed wait ended it early
    RawAccessDenied,  // the raw socket was refused (10013): the caller switches engines
    SocketFailed,     // the raw socket could not be created for another reason
    HostNotFound,
    ServiceUnavailable,  // echo service not bound, or no handle
};

struct HostOutcome {
    EngineResult result = EngineResult::Pinged;
    std::optional<ExitStatus> status;          // the latest status this host set, if any
    std::optional<PingStatistics> statistics;  // when at least one request was attempted
};

}  // namespace quilvane
