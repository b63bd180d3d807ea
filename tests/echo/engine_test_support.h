// Shared set-up for the engine tests: a fake platform, calibrated timers and expected text blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "echo/echo_job.h"
#include "echo/echo_session.h"
#include "fakes/fake_platform.h"
#include "settings/ping_settings.h"
#include "support/inet.h"
#include "support/perf_timer.h"

namespace quilvane::testing {

// Forgets the timer calibration before the fixture's timer is built.
struct FreshCalibration {
    FreshCalibration() { CPerfTimer::ResetCalibrationForTest(); }
};

class EngineTest : public ::testing::Test {
  protected:
    EngineTest() { settings.count = 1; }

    // Runs one engine over host as a run would, applying its outcome to lastStatus and handing
    // its statistics (when it has any) to *statistics.
    template <typename Engine>
    EngineResult pingWith(const std::string& host, bool inRound, PingStatistics* statistics) {
        Engine engine(session, timer);
        HostOutcome outcome = engine.PingHost(host, EchoJob{settings, pattern, inRound});
        if (outcome.status) lastStatus = exitCode(*outcome.status);
        if (statistics != nullptr && outcome.statistics) *statistics = *outcome.statistics;
        return outcome.result;
    }

    ScopedFakePlatform scope;
    FakePlatform& fake = scope.fake;
    std::string& output = scope.output;
    PingSettings settings;
    std::string pattern;  // the run's pingData
    int32_t lastStatus = 0;
    EchoSession session;
    // Calibrated against the fake clock, which stands still between two readings, so the
    // round-trip times come out exactly as the fake advances them.
    FreshCalibration calibration;
    CPerfTimer timer;
};

inline Ipv4 address(const char* text) {
    return inetAddr(text);
}

inline uint16_t identifierOf(const FakePlatform& fake) {
    return static_cast<uint16_t>(fake.threadId & 0xFFFF);
}

inline FakeDatagram datagramFrom(std::vector<uint8_t> bytes, Ipv4 sender = 0) {
    FakeDatagram datagram;
    datagram.length = static_cast<long>(bytes.size());
    datagram.bytes = std::move(bytes);
    datagram.sender = sender;
    return datagram;
}

inline FakeDatagram failedReceive(int error) {
    FakeDatagram datagram;
    datagram.length = -1;
    datagram.error = error;
    return datagram;
}

inline std::string formatted(const char* format, double a, double b, double c) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The final (or interim) statistics block as a single-host run prints it.
inline std::string statisticsBlock(const std::string& heading, unsigned sent, unsigned received,
                                   double minimum, double maximum, double average,
                                   bool interim = false) {
    unsigned lost = sent - received;
    unsigned loss = sent == 0 ? 0 : lost * 100 / sent;
    return "\nPing statistics for " + heading + ":" +
           "\n\tPackets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) + ", Lost = " + std::to_string(lost) + " (" +
           std::to_string(loss) + "% loss)" + "\nApproximate round trip times in milli-seconds:" +
           formatted("\n\tMinimum = %.1f ms, Maximum = %.1f ms, Average = %.1f ms\n", minimum,
                     maximum, average) +
           (interim ? "\n" : "");
}

inline size_t countOf(const std::vector<std::string>& calls, const std::string& call) {
    size_t count = 0;
    for (const auto& c : calls) count += c == call ? 1 : 0;
    return count;
}

}  // namespace quilvane::testing
