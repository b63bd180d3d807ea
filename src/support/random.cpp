// The program's pseudo-random generator: a linear congruential sequence, 0 to 32767 per draw.
#include "support/random.h"

namespace quilvane {

namespace {
uint32_t randomState = 1;
uint32_t advance(uint32_t state) {
    return state * 214013u + 2531011u;
}
}  // namespace

void seedRandom(uint32_t seed) {
    randomState = seed;
}

int nextRandom() {
    randomState = advance(randomState);
    return static_cast<int>((randomState >> 16) & 0x7FFF);
}

void fillRandomBytes(uint8_t* bytes, size_t count) {
    // Every request's fill is drawn here; a local state keeps the loop free of memory traffic.
    uint32_t state = randomState;
    for (size_t i = 0; i < count; ++i) {
        state = advance(state);
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    randomState = state;
}

}  // namespace quilvane
