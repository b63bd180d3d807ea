// The one place where an interrupted system call (EINTR) is started again.
#pragma once

#include <poll.h>

#include <cerrno>
#include <cstdint>

#include "support/console_control.h"
#include "support/linux/monotonic.h"

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

// Waits for the events of the entries until deadlineNs on the monotonic clock; after a signal the
// wait goes on for the time that is left, unless the wait is cut short (a second Ctrl-C). Returns
// what ppoll returns: the count, 0 at the deadline or when cut short, -1 with errno on failure.
inline int pollUntil(pollfd* entries, nfds_t count, int64_t deadlineNs) {
    return retryOnInterrupt([&] {
        // A Ctrl-C between this check and ppoll wakes nothing; the next one ends the wait.
        if (waitsCutShort()) return 0;
        timespec remaining = timespecFromNs(deadlineNs - monotonicNs());
        return ppoll(entries, count, &remaining, nullptr);
    });
}

inline int pollUntil(pollfd& entry, int64_t deadlineNs) {
    return pollUntil(&entry, 1, deadlineNs);
}

}  // namespace quilvane::linux_detail
