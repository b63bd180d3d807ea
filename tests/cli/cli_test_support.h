// Argument vectors sized to the byte, so that AddressSanitizer sees any read past an argument.
#pragma once

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quilvane::testing {

class ArgumentVector {
  public:
    // The program name comes first, as in a real argv.
    ArgumentVector(std::initializer_list<std::string> arguments,
                   const std::string& program = "/usr/bin/quilvane")
        : ArgumentVector(std::vector<std::string>(arguments), program) {}

    explicit ArgumentVector(const std::vector<std::string>& arguments,
                            const std::string& program = "/usr/bin/quilvane") {
        add(program);
        for (const std::string& argument : arguments) add(argument);
        pointers_ = std::make_unique<char*[]>(storage_.size());
        for (size_t i = 0; i < storage_.size(); ++i) pointers_[i] = storage_[i].get();
    }

    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.get(); }

  private:
    void add(const std::string& text) {
        auto copy = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(copy.get(), text.c_str(), text.size() + 1);
        storage_.push_back(std::move(copy));
    }

    std::vector<std::unique_ptr<char[]>> storage_;
    std::unique_ptr<char*[]> pointers_;
};

}  // namespace quilvane::testing
