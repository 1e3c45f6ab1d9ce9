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

namespace orvane::core {

// Whether every value of the column, read as a double (an int64 as the double it reads as), is a
// whole number, none missing, infinite or -0.0, and their magnitudes add up to less than 2^53.
bool whole_and_bounded(const Column &values, size_t n);

}  // namespace orvane::core
