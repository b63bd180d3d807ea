// Text set aside until the end of the run in a temporary file, so that it costs no memory.
#pragma once

#include <string>
#include <string_view>

namespace quilvane {

class Spool {
  public:
    Spool();
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    void append(std::string_view text);
    // Hands everything appended to write, in pieces; once, at the end.
    template <typename Write>
    void drain(Write write) {
        std::string piece;
        while (nextPiece(piece)) write(std::string_view(piece));
    }

  private:
    bool nextPiece(std::string& piece);

    void* file_ = nullptr;  // the temporary file; null when none could be made
    std::string memory_;    // the fallback when no temporary file can be made
    bool rewound_ = false;
};

}  // namespace quilvane
