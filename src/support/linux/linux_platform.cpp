// The Linux platform: process set-up when first used.
#include "support/linux/linux_platform.h"

#include <sys/prctl.h>
#include <time.h>

#include "support/linux/capabilities.h"

namespace quilvane {

using namespace linux_detail;

LinuxPlatform::LinuxPlatform() {
    // Start-up builds the platform before the command line is read, so from then on the raw
    // capability is only effective inside openRawSocket.
    dropRawCapability();
    // The default 50 us slack stretches a 1 ms pause by about a tenth.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // The first local-time read would otherwise load the time-zone file, and that read sits
    // inside the first measured round trip.
    tzset();
}

Platform& linuxPlatform() {
    static LinuxPlatform instance;
    return instance;
}

Platform& systemPlatform() {
    return linuxPlatform();
}

}  // namespace quilvane
