// Standard input, output and error as descriptors 0 to 2, whatever the process was started with.
#include "support/standard_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "support/windows/windows_platform.h"

namespace quilvane {

bool WindowsPlatform::writeStandardOutput(const char* text, size_t length) {
    errno = 0;
    SetLastError(ERROR_SUCCESS);
    bool written = std::fwrite(text, 1, length, stdout) == length;
    if (std::fflush(stdout) == 0 && written) return true;
    // The reading end of the pipe is closed: the C runtime says EPIPE, the system one of these.
    DWORD error = GetLastError();
    bool gone = errno == EPIPE || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
    std::clearerr(stdout);
    return !gone;
}

void openClosedStandardStreams() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        // A process started without a handle for the stream has no descriptor for it either.
        if (_get_osfhandle(descriptor) != -1) continue;
        int opened = _open("NUL", descriptor == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            _dup2(opened, descriptor);
            _close(opened);
        }
    }
}

}  // namespace quilvane
