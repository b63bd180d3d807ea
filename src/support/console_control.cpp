// The stop and break flags that console control sets, and process exit.
#include "support/console_control.h"

#include <cstdlib>

namespace quilvane {

std::atomic<bool> stopRequested{false};
std::atomic<bool> breakRequested{false};
std::atomic<uint32_t> interruptCount{0};

static_assert(std::atomic<bool>::is_always_lock_free,
              "the handlers may only touch lock-free flags");
static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "the handlers may only touch lock-free counters");

void exitProcess(int code) {
    std::exit(code);
}

}  // namespace quilvane
