// The output sink: one static buffer, formatted once, written to the console and the log.
#include "support/output_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/log_stream.h"

namespace quilvane {

namespace {

char messageBuffer[messageBufferSize];
std::FILE* logFile = nullptr;
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

void writeToStream(std::FILE* stream, const char* text, size_t length) {
    writeSecondPass(text, length, [stream](const char* part, size_t size) {
        std::fwrite(part, 1, size, stream);
    });
    std::fflush(stream);
}

// Finished text to the console and the log, flushed.
void writeFinished(std::string_view text) {
    if (text.empty()) return;
    if (consoleCapture != nullptr) {
        consoleCapture->append(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    if (logFile != nullptr) {
        std::fwrite(text.data(), 1, text.size(), logFile);
        std::fflush(logFile);
    }
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

    if (diversion != nullptr) {
        std::string text;
        writeSecondPass(messageBuffer, length,
                        [&text](const char* part, size_t size) { text.append(part, size); });
        diversion(text);
        return static_cast<int>(length);
    }
    if (heldOutput != nullptr) {
        writeSecondPass(messageBuffer, length,
                        [](const char* part, size_t size) { heldOutput->append(part, size); });
        return static_cast<int>(length);
    }
    if (consoleCapture != nullptr) {
        writeSecondPass(messageBuffer, length,
                        [](const char* part, size_t size) { consoleCapture->append(part, size); });
    } else {
        writeToStream(stdout, messageBuffer, length);
    }
    if (logFile != nullptr) writeToStream(logFile, messageBuffer, length);
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
    logFile = openLogStream(path);
}

void closeLogFile() {
    if (logFile != nullptr) std::fclose(logFile);
    logFile = nullptr;
}

void printToStandardError(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
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
