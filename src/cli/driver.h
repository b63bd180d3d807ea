// Runs over hosts and sizes: the choice of run, the passes, the dispatch and the totals.
#pragma once

#include <string>

#include "cli/command_line.h"
#include "cli/run_state.h"
#include "echo/echo_job.h"
#include "settings/ping_settings.h"

namespace quilvane {

void performRun(const PingSettings& settings, const RunOptions& options, RunState& run);

// One host through the raw-socket engine, or the echo-service engine when it was chosen; a raw
// socket refused for lack of rights hands the same host to the echo service, after which route
// recording stays off for the run (routes is the run's recordRoutes). The run applies every
// outcome.
HostOutcome pingWithFallback(const std::string& host, EchoJob job, bool useEchoService,
                             int32_t& routes, RunState& run);

// The second half of that: the messages of the switch, then the echo-service engine.
HostOutcome fallBackToEchoService(const std::string& host, EchoJob job, int32_t& routes,
                                  RunState& run);

}  // namespace quilvane
