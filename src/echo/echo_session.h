// What the echo engines keep for the whole run: sequence numbers, buffers and the service binding.
#pragma once

#include <cstdint>
#include <memory>

#include "echo/icmp_wire.h"

namespace quilvane {

class EchoSession {
  public:
    EchoSession();

    // The number of the next raw request: 1 for the first of the run, advanced for every request
    // attempted (a refused one too) and never reset, so the numbers run on across hosts and
    // passes.
    uint16_t takeSequence() { return nextSequence++; }
    uint16_t nextSequence = 1;

    // Datagrams already rejected while waiting for the current reply; 0 outside a receive step.
    int receiveRetries = 0;

    // The request being sent, each datagram as received, and its split copy.
    uint8_t* requestBuffer() { return requestBuffer_.get(); }
    uint8_t* receiveBuffer() { return receiveBuffer_.get(); }
    uint8_t* replyCopy() { return replyCopy_.get(); }

    // The first call binds the echo service and prints any failure; later calls only repeat the
    // outcome, silently, so a run that cannot use it says so once.
    bool bindEchoService();

  private:
    // Left uninitialised: every byte is written before it is read, and a run that never sends
    // never touches these pages.
    std::unique_ptr<uint8_t[]> requestBuffer_;
    std::unique_ptr<uint8_t[]> receiveBuffer_;
    std::unique_ptr<uint8_t[]> replyCopy_;
    bool bindingTried_ = false;
    bool serviceBound_ = false;
};

}  // namespace quilvane
