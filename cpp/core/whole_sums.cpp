#include "core/whole_sums.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace orvane::core {

namespace {

constexpr uint64_t kLimit = 1ull << 53;  // every whole number below 2^53 is a double

// The values taken one by one: whether all are whole so far, and their magnitudes' sum, which
// saturates at kLimit.
struct WholeCheck {
    bool whole = true;
    uint64_t magnitude = 0;

    void take(int64_t v) {
        const uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        add(m < kLimit ? m : kLimit);
    }
    void take(double v) {
        const double a = std::fabs(v);
        const uint64_t m = static_cast<uint64_t>(a < 0x1p53 ? a : 0.0);  // NaN and the too large as 0
        whole &= a < 0x1p53 && static_cast<double>(m) == a && !(a == 0 && std::signbit(v));  // NaN fails a < 2^53
        add(m);
    }
    void add(uint64_t m) { magnitude = std::min(magnitude + m, kLimit); }  // m <= kLimit: no overflow
    bool holds() const { return whole && magnitude < kLimit; }
};

template <class V>
bool whole_and_bounded_t(const Column &values, size_t n) {
    WholeCheck check;
    for (size_t i = 0; i < n; ++i) {
        V v;
        std::memcpy(&v, values.data + static_cast<std::ptrdiff_t>(i) * values.stride, sizeof v);
        check.take(v);
    }
    return check.holds();
}

}  // namespace

bool whole_and_bounded(const Column &values, size_t n) {
    if (values.kind == Column::Kind::I64) return whole_and_bounded_t<int64_t>(values, n);
    return whole_and_bounded_t<double>(values, n);
}

}  // namespace orvane::core
