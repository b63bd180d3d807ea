// Many echo requests in flight through the echo service, on one handle.
#pragma once

#include <functional>
#include <string>

#include "echo/echo_session.h"
#include "echo/echo_window.h"

namespace quilvane {

class IcmpDllEchoWindow final : public EchoWindow {
  public:
    IcmpDllEchoWindow(EchoSession& session, uint32_t window);
    ~IcmpDllEchoWindow() override;

    // Binds the echo service and opens the handle all passes share. False when either fails: the
    // run then pings one host after the other, with that run's messages.
    bool open();

    // Printed for every host before its own lines (the switch from a refused raw socket); it may
    // change the host's job.
    void announceEachHost(std::function<void(EchoJob&)> announce) {
        announce_ = std::move(announce);
    }

  private:
    void start(Flight& flight, WindowedDispatches& dispatches, const std::string& host) override;
    void collect(int64_t timeoutNs) override;
    void timeOut(Flight& flight) override;
    void sendAgain(Flight& flight) override;
    void send(Flight& flight);
    void judge(Flight& flight, const EchoServiceReply& reply);

    EchoSession& session_;
    EchoHandle handle_ = invalidEchoHandle;
    std::function<void(EchoJob&)> announce_;
};

}  // namespace quilvane
