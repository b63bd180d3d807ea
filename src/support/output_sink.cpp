// The output sink: one static buffer, formatted once, written to the console and the log.
#include "support/output_sink.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/console_control.h"
#include "support/log_stream.h"
#include "support/platform.h"
#include "support/printable_text.h"

namespace quilvane {

namespace {

char messageBuffer[messageBufferSize];
std::FILE* logFile = nullptr;
std::string logPath;  // of the open log, for the message when writing it fails
std::string* consoleCapture = nullptr;
std::string* heldOutput = nullptr;
MessageDiversion diversion = nullptr;
std::string* standardErrorCapture = nullptr;

// The second pass: each "%%" becomes "%"; any other "%" came from an outside text (a host name,
// a path, a system message) and is written as it stands, never read as a conversion.
template <typename Write>
void writeSecondPass(const char* text, size_t length, Write write) {
    size_t start = 0;
    size_t i = 0;
    // Every line passes here, and most hold no "%" at all: memchr skips to the next one.
    while (i + 1 < length) {
        const void* found = std::memchr(text + i, '%', length - 1 - i);
        if (found == nullptr) break;
        i = static_cast<size_t>(static_cast<const char*>(found) - text);
        if (text[i + 1] == '%') {
            write(text + start, i + 1 - start);
            start = i + 2;
            i += 2;
        } else {
            ++i;
        }
    }
    if (start < length) write(text + start, length - start);
}

// The second pass, in place: the text only ever gets shorter, so each part moves towards the
// front. Returns the new length.
size_t collapsePercentPairs(char* text, size_t length) {
    size_t kept = 0;
    writeSecondPass(text, length, [&](const char* part, size_t size) {
        std::memmove(text + kept, part, size);
        kept += size;
    });
    return kept;
}

void writeStandardError(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// A log that cannot be written is said once, with the system's reason, on standard error; the
// run goes on without it, as a log with holes in it would pass for a whole one.
void logFailed(const char* action, const std::string& path, int error) {
    writeStandardError(std::string("Unable to ") + action + " log file " + printableText(path) +
                       ": " + std::strerror(error) + "\n");
}

void writeConsole(const char* text, size_t length) {
    if (consoleCapture != nullptr) {
        consoleCapture->append(text, length);
        return;
    }
    // Nobody reads what is printed any more (a closed pipe, a hung-up terminal): the run ends as
    // a Ctrl-C ends it, so that the log, if any, still gets the statistics.
    if (!platform().writeStandardOutput(text, length)) stopRequested = true;
}

void writeLog(const char* text, size_t length) {
    if (logFile == nullptr) return;
    errno = 0;
    bool written = std::fwrite(text, 1, length, logFile) == length;
    if (std::fflush(logFile) == 0 && written) return;
    int error = errno != 0 ? errno : EIO;
    std::fclose(logFile);
    logFile = nullptr;
    logFailed("write", logPath, error);
}

// Finished text to the console and the log, flushed.
void writeFinished(std::string_view text) {
    if (text.empty()) return;
    writeConsole(text.data(), text.size());
    writeLog(text.data(), text.size());
}

}  // namespace

int printMessage(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int formatted = std::vsnprintf(messageBuffer, sizeof messageBuffer, format, arguments);
    va_end(arguments);
    if (formatted < 0) return formatted;
    size_t length = static_cast<size_t>(formatted);
    if (length > sizeof messageBuffer - 1) length = sizeof messageBuffer - 1;

    size_t shown = collapsePercentPairs(messageBuffer, length);
    if (diversion != nullptr) {
        diversion(std::string_view(messageBuffer, shown));
        return static_cast<int>(length);
    }
    if (heldOutput != nullptr) {
        heldOutput->append(messageBuffer, shown);
        return static_cast<int>(length);
    }
    writeConsole(messageBuffer, shown);
    writeLog(messageBuffer, shown);
    return static_cast<int>(length);
}

std::string* holdOutput(std::string* held) {
    std::string* before = heldOutput;
    heldOutput = held;
    return before;
}

const std::string* heldOutputBuffer() {
    return heldOutput;
}

void divertMessages(MessageDiversion divert) {
    diversion = divert;
}

void writeResult(std::string_view text) {
    if (heldOutput != nullptr) {
        heldOutput->append(text);
        return;
    }
    writeFinished(text);
}

void releaseOutput(const std::string& text) {
    writeFinished(text);
}

void openLogFile(const char* path) {
    // The replaced stream is complete (every message was flushed); closing it keeps a long run of
    // -L options from using up the descriptors, which would leave the last one without a log.
    closeLogFile();
    errno = 0;
    logFile = openLogStream(path);
    if (logFile == nullptr) {
        logFailed("open", path, errno != 0 ? errno : ENOENT);
        return;
    }
    logPath = path;
}

void closeLogFile() {
    if (logFile == nullptr) return;
    errno = 0;
    if (std::fclose(logFile) != 0) logFailed("write", logPath, errno != 0 ? errno : EIO);
    logFile = nullptr;
}

void printToStandardError(const char* text) {
    writeStandardError(text);
}

void writeToStandardError(std::string_view text) {
    if (standardErrorCapture != nullptr) {
        standardErrorCapture->append(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void captureStandardErrorForTest(std::string* capture) {
    standardErrorCapture = capture;
}

void captureConsoleForTest(std::string* capture) {
    consoleCapture = capture;
}

}  // namespace quilvane
