// The echo cycle both engines share: count, stop and break checks, Don't Fragment, pauses.
#pragma once

#include <cstdint>

#include "report/host_report.h"

namespace quilvane {

// How one attempt ended; the pause that follows is looked up by it.
enum class AttemptEnd {
    Replied,
    TimedOut,
    EndedEarly,  // an answer that was not the reply: a coded time-out or an error status
    SendFailed,
    Refused,       // too large for Don't Fragment: nothing was sent
    WaitFailed,    // the wait itself failed: the host ends here, with statistics
    AccessDenied,  // raw access refused at a send: the host ends without statistics
};

struct PauseAfter {
    enum class Length { None, Tick, Interval } length = Length::None;
    // The last counted attempt ends the cycle at once, before the next interim check.
    bool endsAtCount = true;
};

// The pause after each way an attempt can end; the engines differ only in these.
struct PauseRules {
    PauseAfter replied;
    PauseAfter timedOut;
    PauseAfter endedEarly;
    PauseAfter sendFailed;
    PauseAfter refused;
};

// What an engine supplies to the cycle.
class EchoAttempts {
  public:
    // The top of every attempt, before the interim check.
    virtual void beforeAttempt() {}
    // An attempt refused for Don't Fragment, which sends nothing.
    virtual void skipAttempt() {}
    // Sends request number sent and brings back how it ended.
    virtual AttemptEnd attempt(uint32_t sent) = 0;

  protected:
    ~EchoAttempts() = default;
};

enum class CycleEnd { Finished, AccessDenied };

// Runs the attempts of one host; sent counts them. heading names the host in interim blocks. An
// attempt that times out is tried again up to retries times, with nothing printed for the tries
// before the last, and counted as one.
CycleEnd runAttemptLoop(EchoAttempts& engine, HostReport& report, const char* heading,
                        const PauseRules& rules, uint32_t& sent, int32_t retries = 0);

}  // namespace quilvane
