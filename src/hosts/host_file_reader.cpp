// The host-file reader: lookup, read-only open and one read of the size found, into the list.
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

// Room for the file and the NUL behind it; nothing when it cannot be had.
std::optional<HostFileText> allocateInputBuffer(uint64_t size) {
    if (size >= hostFileSizeLimit) return std::nullopt;
    try {
        return HostFileText::allocate(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace

void readHostFile(HostList& list, const std::string& path) {
    list.hostFileGiven = true;
    Platform& system = platform();

    FileLookup lookup = system.findFile(path);
    if (!lookup.found) {
        printMessage("\nFile %s not found.\n", printableText(path).c_str());
        return;
    }
    FileHandle file = system.openFileForReading(path);
    if (file == invalidFile) {
        printMessage("\nUnable to open %s.\n", printableText(path).c_str());
        return;
    }
    std::optional<HostFileText> buffer = allocateInputBuffer(lookup.size);
    if (!buffer) {
        printMessage("\nUnable to allocate input buffer. Please check your input file.\n");
        system.closeFile(file);
        return;
    }
    // Only the count tells success: a file that shrank since the lookup is refused, one that
    // grew is read up to the size found.
    long got = system.readFile(file, reinterpret_cast<uint8_t*>(buffer->bytes.get()), buffer->size);
    if (got < 0 || static_cast<uint64_t>(got) != lookup.size) {
        printMessage("\nUnable to read input data. Please check your input file.\n");
        system.closeFile(file);
        return;
    }
    try {
        list.appendHostFile(std::move(*buffer));
    } catch (const std::bad_alloc&) {
        // The hosts appended before memory ran out stay; nothing is printed.
    }
    system.closeFile(file);
}

}  // namespace quilvane
