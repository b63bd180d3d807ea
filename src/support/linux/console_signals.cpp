// Console control over signals: SIGINT stands for Control-C, SIGQUIT for Control-Break.
#include <signal.h>

#include <cstring>

#include "support/console_control.h"

namespace quilvane {

namespace {

void onSignal(int number) {
    if (number == SIGINT) {
        stopRequested.store(true);
        interruptCount.fetch_add(1);
    }
    if (number == SIGQUIT) breakRequested.store(true);
}

void handle(int number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call interrupted by a signal returns EINTR, and the platform
    // layer decides per call whether to go on (the reply wait does, a pause does not).
    action.sa_flags = 0;
    sigaction(number, &action, nullptr);
}

}  // namespace

void installConsoleControlHandler() {
    handle(SIGINT);
    handle(SIGQUIT);
}

}  // namespace quilvane
