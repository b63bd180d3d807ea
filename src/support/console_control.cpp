// Console control over signals: SIGINT stands for Control-C, SIGQUIT for Control-Break.
#include "support/console_control.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>

namespace quilvane {

std::atomic<bool> stopRequested{false};
std::atomic<bool> breakRequested{false};
std::atomic<uint32_t> interruptCount{0};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free,
              "the handlers may only touch lock-free flags");
static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "the handlers may only touch lock-free counters");

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

void exitProcess(int code) {
    std::exit(code);
}

}  // namespace quilvane
