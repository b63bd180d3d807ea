// The echo engine over the system's echo service (the kernel's ping socket), one host per object.
#pragma once

#include <string>

#include "cli/ping_settings.h"
#include "report/ping_statistics.h"

namespace quilvane {

class IcmpDllEchoEngine {
  public:
    void PingHost(const std::string& host, bool inRound, PingStatistics* statistics);

    PingSettings settings;
};

// Tests: forget the once-per-process binding so the next engine binds again.
void resetEchoServiceBindingForTest();

}  // namespace quilvane
