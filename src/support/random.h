// The program's pseudo-random generator: a repeatable sequence from 0 to 32767 for each seed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quilvane {

void seedRandom(uint32_t seed);
int nextRandom();  // 0 to 32767
// Each byte is the low 8 bits of the next draw, in order; the sequence goes on after them.
void fillRandomBytes(uint8_t* bytes, size_t count);

}  // namespace quilvane
