// The host-file reader: lookup, read-only open and one read of the size found (or reads to the
// end of a pipe), into the list.
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "hosts/host_file.h"
#include "hosts/host_list.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"

namespace quilvane {

namespace {

constexpr const char* noBuffer =
    "\nUnable to allocate input buffer. Please check your input file.\n";
constexpr const char* readFailed = "\nUnable to read input data. Please check your input file.\n";

// The text read, or the message that says why there is none.
struct FileRead {
    std::optional<HostFileText> text;
    const char* failure = nullptr;
};

// Room for the file and the NUL behind it; nothing when it cannot be had.
std::optional<HostFileText> allocateInputBuffer(uint64_t size) {
    if (size >= hostFileSizeLimit) return std::nullopt;
    try {
        return HostFileText::allocate(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// A file with a size: one read of exactly that size. Only the count tells success: a file that
// shrank since the lookup is refused, one that grew is read up to the size found.
FileRead readSized(Platform& system, FileHandle file, uint64_t size) {
    std::optional<HostFileText> buffer = allocateInputBuffer(size);
    if (!buffer) return {std::nullopt, noBuffer};
    long got = system.readFile(file, reinterpret_cast<uint8_t*>(buffer->bytes.get()), buffer->size);
    if (got < 0 || static_cast<uint64_t>(got) != size) return {std::nullopt, readFailed};
    return {std::move(buffer), nullptr};
}

// A pipe, a terminal or a device: read until a read gives nothing, with the same limit as a
// file's size.
FileRead readToEnd(Platform& system, FileHandle file) {
    constexpr size_t part = 0x10000;
    std::unique_ptr<char[]> bytes;
    uint64_t capacity = 0;
    uint64_t used = 0;
    for (;;) {
        if (capacity - used < part + 1) {
            uint64_t grown = capacity * 2 > used + part + 1 ? capacity * 2 : used + part + 1;
            std::unique_ptr<char[]> larger(new (std::nothrow) char[static_cast<size_t>(grown)]);
            if (!larger) return {std::nullopt, noBuffer};
            if (used != 0) std::memcpy(larger.get(), bytes.get(), static_cast<size_t>(used));
            bytes = std::move(larger);
            capacity = grown;
        }
        long got = system.readFile(file, reinterpret_cast<uint8_t*>(bytes.get() + used), part);
        if (got < 0) return {std::nullopt, readFailed};
        if (got == 0) break;
        used += static_cast<uint64_t>(got);
        if (used >= hostFileSizeLimit) return {std::nullopt, noBuffer};
    }
    bytes[used] = '\0';
    return {HostFileText(std::move(bytes), static_cast<size_t>(used)), nullptr};
}

}  // namespace

void readHostFile(HostList& list, const std::string& path) {
    list.hostFileGiven = true;
    Platform& system = platform();
    // "-" is standard input, as for most programs that read files.
    bool standardInput = path == "-";

    FileLookup lookup = standardInput ? FileLookup{true, 0, false} : system.findFile(path);
    if (!lookup.found) {
        printMessage("\nFile %s not found.\n", printableText(path).c_str());
        return;
    }
    FileHandle file = standardInput ? system.openStandardInput() : system.openFileForReading(path);
    if (file == invalidFile) {
        printMessage("\nUnable to open %s.\n", printableText(path).c_str());
        return;
    }
    FileRead read = lookup.sized ? readSized(system, file, lookup.size) : readToEnd(system, file);
    if (read.failure != nullptr) {
        printMessage("%s", read.failure);
        system.closeFile(file);
        return;
    }
    try {
        list.appendHostFile(std::move(*read.text));
    } catch (const std::bad_alloc&) {
        // The hosts appended before memory ran out stay; nothing is printed.
    }
    system.closeFile(file);
}

}  // namespace quilvane
