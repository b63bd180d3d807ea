// The log file's stream, opened the way the system allows.
#pragma once

#include <cstdio>

namespace quilvane {

// Opens path for writing from the start (mode "w"), not inherited by child processes; null when it
// cannot be opened.
std::FILE* openLogStream(const char* path);

}  // namespace quilvane
