// Console control: the stop and break requests that Ctrl-C and Ctrl-\ raise, and process exit.
#pragma once

#include <atomic>
#include <cstdint>

namespace quilvane {

// Set by the signal handlers only; read afresh at every check point of the runs and engines.
extern std::atomic<bool> stopRequested;   // Ctrl-C (SIGINT); never cleared
extern std::atomic<bool> breakRequested;  // Ctrl-\ (SIGQUIT); cleared by the engines
// Every Ctrl-C of the run. The first lets a wait for a reply run to its end; from the second on
// no wait for a reply blocks any more (see waitsCutShort).
extern std::atomic<uint32_t> interruptCount;

// True once the second Ctrl-C has come: the wait in progress ends as if its time had run out, and
// so does any that starts before the run closes. The first Ctrl-C ends a pause at once and stops
// the run once the wait it met is over, so the second one falls in that same wait: with -w -1 (49
// days) it is the only way to end it short of killing the program, which loses the statistics.
inline bool waitsCutShort() {
    return interruptCount.load() >= 2;
}

// Control-C (SIGINT on Linux) sets stopRequested and counts itself, Control-Break (SIGQUIT on
// Linux) sets breakRequested; neither ends the process.
void installConsoleControlHandler();

// Ends the process at once with the given code (-1 shows as 255).
[[noreturn]] void exitProcess(int code);

}  // namespace quilvane
