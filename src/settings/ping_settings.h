// The run settings record every engine works on: a plain value with no dependencies.
#pragma once

#include <cstdint>

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

}  // namespace quilvane
