// Argument vectors sized to the byte, so that AddressSanitizer sees any read past an argument;
// the texts a run prints, built from exact values, as whole-output comparisons expect them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quilvane::testing {

// The death tests' predicate for exit(-1): Linux keeps the low 8 bits of the code (255), Windows
// the whole value.
inline bool endedWithMinusOne(int status) {
    return ::testing::ExitedWithCode(255)(status) || ::testing::ExitedWithCode(-1)(status);
}

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

inline std::string bannerLines() {
    return "\nQuilvane version 2.18\nWritten by the Quilvane developers\n\n";
}

// A one-host header of the engine: target is the address, or "name [address]" with -a.
inline std::string hostHeader(const std::string& target, int bytes, int intervalMs = 1000) {
    return "Pinging " + target + " with " + std::to_string(bytes) + " bytes of data every " +
           std::to_string(intervalMs) + " ms:\n\n";
}

inline std::string manyHostsHeader(int bytes = 32, int intervalMs = 1000) {
    return hostHeader("multiple hosts", bytes, intervalMs);
}

inline std::string sweepHeader(bool manyHosts, int first, int last, int intervalMs = 1000) {
    return std::string(manyHosts ? "Pinging multiple hosts" : "Pinging host") +
           " with data sweep (" + std::to_string(first) + " to " + std::to_string(last) +
           ") every " + std::to_string(intervalMs) + " ms:\n\n";
}

inline std::string randomHeader(bool manyHosts, int minimum, int maximum, int intervalMs = 1000) {
    return std::string(manyHosts ? "Pinging multiple hosts" : "Pinging host") +
           " with random size (" + std::to_string(minimum) + " to " + std::to_string(maximum) +
           ") and data every " + std::to_string(intervalMs) + " ms:\n\n";
}

inline std::string oneDecimal(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", ms);
    return text;
}

inline std::string replyLine(unsigned number, const std::string& from, int bytes, double ms = 1.0,
                             int ttl = 64) {
    return "Reply[" + std::to_string(number) + "] from " + from +
           ": bytes=" + std::to_string(bytes) + " time=" + oneDecimal(ms) +
           " ms TTL=" + std::to_string(ttl) + "\n";
}

// One reply per host, numbered on from first, all of one size and time.
inline std::string replyLines(unsigned first, const std::vector<std::string>& hosts, int bytes,
                              double ms = 1.0) {
    std::string text;
    for (const std::string& host : hosts) text += replyLine(first++, host, bytes, ms);
    return text;
}

inline std::string timeoutLine(const std::string& address) {
    return address + ": request timed out\n";
}

// What the fake prints for a wait when its sleepMarks point at the captured output.
inline std::string sleepMark(uint32_t ms) {
    return "<sleep " + std::to_string(ms) + ">\n";
}

struct RoundTrips {
    double minimum = 0.0;
    double maximum = 0.0;
    double average = 0.0;
};

// Every reply took the same time.
inline RoundTrips allTook(double ms) {
    return {ms, ms, ms};
}

// A final statistics block; heading is the host, or "multiple hosts" for a run's totals.
inline std::string statisticsLines(const std::string& heading, unsigned sent, unsigned received,
                                   RoundTrips times) {
    unsigned lost = sent - received;
    unsigned loss = sent == 0 ? 0 : lost * 100 / sent;
    return "\nPing statistics for " + heading + ":\n\tPackets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) + ", Lost = " + std::to_string(lost) + " (" +
           std::to_string(loss) +
           "% loss)\nApproximate round trip times in milli-seconds:\n\tMinimum = " +
           oneDecimal(times.minimum) + " ms, Maximum = " + oneDecimal(times.maximum) +
           " ms, Average = " + oneDecimal(times.average) + " ms\n";
}

inline std::string totalsLines(unsigned sent, unsigned received, RoundTrips times) {
    return statisticsLines("multiple hosts", sent, received, times);
}

}  // namespace quilvane::testing
