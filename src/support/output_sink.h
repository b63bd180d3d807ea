// The output sink: every message goes to standard output and, while one is open, the log file.
#pragma once

#include <cstddef>
#include <string>

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
// Null writes again.
void holdOutput(std::string* held);
// Writes finished text from holdOutput to the console and the log, flushed.
void releaseOutput(const std::string& text);

// Opens (mode "w") or replaces the log stream; a file that cannot be opened leaves no log at all,
// and says so on standard error with the path and the system's reason.
void openLogFile(const char* path);
void closeLogFile();

// Straight to standard error, never to the log (the usage text).
void printToStandardError(const char* text);

// Tests: collect console output in *capture instead of writing standard output (null restores).
void captureConsoleForTest(std::string* capture);

}  // namespace quilvane
