// Runs over hosts and sizes: the choice of run, the passes, the dispatch and the totals.
#pragma once

#include "cli/ping_settings.h"
#include "hosts/host_list.h"

namespace quilvane {

void performRun(PingSettings& settings, RunOptions& options, const HostList& hosts);

}  // namespace quilvane
