// The program's pseudo-random generator: a linear congruential sequence, 0 to 32767 per draw.
#include "support/random.h"

#include <bit>
#include <cstring>

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
    // Every request's fill is drawn here, the largest share of the instructions of an echo: a
    // local state keeps the loop free of memory traffic, and four draws a turn go out as one word.
    uint32_t state = randomState;
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= count; i += 4) {
            uint32_t first = advance(state);
            uint32_t second = advance(first);
            uint32_t third = advance(second);
            state = advance(third);
            uint32_t word = (first >> 16 & 0xFFu) | (second >> 8 & 0xFF00u) | (third & 0xFF0000u) |
                            (state << 8 & 0xFF000000u);
            std::memcpy(bytes + i, &word, sizeof word);
        }
    }
    for (; i < count; ++i) {
        state = advance(state);
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    randomState = state;
}

}  // namespace quilvane
