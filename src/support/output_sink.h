// The output sink: every message goes to standard output and, while one is open, the log file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quilvane {

constexpr size_t messageBufferSize = 0x10000;

// Formats into the one static buffer (cut at 65,535 characters), then writes it to the console and
// the log with each "%%" shown as "%"; a lone "%" from an outside text is written as it stands.
// Both streams are flushed. Returns the length of the formatted text. When standard output's
// reader is gone for good, the run is asked to stop as Ctrl-C asks it (stopRequested); the log
// still gets every message. A log that fails while written is reported once on standard error
// and closed.
int printMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines of a dispatch that must wait for the dispatches before it (many requests in flight):
// while held is set, every message lands there, finished, instead of on the console and the log.
// Null writes again. Returns what held output before, to be set again after a nested hold.
std::string* holdOutput(std::string* held);
// Writes finished text from holdOutput to the console and the log, flushed.
void releaseOutput(const std::string& text);

// The buffer lines are held in at the moment, or null.
const std::string* heldOutputBuffer();

// A result output (--json, --alive) owns standard output: every message is handed to divert
// instead of the console and the log (null writes them as usual again).
using MessageDiversion = void (*)(std::string_view text);
void divertMessages(MessageDiversion divert);
// The text of a result output: standard output and the log, held as messages are, as it stands.
void writeResult(std::string_view text);

// Opens (mode "w") or replaces the log stream; a file that cannot be opened leaves no log at all,
// and says so on standard error with the path and the system's reason.
void openLogFile(const char* path);
void closeLogFile();

// Straight to standard error, never to the log (the usage text).
void printToStandardError(const char* text);

// Text that is not a result while a result output owns standard output; never to the log.
void writeToStandardError(std::string_view text);

// Tests: collect what goes to standard error through writeToStandardError (null restores).
void captureStandardErrorForTest(std::string* capture);

// Tests: collect console output in *capture instead of writing standard output (null restores).
void captureConsoleForTest(std::string* capture);

}  // namespace quilvane
