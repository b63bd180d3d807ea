// What the echo engines keep for the whole run: sequence numbers, buffers and the service binding.
#pragma once

#include <cstdint>

#include "echo/icmp_wire.h"
#include "settings/ping_settings.h"
#include "support/ip_address.h"

namespace quilvane {

class EchoSession {
  public:
    // The number of the next raw request: 1 for the first of the run, advanced for every request
    // attempted (a refused one too) and never reset, so the numbers run on across hosts and
    // passes.
    uint16_t takeSequence() { return nextSequence++; }
    uint16_t nextSequence = 1;

    // Datagrams already rejected while waiting for the current reply; 0 outside a receive step.
    int receiveRetries = 0;

    // The request being sent, each datagram as received, and its split copy.
    uint8_t* requestBuffer() { return requestBuffer_; }
    uint8_t* receiveBuffer() { return receiveBuffer_; }
    uint8_t* replyCopy() { return replyCopy_; }

    // The first call binds the echo service and prints any failure, with what could help this
    // run; later calls only repeat the outcome, silently, so a run that cannot use it says so
    // once.
    bool bindEchoService();
    // The raw socket was refused for lack of the right, so the run fell back on the echo service:
    // the raw-socket right would help it too.
    void noteRawSocketRefused() { rawSocketRefused_ = true; }

    // IPv6 has no record-route option: an IPv6 destination is pinged without one (recordRoutes
    // cleared in settings), and the first such host of the run says so.
    void dropRoutesForIpv6(const IpAddress& destination, PingSettings& settings);

  private:
    // Left uninitialised, in the object (no allocation at start-up): every byte is written before
    // it is read, and a run that never sends never touches these pages.
    uint8_t requestBuffer_[requestBufferSize];
    uint8_t receiveBuffer_[receiveBufferSize];
    uint8_t replyCopy_[receiveBufferSize];
    bool bindingTried_ = false;
    bool rawSocketRefused_ = false;
    bool serviceBound_ = false;
    bool ipv6RoutesNoted_ = false;
};

}  // namespace quilvane
