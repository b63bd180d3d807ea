// The echo cycle both engines share.
#include "echo/attempt_loop.h"

#include <string>

#include "support/console_control.h"
#include "support/output_sink.h"
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

// The lines of a try that times out are dropped when another try follows; the last try's lines
// are written as any attempt's.
AttemptEnd attemptWithRetries(EchoAttempts& engine, HostReport& report, uint32_t sent,
                              int32_t retries) {
    for (int32_t left = retries; left > 0; --left) {
        std::string lines;
        std::string* outer = holdOutput(&lines);
        AttemptEnd end = engine.attempt(sent);
        holdOutput(outer);
        if (end != AttemptEnd::TimedOut || stopRequested) {
            if (outer != nullptr) {
                outer->append(lines);
            } else {
                releaseOutput(lines);
            }
            return end;
        }
        report.countResent();
    }
    return engine.attempt(sent);
}

}  // namespace

CycleEnd runAttemptLoop(EchoAttempts& engine, HostReport& report, const char* heading,
                        const PauseRules& rules, uint32_t& sent, int32_t retries) {
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
            end = attemptWithRetries(engine, report, sent, retries);
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
