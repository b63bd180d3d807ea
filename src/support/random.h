// The program's pseudo-random generator: a repeatable sequence from 0 to 32767 for each seed.
#pragma once

#include <cstdint>

namespace quilvane {

void seedRandom(uint32_t seed);
int nextRandom();  // 0 to 32767

}  // namespace quilvane
