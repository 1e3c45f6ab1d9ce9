// Sums of whole numbers, which may be added in any order.
//
// When every value is a whole number and their magnitudes add up to less than 2^53, every partial
// sum, in whatever order it is added, is a whole number a double holds exactly, and a compensated
// (Kahan) sum of them carries a compensation of zero throughout. A rolling sum of such values
// kept as one running sum (add what comes, take away what leaves) then gives the bits of pandas'
// compensated rolling sum, one addition and one subtraction per value.
#pragma once

#include "core/volume_kernels.hpp"

#include <cstddef>
#include <cstdint>

namespace orvane::core {

inline constexpr uint64_t kWholeLimit = 1ull << 53;  // every whole number below 2^53 is a double

// The sum of the magnitudes of values [b, e) of the column, read as doubles (an int64 as the double
// it reads as), saturating at kWholeLimit; kWholeLimit as well when one of them is not a whole
// number, or is missing, infinite or -0.0. Sums of parts saturate as the whole's does: the values
// are whole and bounded when the parts' sum, saturating, is below kWholeLimit.
uint64_t whole_magnitude(const Column &values, size_t b, size_t e);

// Two such sums added, saturating.
inline uint64_t add_magnitudes(uint64_t a, uint64_t b) { return a + b < kWholeLimit ? a + b : kWholeLimit; }

}  // namespace orvane::core
