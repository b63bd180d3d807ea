// Text set aside until the end of the run in a temporary file, so that it costs no memory.
#include "support/spool.h"

#include <cstdio>

namespace quilvane {

namespace {

constexpr size_t pieceSize = 1 << 16;

std::FILE* fileOf(void* file) {
    return static_cast<std::FILE*>(file);
}

}  // namespace

Spool::Spool() : file_(std::tmpfile()) {}

Spool::~Spool() {
    if (file_ != nullptr) std::fclose(fileOf(file_));
}

void Spool::append(std::string_view text) {
    if (file_ == nullptr ||
        std::fwrite(text.data(), 1, text.size(), fileOf(file_)) != text.size()) {
        memory_.append(text);
    }
}

bool Spool::nextPiece(std::string& piece) {
    if (file_ != nullptr) {
        if (!rewound_) {
            std::fflush(fileOf(file_));
            std::rewind(fileOf(file_));
            rewound_ = true;
        }
        piece.resize(pieceSize);
        size_t read = std::fread(piece.data(), 1, pieceSize, fileOf(file_));
        piece.resize(read);
        if (read > 0) return true;
    }
    if (memory_.empty()) return false;
    piece = std::move(memory_);
    memory_.clear();
    return true;
}

}  // namespace quilvane
