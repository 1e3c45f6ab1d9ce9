// Sums of whole numbers, which may be added in any order.
//
// When every value is a whole number and their magnitudes add up to less than 2^53, every partial
// sum, in whatever order it is added, is a whole number a double holds exactly, and a compensated
// (Kahan) sum of them carries a compensation of zero throughout. A rolling sum of such values
// kept as one running sum (add what comes, take away what leaves) then gives the bits of pandas'
// compensated rolling sum, one addition and one subtraction per value.
#pragma once

#include "core/volume_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace orvane::core {

// Whether values taken one by one are whole numbers (NaN allowed when `missing_allowed`), none
// -0.0 and none infinite, whose magnitudes add up to less than 2^53. An int64 is taken as the
// double it reads as.
struct WholeCheck {
    static constexpr uint64_t kLimit = 1ull << 53;  // every whole number below 2^53 is a double
    bool missing_allowed = true;
    bool whole = true;
    uint64_t magnitude = 0;  // saturates at kLimit

    void take(int64_t v) {
        const uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        add(m < kLimit ? m : kLimit);
    }
    void take(double v) {
        const double a = std::fabs(v);
        const uint64_t m = static_cast<uint64_t>(a < 0x1p53 ? a : 0.0);  // NaN and the too large as 0
        if (v != v) {
            whole &= missing_allowed;
            return;
        }
        whole &= a < 0x1p53 && static_cast<double>(m) == a && !(a == 0 && std::signbit(v));
        add(m);
    }
    void add(uint64_t m) { magnitude = std::min(magnitude + m, kLimit); }  // m <= kLimit: no overflow
    void merge(const WholeCheck &other) {
        whole &= other.whole;
        add(other.magnitude);
    }
    bool holds() const { return whole && magnitude < kLimit; }
};

// WholeCheck over the column, read as its kind.
bool whole_and_bounded(const Column &values, size_t n, bool missing_allowed);

}  // namespace orvane::core
