// The one place where an interrupted system call (EINTR) is started again.
#pragma once

#include <cerrno>

namespace quilvane::linux_detail {

// Repeats call while it fails with EINTR; a signal (Ctrl-C, Ctrl-\) only sets a flag, so the
// call itself has to go on.
template <typename Call>
auto retryOnInterrupt(Call call) -> decltype(call()) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

}  // namespace quilvane::linux_detail
