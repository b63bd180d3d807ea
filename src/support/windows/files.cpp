// Host-file access: FindFirstFileA for the lookup, CreateFileA and ReadFile for the contents.
#include <windows.h>
#include <winsock2.h>

#include <climits>

#include "support/windows/windows_platform.h"

namespace quilvane {

FileLookup WindowsPlatform::findFile(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return FileLookup{};
    FindClose(search);
    return FileLookup{true, uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow};
}

FileHandle WindowsPlatform::openFileForReading(const std::string& path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what the reader
    // wants: it is no host file.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return invalidFile;
    FileHandle number = nextFile_++;
    files_[number] = file;
    return number;
}

long WindowsPlatform::readFile(FileHandle file, uint8_t* buffer, size_t length) {
    auto found = files_.find(file);
    if (found == files_.end()) return -1;
    constexpr size_t largestRead = 0x7FFFF000;
    size_t total = 0;
    while (total < length) {
        DWORD part =
            static_cast<DWORD>(length - total < largestRead ? length - total : largestRead);
        DWORD got = 0;
        if (!ReadFile(found->second, buffer + total, part, &got, nullptr)) {
            // A pipe whose writer has closed its end: the end of the file.
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            if (total == 0) return -1;
            break;
        }
        if (got == 0) break;
        total += got;
    }
    // long is 32 bits on Windows.
    return total > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(total);
}

FileHandle WindowsPlatform::openStandardInput() {
    HANDLE process = GetCurrentProcess();
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return invalidFile;
    }
    FileHandle number = nextFile_++;
    files_[number] = copy;
    return number;
}

void WindowsPlatform::closeFile(FileHandle file) {
    auto found = files_.find(file);
    if (found == files_.end()) return;
    CloseHandle(found->second);
    files_.erase(found);
}

bool WindowsPlatform::replaceFile(const std::string& from, const std::string& to) {
    // The C library's rename() refuses an existing target here.
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace quilvane
