// Host-file access: lookup with size, read-only open that refuses directories, full reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/linux/linux_platform.h"
#include "support/linux/system_call.h"

namespace quilvane {

using namespace linux_detail;

FileLookup LinuxPlatform::findFile(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return FileLookup{};
    // A directory keeps its size: it is refused when opened.
    bool sized = S_ISREG(status.st_mode) || S_ISDIR(status.st_mode);
    return FileLookup{true, static_cast<uint64_t>(status.st_size), sized};
}

FileHandle LinuxPlatform::openFileForReading(const std::string& path) {
    // O_NONBLOCK keeps a FIFO from holding the program until a writer appears.
    int file = retryOnInterrupt(
        [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
    if (file < 0) return invalidFile;
    struct stat status;
    if (fstat(file, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(file);
        return invalidFile;
    }
    // Once open, a pipe is read as it fills: a writer that has not written yet is waited for,
    // where a non-blocking read would take its silence for a failure.
    int flags = fcntl(file, F_GETFL);
    if (flags != -1) fcntl(file, F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

FileHandle LinuxPlatform::openStandardInput() {
    int file = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    return file < 0 ? invalidFile : file;
}

long LinuxPlatform::readFile(FileHandle file, uint8_t* buffer, size_t length) {
    constexpr size_t largestRead = 0x7FFFF000;  // what Linux transfers in one read at most
    size_t total = 0;
    while (total < length) {
        size_t part = length - total < largestRead ? length - total : largestRead;
        ssize_t got = retryOnInterrupt([&] { return read(file, buffer + total, part); });
        if (got < 0) {
            if (total == 0) return -1;
            break;
        }
        if (got == 0) break;
        total += static_cast<size_t>(got);
    }
    return total > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(total);
}

void LinuxPlatform::closeFile(FileHandle file) {
    if (file >= 0) close(file);
}

}  // namespace quilvane
