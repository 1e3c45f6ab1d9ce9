// Volume indicator kernels over strided 1-D columns: on-balance volume, the accumulation/
// distribution line, the Chaikin A/D oscillator, Chaikin money flow, and the seeded exponential
// moving average they share. Plain C++; the binding files hand numpy buffers in and out.
//
// Every kernel reproduces, operation for operation, the element-wise pandas steps of the
// indicator it stands for (same IEEE operations in the same order), so that the native and the
// pandas renderings give the same bits:
//   * cumulative sums skip missing values (the running sum carries on, the position stays NaN);
//   * rolling sums are pandas' fixed-window sums: Kahan-compensated adds and removes, infinite
//     values counted as missing, a run of equal values summed as value * count;
//   * the moving average follows pandas' ewm(adjust=False) recursion after its seed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane::core {

// A read-only column: `data` points at element 0, `stride` is in bytes. Prices are F64;
// volume (and the input of ema) may also be I64, read as double.
struct Column {
    enum class Kind { F64, I64 };
    const char *data = nullptr;
    std::ptrdiff_t stride = 0;
    Kind kind = Kind::F64;
};

// The value a zero bar range is replaced with, so that the range can divide.
extern const double kRangeEpsilon;

// Kernels taking `threads` may use up to that many native threads; the bits do not depend on it.
// OBV: cumulative sum of sign(close move) * volume, the first move counted as +1.
void obv(const Column &close, const Column &volume, size_t n, double *out, unsigned threads = 1);

// AD: cumulative sum of ((close - low) - (high - close)) / range * volume.
void ad(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
        double *out, unsigned threads = 1);

// ADOSC: ema(AD, fast) - ema(AD, slow), in one pass. fast, slow >= 1.
void adosc(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
           int64_t fast, int64_t slow, double *out, unsigned threads = 1);

// CMF: rolling sum of money-flow volume over rolling sum of volume, `length` observations. length >= 1.
void cmf(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
         int64_t length, double *out, unsigned threads = 1);

// Exponential moving average with alpha 2 / (length + 1), seeded at position length - 1 with the
// mean of the first `length` values (missing and infinite values skipped); earlier positions are
// NaN, as is everything when n < length. length >= 1.
void ema(const Column &x, size_t n, int64_t length, double *out);

}  // namespace orvane::core
