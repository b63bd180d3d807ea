// Runs over hosts and sizes: the choice of run, the passes, the dispatch and the totals.
#pragma once

#include <cstdint>
#include <string>

#include "cli/ping_settings.h"
#include "hosts/host_list.h"
#include "report/ping_statistics.h"

namespace quilvane {

void performRun(PingSettings& settings, RunOptions& options, const HostList& hosts);

// What one dispatch of a driver-run loop works with.
struct DispatchContext {
    bool useIcmpLibrary = false;
    PingSettings& settings;  // the run's record: replyNumber set, recordRoutes cleared on fallback
    PingStatistics& total;
    int32_t replyCounter = 1;  // numbers the replies across all hosts and passes of the run
};

// One engine call with count 1 for one host; falls back to the echo service when the raw socket
// is refused, and merges what the host sent into the run total.
void dispatchHost(const std::string& host, DispatchContext& context);

}  // namespace quilvane
