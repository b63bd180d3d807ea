// A file written beside its place under a temporary name and put there whole when complete.
#include "support/replacing_file.h"

#include <cstdio>
#include <utility>

#include "support/platform.h"

namespace quilvane {

ReplacingFile::ReplacingFile(std::string path)
    : path_(std::move(path)), temporary_(path_ + ".tmp") {
    file_ = std::fopen(temporary_.c_str(), "wb");
    failed_ = file_ == nullptr;
}

ReplacingFile::~ReplacingFile() {
    if (file_ == nullptr) return;
    std::fclose(static_cast<std::FILE*>(file_));
    std::remove(temporary_.c_str());
}

void ReplacingFile::write(std::string_view text) {
    if (file_ == nullptr) return;
    if (std::fwrite(text.data(), 1, text.size(), static_cast<std::FILE*>(file_)) != text.size()) {
        failed_ = true;
    }
}

bool ReplacingFile::commit() {
    if (file_ == nullptr) return false;
    bool closed = std::fclose(static_cast<std::FILE*>(file_)) == 0;
    file_ = nullptr;
    if (failed_ || !closed || !platform().replaceFile(temporary_, path_)) {
        std::remove(temporary_.c_str());
        return false;
    }
    return true;
}

}  // namespace quilvane
