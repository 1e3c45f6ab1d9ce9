// How the volume kernels read their columns: element type and layout chosen once per call, values
// made a block at a time.
#pragma once

#include "core/volume_kernels.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace orvane::core::reading {

// numpy's sign: +1, -1, 0 for either zero, NaN stays NaN. Rises and falls come in no
// predictable order, so their sign is taken with copysign rather than a branch; zeros and NaN
// are rare and predictable.
inline double sign(double x) {
    double s = std::copysign(1.0, x);
    if (x == 0) s = 0.0;
    if (x != x) s = x;
    return s;
}

// A column read as doubles; V is the stored element type (double or int64_t). A contiguous,
// aligned column (K true) is indexed directly, so that loops over it can be vectorised.
template <class V, bool K = false>
struct Reader {
    const char *data;
    std::ptrdiff_t stride;
    explicit Reader(const Column &c) : data(c.data), stride(c.stride) {}
    const char *at(size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * stride; }
    double operator[](size_t i) const {
        if constexpr (K) return static_cast<double>(reinterpret_cast<const V *>(data)[i]);
        return static_cast<double>(*reinterpret_cast<const V *>(data + static_cast<std::ptrdiff_t>(i) * stride));
    }
};

template <class V>
bool contiguous(const Column &c) {
    return c.stride == sizeof(V) && reinterpret_cast<uintptr_t>(c.data) % alignof(V) == 0;
}

// Values are computed a block at a time into a small buffer, in loops the compiler vectorises,
// and the running parts then walk the buffer.
constexpr size_t kBlock = 512;

// Fewer bars than this are not worth a second thread.
constexpr size_t kTwoThreadsMin = 1 << 16;

// Run `call` with V bound to the element type of the volume (or ema input) column.
#define ORVANE_BY_VOLUME(volume, call)              \
    do {                                            \
        if ((volume).kind == Column::Kind::I64) {   \
            using V = int64_t;                      \
            call;                                   \
        } else {                                    \
            using V = double;                       \
            call;                                   \
        }                                           \
    } while (0)

// Money-flow volume of a bar: close location in the bar's range times volume.
template <class V, bool K>
struct MoneyFlow {
    Reader<double, K> high, low, close;
    Reader<V, K> volume;
    MoneyFlow(const Column &h, const Column &l, const Column &c, const Column &v)
        : high(h), low(l), close(c), volume(v) {}
    double operator()(size_t i) const {
        const double h = high[i], l = low[i], c = close[i];
        double range = h - l;
        if (__builtin_expect(range == 0, 0)) range = kRangeEpsilon;  // flat bars are rare
        const double clv = ((c - l) - (h - c)) / range;
        return clv * volume[i];
    }
    // Asks for the cache lines of bar i, ahead of their use.
    void prefetch(size_t i) const {
        __builtin_prefetch(high.at(i));
        __builtin_prefetch(low.at(i));
        __builtin_prefetch(close.at(i));
        __builtin_prefetch(volume.at(i));
    }
    // The values of bars [first, first + m) into dst, m <= kBlock.
    void block(size_t first, size_t m, double *dst) const {
        double vol[kBlock];
        for (size_t k = 0; k < m; ++k) vol[k] = volume[first + k];
        for (size_t k = 0; k < m; ++k) {
            const double h = high[first + k], l = low[first + k], c = close[first + k];
            double range = h - l;
            range = range == 0 ? kRangeEpsilon : range;
            const double clv = ((c - l) - (h - c)) / range;
            dst[k] = clv * vol[k];
        }
    }
};

}  // namespace orvane::core::reading
