// Many echo requests in flight over one raw socket.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "echo/echo_session.h"
#include "echo/echo_window.h"

namespace quilvane {

class RawEchoWindow final : public EchoWindow {
  public:
    RawEchoWindow(EchoSession& session, uint32_t window);
    ~RawEchoWindow() override;

    // Opens the socket all passes share, with the run's options; the system's error when it cannot
    // be opened.
    std::optional<SystemError> open(const PingSettings& settings);

  private:
    void start(Flight& flight, WindowedDispatches& dispatches, const std::string& host) override;
    void collect(int64_t timeoutNs) override;
    void collectAfter(int64_t sleepNs) override;
    void timeOut(Flight& flight) override;
    void sendAgain(Flight& flight) override;
    void sendsDone() override;
    bool readsLate() const override { return platform().stampsArrivals(); }
    // A request built, waiting to leave with the others of this wake-up.
    struct Outgoing {
        Flight* flight = nullptr;
        size_t offset = 0;  // where its bytes start in outgoingBytes_
        size_t length = 0;
        std::string host;  // a first try's host, for the echo service should the send be refused
        bool firstTry = true;
    };
    void queueRequest(Flight& flight, const std::string& host);
    void sendQueued();
    void sendRun(SocketHandle socket, size_t first, size_t end);
    void failedSend(Outgoing& request, const SystemError& error);
    // Gives the requests just sent on socket their transmit stamps, oldest first.
    void takeTransmitStamps(SocketHandle socket, std::vector<Flight*>& sent);
    uint16_t takeFreeSequence();
    // Opens a socket all passes share into socket, with these options and room for many replies;
    // the IPv6 one at the first IPv6 host. The system's error when it cannot be opened.
    std::optional<SystemError> openShared(AddressFamily family, const PingSettings& settings,
                                          SocketHandle& socket);
    // Takes every datagram queued on socket.
    void takeQueued(SocketHandle socket);
    void judge(const Datagram& datagram);

    EchoSession& session_;
    SocketHandle socket_ = invalidSocket;
    SocketHandle socket6_ = invalidSocket;
    std::string openingLines_;  // what opening the socket printed, repeated for every dispatch
    SystemError queueEmpty_;    // what a receive says when nothing more is queued
    // Sent since the last wake-up, awaiting their transmit stamps, per socket.
    std::vector<Flight*> unstamped_;
    std::vector<Flight*> unstamped6_;
    WindowedDispatches* dispatches_ = nullptr;  // the pass's, for the echo service
    // The requests queued in this wake-up, in order: the first queued_ entries.
    static constexpr size_t sendBatch = 64;
    std::array<Outgoing, sendBatch> outgoing_;
    size_t queued_ = 0;
    std::vector<uint8_t> outgoingBytes_;  // their bytes, one after the other
    size_t outgoingUsed_ = 0;
    // Datagrams taken in one batch, each in a slot of its own; allocated at the first receive and
    // only as much of it resident as the datagrams fill.
    std::unique_ptr<uint8_t[]> slots_;
};

}  // namespace quilvane
