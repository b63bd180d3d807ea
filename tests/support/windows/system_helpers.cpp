// What the platform tests need from Windows directly: temp files, standard output, stream limits.
#include "support/system_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quilvane::testing {

namespace {
std::atomic<unsigned> directoriesMade{0};
}  // namespace

TemporaryDirectory::TemporaryDirectory() {
    // No mkdtemp here: the process id and a count make the name unique enough for one machine.
    std::string base = ::testing::TempDir();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + "quilvane-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(directoriesMade.fetch_add(1));
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "no temporary directory under " << base;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeWholeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

// Read as text: the program's logs end their lines with CR LF on disk here, as the console does.
std::string readWholeFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void makeDirectory(const std::string& path) {
    CreateDirectoryA(path.c_str(), nullptr);
}

std::string standardOutputOf(const std::function<void()>& call) {
    TemporaryDirectory directory;
    std::string path = directory.path("stdout");
    std::fflush(stdout);
    int saved = _dup(1);
    int file =
        _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(file, 1);
    _close(file);
    call();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    return readWholeFile(path);
}

// The C runtime's limit on open streams stands for the descriptor limit here.
ScopedDescriptorLimit::ScopedDescriptorLimit(uint64_t limit) {
    saved_ = static_cast<uint64_t>(_getmaxstdio());
    _setmaxstdio(static_cast<int>(limit));
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
    _setmaxstdio(static_cast<int>(saved_));
}

}  // namespace quilvane::testing
