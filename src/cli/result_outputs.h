// The outputs a run's options ask for: the specified text, or JSON, the table, the list, metrics.
#pragma once

#include "cli/command_line.h"
#include "cli/run_state.h"
#include "settings/ping_settings.h"

namespace quilvane {

// What the outputs chosen here need at the end of the run.
class ResultOutputs {
  public:
    // Sets up the run's renderers from the options; without the new options the text alone.
    void configure(const PingSettings& settings, const RunOptions& options, const RunState& run);
    // After the run: --alive decides the exit code (0 when any host answered, 1 when none did).
    void finish(RunState& run) const;

  private:
    const class AliveList* alive_ = nullptr;
};

// --json and --alive own standard output from the start: the messages about arguments that the
// scan prints before it meets them go to standard error too.
void divertEarlyForResultOutputs(int argc, char** argv);

// Whether every host of the run is dispatched exactly once (one pass, no size sweep).
bool everyHostOnce(const PingSettings& settings, const RunOptions& options, const HostList& hosts);

}  // namespace quilvane
