// Console control: the stop and break requests that Ctrl-C and Ctrl-\ raise, and process exit.
#pragma once

#include <atomic>

namespace quilvane {

// Set by the signal handlers only; read afresh at every check point of the runs and engines.
extern std::atomic<bool> stopRequested;   // Ctrl-C (SIGINT); never cleared
extern std::atomic<bool> breakRequested;  // Ctrl-\ (SIGQUIT); cleared by the engines

// SIGINT sets stopRequested, SIGQUIT sets breakRequested; neither ends the process.
void installConsoleControlHandler();

// Ends the process at once with the given code (-1 shows as 255).
[[noreturn]] void exitProcess(int code);

}  // namespace quilvane
