// Standard input, output and error as descriptors 0 to 2, whatever the process was started with.
#include "support/standard_streams.h"

#include <fcntl.h>
#include <io.h>

namespace quilvane {

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
