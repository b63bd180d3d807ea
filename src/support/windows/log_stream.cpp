// The log file's stream: the C runtime's "N" mode keeps it from child processes.
#include "support/log_stream.h"

namespace quilvane {

std::FILE* openLogStream(const char* path) {
    return std::fopen(path, "wN");
}

}  // namespace quilvane
