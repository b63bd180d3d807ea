// Many echo requests in flight over one raw socket, with the lines of a one-by-one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "echo/echo_job.h"
#include "echo/echo_session.h"
#include "support/platform.h"

namespace quilvane {

// What a windowed pass asks of the run, always in list order.
class WindowedDispatches {
  public:
    virtual size_t count() const = 0;
    // Begins dispatch index: its host and its job (the reply number is taken here). False when a
    // stop was requested: nothing more is begun.
    virtual bool begin(size_t index, std::string& host, EchoJob& job) = 0;
    // A host whose raw send was refused for lack of rights goes the run's other way, at once.
    virtual HostOutcome pingThroughEchoService(const std::string& host, const EchoJob& job) = 0;
    // Dispatch index and every one before it are over; its lines have been written.
    virtual void finished(size_t index, const HostOutcome& outcome) = 0;

  protected:
    ~WindowedDispatches() = default;
};

class RawEchoWindow {
  public:
    // window: the most requests in flight at once (1 to 4096).
    RawEchoWindow(EchoSession& session, uint32_t window);
    ~RawEchoWindow();
    RawEchoWindow(const RawEchoWindow&) = delete;
    RawEchoWindow& operator=(const RawEchoWindow&) = delete;

    // Opens the socket all passes share, with the run's options. False when it cannot be opened:
    // the run then pings one host after the other, with that run's messages.
    bool open(const PingSettings& settings);

    // One pass over the dispatches; false when a stop request ended it early.
    bool runPass(WindowedDispatches& dispatches);

    struct Flight;

  private:
    bool beginNext(WindowedDispatches& dispatches);
    void send(Flight& flight, WindowedDispatches& dispatches, const std::string& host);
    void receiveAll();
    void judge(const Datagram& datagram);
    void expire(int64_t nowNs);
    void releaseFinished(WindowedDispatches& dispatches);
    int64_t nextWakeUp(int64_t nowNs, bool mayBegin) const;
    int64_t nowNs() const;

    EchoSession& session_;
    const uint32_t window_;
    const size_t span_;  // the most dispatches between the first unfinished one and the newest
    SocketHandle socket_ = invalidSocket;
    std::string openingLines_;  // what opening the socket printed, repeated for every dispatch
    SystemError queueEmpty_;    // what a receive says when nothing more is queued
    std::deque<std::unique_ptr<Flight>> flights_;       // begun, not yet written, in list order
    std::deque<Flight*> waiting_;                       // awaiting a reply, in send order
    std::unordered_map<uint16_t, Flight*> bySequence_;  // the same, by sequence number
    size_t next_ = 0;
    int64_t nextSendNs_ = 0;
};

}  // namespace quilvane
