// The raw-socket echo engine: its own ICMP packets over a raw IPv4 socket, one host per object.
#pragma once

#include <string>

#include "cli/ping_settings.h"
#include "report/ping_statistics.h"

namespace quilvane {

class RawEchoEngine {
  public:
    // 0 when the host was pinged to the end; 10013 when raw ICMP access was refused (the caller
    // switches engines); another socket error number when the socket could not be created;
    // -1 when the host could not be resolved.
    int PingHost(const std::string& host, bool inRound, PingStatistics* statistics);

    PingSettings settings;
};

}  // namespace quilvane
