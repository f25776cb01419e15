// What the kinds of multi-level links share: the Gray mapping of a symbol's
// bits to its level and back, and the bits a symbol of M levels carries.
#pragma once

#include <cstdint>

namespace nodrix {

// The level index (0 to 3) of a Gray-coded pair of bits, the first the more
// significant: 00 -> 0, 01 -> 1, 11 -> 2, 10 -> 3.
std::int32_t gray_level(std::int32_t first_bit, std::int32_t second_bit);

// The Gray-coded bits of a level index (first bit in bit 1): the inverse of
// gray_level.
std::int32_t gray_bits(std::int32_t level);

// Bits per symbol of M levels: 2 for M = 4, else 1.
std::int32_t bits_of_levels(std::int32_t levels);

}  // namespace nodrix
