// The log file's stream: glibc's "e" mode sets close-on-exec.
#include "support/log_stream.h"

namespace quilvane {

std::FILE* openLogStream(const char* path) {
    return std::fopen(path, "we");
}

}  // namespace quilvane
