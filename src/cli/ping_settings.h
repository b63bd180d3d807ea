// The run settings every engine copies, the driver-only options, and the run-wide values.
#pragma once

#include <cstdint>
#include <string>

namespace quilvane {

struct PingSettings {
    int32_t continuous = 0;
    int32_t dataSize = 32;
    int32_t intervalMs = 1000;
    int32_t timeoutMs = 1000;
    int32_t ttl = 128;
    int32_t tos = 0;
    int32_t tosGiven = 0;
    int32_t recordRoutes = 0;
    int32_t resolveNames = 0;
    int32_t dontFragment = 0;
    int32_t beepMode = 0;
    int32_t count = 4;
    int32_t limitOutput = 0;
    int32_t timeStamp = 0;
    int32_t dateStamp = 0;
    int32_t replyNumber = 0;
};
static_assert(sizeof(PingSettings) == 16 * sizeof(int32_t));

struct RunOptions {
    int32_t useIcmpLibrary = 0;
    int32_t sweepEnabled = 0;
    int32_t sweepFirst = 0;
    int32_t sweepLast = 0;
    int32_t randomEnabled = 0;
    int32_t randomMin = 0;
    int32_t randomMax = 0;
    int32_t countGiven = 0;
    int32_t argumentWarning = 0;
};

// Outcome of the latest echo event; the process exit code.
extern int32_t lastStatus;

// The payload pattern of -d (or a random run's data); empty means none.
extern std::string pingData;

}  // namespace quilvane
