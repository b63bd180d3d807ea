// The outcome of the latest echo event, which becomes the process exit code.
#pragma once

#include <cstdint>

namespace quilvane {

enum class ExitStatus : int32_t {
    Replied = 0,
    TimedOut = 1,          // also a coded time-out once its line is printed, and a failed send
    NotPinged = 2,         // host not found, no socket, no echo service or handle, no host at all
    NeedsFragmenting = 3,  // refused before sending: too large with Don't Fragment
    TooFewBytes = 4,       // a reply of the wrong size, or a datagram too short to judge
    NotEchoReply = 5,      // another ICMP message, or an echo-service error status
    ForeignIdentifier = 6,
    WrongSequence = 7,
    UsagePrinted = -1,  // shows as 255
};

constexpr int32_t exitCode(ExitStatus status) {
    return static_cast<int32_t>(status);
}

}  // namespace quilvane
