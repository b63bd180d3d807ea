// The output sink: the second pass over "%", the buffer limit, the log file rules, and outside
// texts made printable.
#include "support/output_sink.h"

#include <gtest/gtest.h>

#include <string>

#include "support/printable_text.h"
#include "system_helpers.h"

namespace quilvane {
namespace {

using testing::readWholeFile;
using testing::TemporaryDirectory;

class OutputSinkTest : public ::testing::Test {
  protected:
    void SetUp() override { captureConsoleForTest(&console); }
    void TearDown() override {
        closeLogFile();
        captureConsoleForTest(nullptr);
    }
    std::string console;
};

TEST(PrintableText, ControlBytesBecomeQuestionMarksAndEverythingElseStays) {
    const struct {
        std::string outside;
        std::string shown;
    } cases[] = {
        {"alpha.lab.test", "alpha.lab.test"},
        {"198.18.1.2", "198.18.1.2"},
        {"%n%s%x", "%n%s%x"},
        {"tab\there", "tab\there"},
        {"\x1b[2J\x1b]0;title\x07", "?[2J?]0;title?"},
        {"line\r\n", "line??"},
        {std::string("nul\0in", 6), "nul?in"},
        {"\x01\x1f \x7f", "?? ?"},
        {"\x80\xff\xc3\xa9", "\x80\xff\xc3\xa9"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(printableText(c.outside), c.shown) << c.outside;
}

TEST_F(OutputSinkTest, PercentSignsFromOutsideTextsAreWrittenAsTheyStand) {
    int length = printMessage("Host %s ignored\n", "%s%n%x");
    EXPECT_EQ(console, "Host %s%n%x ignored\n");
    EXPECT_EQ(length, 20);

    console.clear();
    printMessage("%s", "100%");
    printMessage("%s", "%");
    EXPECT_EQ(console, "100%%");
}

TEST_F(OutputSinkTest, FourPercentSignsInAFormatShowAsOne) {
    printMessage("(%ld%%%% loss)\n", 25L);
    EXPECT_EQ(console, "(25% loss)\n");
}

TEST_F(OutputSinkTest, PairsFromOutsideTextsAlsoCollapse) {
    // The buffer is read as a format once more, so an outside "%%" is shown as one "%".
    printMessage("%s|%s\n", "a%%b", "%%%");
    EXPECT_EQ(console, "a%b|%%\n");
}

TEST_F(OutputSinkTest, ALongMessageIsCutAtTheBufferLimit) {
    std::string host(70'000, 'h');
    int length = printMessage("Could not resolve the host name %s\n", host.c_str());
    EXPECT_EQ(length, 65'535);
    ASSERT_EQ(console.size(), 65'535u);
    EXPECT_EQ(console.substr(0, 32), "Could not resolve the host name ");
    EXPECT_EQ(console.back(), 'h');
}

TEST_F(OutputSinkTest, ALongMessageOfPercentPairsStaysWithinTheBuffer) {
    std::string pairs(70'000, '%');
    printMessage("%s", pairs.c_str());
    EXPECT_EQ(console, std::string(65'535 / 2, '%') + "%");
}

TEST_F(OutputSinkTest, TheLogReceivesTheSameTextAsTheConsole) {
    TemporaryDirectory directory;
    printMessage("before the log\n");
    openLogFile(directory.path("run.log").c_str());
    printMessage("Reply from %s: %s %%%%\n", "10.0.0.1", "50%");
    EXPECT_EQ(readWholeFile(directory.path("run.log")), "Reply from 10.0.0.1: 50% %\n")
        << "the log is flushed after every message";
    closeLogFile();
    printMessage("after closing\n");
    EXPECT_EQ(readWholeFile(directory.path("run.log")), "Reply from 10.0.0.1: 50% %\n");
    EXPECT_EQ(console, "before the log\nReply from 10.0.0.1: 50% %\nafter closing\n");
}

TEST_F(OutputSinkTest, OpeningEmptiesAnExistingLog) {
    TemporaryDirectory directory;
    testing::writeWholeFile(directory.path("run.log"), "old contents\n");
    openLogFile(directory.path("run.log").c_str());
    printMessage("new\n");
    EXPECT_EQ(readWholeFile(directory.path("run.log")), "new\n");
}

TEST_F(OutputSinkTest, ALaterLogReplacesTheEarlierOne) {
    TemporaryDirectory directory;
    openLogFile(directory.path("a.log").c_str());
    printMessage("first\n");
    openLogFile(directory.path("b.log").c_str());
    printMessage("second\n");
    EXPECT_EQ(readWholeFile(directory.path("a.log")), "first\n");
    EXPECT_EQ(readWholeFile(directory.path("b.log")), "second\n");
}

TEST_F(OutputSinkTest, ManyReplacedLogsDoNotUseUpTheDescriptors) {
    TemporaryDirectory directory;
    testing::ScopedDescriptorLimit limit(64);
    for (int i = 0; i < 200; ++i) openLogFile(directory.path("run.log").c_str());
    printMessage("logged\n");
    EXPECT_EQ(readWholeFile(directory.path("run.log")), "logged\n");
}

TEST_F(OutputSinkTest, ALogThatCannotBeOpenedEndsLogging) {
    TemporaryDirectory directory;
    openLogFile(directory.path("a.log").c_str());
    printMessage("first\n");
    openLogFile(directory.path("missing/dir/b.log").c_str());
    printMessage("second\n");
    EXPECT_EQ(readWholeFile(directory.path("a.log")), "first\n");
    EXPECT_EQ(console, "first\nsecond\n");
}

TEST_F(OutputSinkTest, ClosingWithoutALogDoesNothing) {
    closeLogFile();
    closeLogFile();
    printMessage("still here\n");
    EXPECT_EQ(console, "still here\n");
}

}  // namespace
}  // namespace quilvane
