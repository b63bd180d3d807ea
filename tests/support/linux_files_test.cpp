// Host-file calls on real files: lookup and size, directories refused, whole reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "hosts/host_file.h"
#include "hosts/host_list.h"
#include "support/linux/linux_platform.h"
#include "support/output_sink.h"
#include "system_helpers.h"

namespace quilvane {
namespace {

using testing::TemporaryDirectory;
using testing::writeWholeFile;

class LinuxFilesTest : public ::testing::Test {
  protected:
    std::string readAll(const std::string& path, size_t length, long& got) {
        std::string buffer(length, '\0');
        FileHandle file = system.openFileForReading(path);
        EXPECT_NE(file, invalidFile) << path;
        got = system.readFile(file, reinterpret_cast<uint8_t*>(buffer.data()), length);
        system.closeFile(file);
        return buffer.substr(0, got > 0 ? static_cast<size_t>(got) : 0);
    }

    LinuxPlatform system;
    TemporaryDirectory directory;
};

TEST_F(LinuxFilesTest, LookupGivesExistenceAndSize) {
    writeWholeFile(directory.path("hosts.txt"), "host1,host2,host3");
    writeWholeFile(directory.path("empty.txt"), "");
    FileLookup found = system.findFile(directory.path("hosts.txt"));
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.size, 17u);
    EXPECT_TRUE(system.findFile(directory.path("empty.txt")).found);
    EXPECT_EQ(system.findFile(directory.path("empty.txt")).size, 0u);
    EXPECT_FALSE(system.findFile(directory.path("missing.txt")).found);
    EXPECT_FALSE(system.findFile("").found);
}

TEST_F(LinuxFilesTest, ADirectoryIsFoundButCannotBeOpened) {
    testing::makeDirectory(directory.path("folder"));
    EXPECT_TRUE(system.findFile(directory.path("folder")).found);
    EXPECT_EQ(system.openFileForReading(directory.path("folder")), invalidFile);
    EXPECT_EQ(system.openFileForReading(directory.path("missing.txt")), invalidFile);
}

TEST_F(LinuxFilesTest, AReadGivesTheWholeFileIncludingNulAndLineEnds) {
    std::string contents("10.0.0.1\r\n10.0.0.2\r\n\0tail", 25);
    writeWholeFile(directory.path("hosts.txt"), contents);
    long got = 0;
    EXPECT_EQ(readAll(directory.path("hosts.txt"), contents.size(), got), contents);
    EXPECT_EQ(got, 25);
}

TEST_F(LinuxFilesTest, ALargeFileIsReadInOneCall) {
    std::string contents;
    for (int i = 0; contents.size() < 3'000'000; ++i) contents += "host" + std::to_string(i) + ",";
    writeWholeFile(directory.path("big.txt"), contents);
    long got = 0;
    EXPECT_EQ(readAll(directory.path("big.txt"), contents.size(), got), contents);
    EXPECT_EQ(static_cast<size_t>(got), contents.size());
}

TEST_F(LinuxFilesTest, AShrunkFileGivesFewerBytesThanAsked) {
    writeWholeFile(directory.path("hosts.txt"), "host1,host2,host3");
    FileLookup before = system.findFile(directory.path("hosts.txt"));
    writeWholeFile(directory.path("hosts.txt"), "host1");
    long got = 0;
    readAll(directory.path("hosts.txt"), before.size, got);
    EXPECT_EQ(got, 5);
}

TEST_F(LinuxFilesTest, AGrownFileIsReadOnlyUpToTheSizeAsked) {
    writeWholeFile(directory.path("hosts.txt"), "host1,host2,host3,host4");
    long got = 0;
    EXPECT_EQ(readAll(directory.path("hosts.txt"), 11, got), "host1,host2");
    EXPECT_EQ(got, 11);
}

TEST_F(LinuxFilesTest, AFifoWithoutWriterDoesNotHoldTheProgram) {
    testing::makeFifo(directory.path("pipe"));
    FileLookup found = system.findFile(directory.path("pipe"));
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.size, 0u);
    FileHandle file = system.openFileForReading(directory.path("pipe"));
    ASSERT_NE(file, invalidFile);
    uint8_t byte = 0;
    EXPECT_EQ(system.readFile(file, &byte, 0), 0);
    EXPECT_LE(system.readFile(file, &byte, 1), 0);
    system.closeFile(file);
}

// A pipe as a host file, the way a shell's process substitution hands one over: the lookup gives
// no size, and the reader reads what the writer wrote, whenever it writes it.
TEST_F(LinuxFilesTest, APipeIsReadToItsEndThroughTheReader) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
    EXPECT_FALSE(system.findFile(path).sized);
    EXPECT_TRUE(system.findFile(directory.path("")).sized) << "a directory keeps its size";
    std::thread writer([&] {
        // Late and in two pieces, so that a non-blocking read would have found nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(write(ends[1], "10.0.0.1,", 9), 9);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(write(ends[1], "10.0.0.2\n", 9), 9);
        close(ends[1]);
    });
    setPlatform(&system);
    HostList hosts;
    readHostFile(hosts, path);
    setPlatform(nullptr);
    writer.join();
    close(ends[0]);
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts.entry(0), "10.0.0.1");
    EXPECT_EQ(hosts.entry(1), "10.0.0.2");
}

// A full disk: every write of the log fails. Said once, with the reason, and the log is dropped.
TEST(LogFileOnLinux, AFullDeviceIsReportedOnceAndTheRunGoesOn) {
    std::string console;
    captureConsoleForTest(&console);
    ::testing::internal::CaptureStderr();
    openLogFile("/dev/full");
    printMessage("first\n");
    printMessage("second\n");
    closeLogFile();
    std::string standardError = ::testing::internal::GetCapturedStderr();
    captureConsoleForTest(nullptr);
    EXPECT_EQ(console, "first\nsecond\n");
    EXPECT_EQ(standardError, "Unable to write log file /dev/full: No space left on device\n");
}

}  // namespace
}  // namespace quilvane
