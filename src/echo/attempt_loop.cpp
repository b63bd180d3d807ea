// The echo cycle both engines share.
#include "echo/attempt_loop.h"

#include "support/console_control.h"
#include "support/platform.h"

namespace quilvane {

namespace {

constexpr uint32_t tickMs = 1;

const PauseAfter& pauseAfter(const PauseRules& rules, AttemptEnd end) {
    switch (end) {
        case AttemptEnd::Replied:
            return rules.replied;
        case AttemptEnd::TimedOut:
            return rules.timedOut;
        case AttemptEnd::EndedEarly:
            return rules.endedEarly;
        case AttemptEnd::SendFailed:
            return rules.sendFailed;
        default:
            return rules.refused;
    }
}

bool countReached(const PingSettings& settings, uint32_t sent) {
    return settings.continuous == 0 && sent == static_cast<uint32_t>(settings.count);
}

void pause(PauseAfter::Length length, const PingSettings& settings) {
    if (length == PauseAfter::Length::Tick) platform().sleep(tickMs);
    if (length == PauseAfter::Length::Interval) {
        platform().sleep(static_cast<uint32_t>(settings.intervalMs));
    }
}

}  // namespace

CycleEnd runAttemptLoop(EchoAttempts& engine, HostReport& report, const char* heading,
                        const PauseRules& rules, uint32_t& sent) {
    const PingSettings& settings = report.settings();
    if (stopRequested) return CycleEnd::Finished;
    for (;;) {
        engine.beforeAttempt();
        report.checkInterimRequest(heading, sent);
        if (countReached(settings, sent)) return CycleEnd::Finished;
        ++sent;
        AttemptEnd end;
        if (report.refusedByDontFragment()) {
            engine.skipAttempt();
            end = AttemptEnd::Refused;
        } else {
            end = engine.attempt(sent);
        }
        if (end == AttemptEnd::AccessDenied) return CycleEnd::AccessDenied;
        if (end == AttemptEnd::WaitFailed) return CycleEnd::Finished;
        const PauseAfter& after = pauseAfter(rules, end);
        if (after.endsAtCount && countReached(settings, sent)) return CycleEnd::Finished;
        pause(after.length, settings);
        if (stopRequested) return CycleEnd::Finished;
    }
}

}  // namespace quilvane
