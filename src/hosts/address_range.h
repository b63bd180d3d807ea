// IPv4 address ranges of -g: the walk that skips .0 and .255, as arithmetic on ranks.
#pragma once

#include <cstdint>

namespace quilvane {

// How many addresses below hostOrder (0 to 2^32) end in neither .0 nor .255.
uint64_t addressRank(uint64_t hostOrder);

// The address (host byte order) whose rank is rank; the inverse of addressRank on such addresses.
uint32_t addressOfRank(uint64_t rank);

}  // namespace quilvane
