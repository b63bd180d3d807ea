// Standard input, output and error as descriptors 0 to 2, whatever the process was started with.
#include "support/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quilvane {

void openClosedStandardStreams() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is taken, and those below are open by now: it is this one.
        int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
}

}  // namespace quilvane
