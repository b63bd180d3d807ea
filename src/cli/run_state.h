// The state of one run: created by start-up, passed down to the command line and the runs.
#pragma once

#include <cstdint>
#include <string>

#include "echo/echo_job.h"
#include "echo/echo_session.h"
#include "hosts/host_list.h"
#include "settings/exit_status.h"
#include "support/perf_timer.h"

namespace quilvane {

struct RunState {
    // The outcome of the latest echo event; the process exit code.
    int32_t lastStatus = exitCode(ExitStatus::Replied);
    // The payload pattern of -d, or a random run's data of the current pass; empty means none.
    std::string pingData;
    // Numbers the replies of driver-run loops across all hosts and passes.
    int32_t replyCounter = 1;
    HostList hosts;
    // One round-trip timer per engine kind; nothing else uses them.
    CPerfTimer rawTimer;
    CPerfTimer icmpDllTimer;
    EchoSession echoSession;

    void apply(const HostOutcome& outcome) {
        if (outcome.status) lastStatus = exitCode(*outcome.status);
    }
};

}  // namespace quilvane
