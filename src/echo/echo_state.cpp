// Process-wide state of the echo engines.
#include "echo/echo_state.h"

namespace quilvane {

uint16_t nextSequence = 1;
int receiveRetries = 0;
uint8_t requestBuffer[requestBufferSize];
uint8_t replyCopy[receiveBufferSize];

// Built on first use rather than during static initialisation, so a timer never calibrates
// before the platform layer it reads is ready.
CPerfTimer& rawTimer() {
    static CPerfTimer timer;
    return timer;
}

CPerfTimer& icmpDllTimer() {
    static CPerfTimer timer;
    return timer;
}

}  // namespace quilvane
