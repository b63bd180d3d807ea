// A file written beside its place under a temporary name and put there whole when complete.
#pragma once

#include <string>
#include <string_view>

namespace quilvane {

class ReplacingFile {
  public:
    // Opens path + ".tmp" for writing; a file that cannot be opened writes nothing.
    explicit ReplacingFile(std::string path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(std::string_view text);
    // Closes the temporary file and puts it in the place of path. False when anything failed
    // (the old file then stays as it was).
    bool commit();

  private:
    std::string path_;
    std::string temporary_;
    void* file_ = nullptr;
    bool failed_ = false;
};

}  // namespace quilvane
