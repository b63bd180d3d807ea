// The raw-socket echo engine: its own ICMP packets over a raw IPv4 socket, one host per object.
#pragma once

#include <string>

#include "echo/echo_job.h"
#include "echo/echo_session.h"
#include "support/perf_timer.h"

namespace quilvane {

class RawEchoEngine {
  public:
    RawEchoEngine(EchoSession& session, CPerfTimer& timer) : session_(session), timer_(timer) {}

    // Pinged when the host was pinged to the end; RawAccessDenied when raw ICMP access was
    // refused (the caller switches engines); SocketFailed or HostNotFound when it could not be
    // pinged at all. Statistics come back only for a host pinged to the end.
    HostOutcome PingHost(const std::string& host, const EchoJob& job);

  private:
    EchoSession& session_;
    CPerfTimer& timer_;
};

}  // namespace quilvane
