// Standard input, output and error as descriptors 0 to 2, whatever the process was started with.
#include "support/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "support/linux/linux_platform.h"

namespace quilvane {

namespace {

// The errors after which no reader will ever see what is written: the reading end of a pipe or
// socket is closed (EPIPE, also when SIGPIPE is ignored), a socket reader reset or left the
// connection (ECONNRESET, ENOTCONN), or the terminal hung up (EIO).
bool readerIsGone(int error) {
    switch (error) {
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
        case EIO:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool LinuxPlatform::writeStandardOutput(const char* text, size_t length) {
    errno = 0;
    bool written = std::fwrite(text, 1, length, stdout) == length;
    if (std::fflush(stdout) == 0 && written) return true;
    int error = errno;
    // A failure that may pass (a full disk, a non-blocking descriptor) leaves the stream usable.
    std::clearerr(stdout);
    return !readerIsGone(error);
}

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
