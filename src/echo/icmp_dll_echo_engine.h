// The echo-service engine: echoes through the system's echo service, one host per object.
#pragma once

#include <string>

#include "echo/echo_job.h"
#include "echo/echo_session.h"
#include "support/perf_timer.h"

namespace quilvane {

class IcmpDllEchoEngine {
  public:
    IcmpDllEchoEngine(EchoSession& session, CPerfTimer& timer) : session_(session), timer_(timer) {}

    // Pinged when the host was pinged to the end; ServiceUnavailable or HostNotFound when it
    // could not be pinged at all.
    HostOutcome PingHost(const std::string& host, const EchoJob& job);

  private:
    EchoSession& session_;
    CPerfTimer& timer_;
};

}  // namespace quilvane
