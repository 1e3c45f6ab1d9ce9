#include "core/whole_sums.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvane::core {

namespace {

constexpr uint64_t kLimit = kWholeLimit;

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
    uint64_t result() const { return whole ? magnitude : kLimit; }
};

template <class V>
uint64_t whole_magnitude_t(const Column &values, size_t n) {
    WholeCheck check;
    for (size_t i = 0; i < n; ++i) {
        V v;
        std::memcpy(&v, values.data + static_cast<std::ptrdiff_t>(i) * values.stride, sizeof v);
        check.take(v);
    }
    return check.result();
}

#if defined(__x86_64__)
// The same check four values at a time for a contiguous column, on processors with AVX2 (asked at
// run time). Each value is checked to be whole with a magnitude below 2^53 (an int64) or 2^52 (a
// double: one in [2^52, 2^53) counts as not whole, which only sends the caller down its other,
// also exact, road), so that the lanes' sums over a run of 1024 values cannot overflow; doubles'
// magnitudes are summed as doubles, exact while below 2^53 and never back below it once past.
// The runs' totals then saturate as WholeCheck's do.
namespace wide {

#define ORVANE_AVX2 __attribute__((target("avx2")))

template <class V>
ORVANE_AVX2 uint64_t whole_magnitude(const V *v, size_t n) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i bad = zero;
    uint64_t total = 0;
    double total_d = 0.0;
    size_t i = 0;
    while (i + 4 <= n && _mm256_testz_si256(bad, bad)) {
        __m256i sum = zero;
        __m256d sum_d = _mm256_setzero_pd();
        for (const size_t end = std::min(n & ~size_t(3), i + 1024); i < end; i += 4) {
            if constexpr (std::is_same_v<V, int64_t>) {
                const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + i));
                const __m256i negative = _mm256_cmpgt_epi64(zero, x);
                const __m256i magnitude = _mm256_sub_epi64(_mm256_xor_si256(x, negative), negative);  // INT64_MIN stays < 0
                bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(zero, magnitude));
                bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(magnitude, _mm256_set1_epi64x(kLimit - 1)));
                sum = _mm256_add_epi64(sum, magnitude);
            } else {
                const __m256d x = _mm256_loadu_pd(v + i), big = _mm256_set1_pd(0x1p52);
                const __m256d a = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
                const __m256d whole = _mm256_and_pd(_mm256_cmp_pd(a, big, _CMP_LT_OQ),  // NaN fails
                                                    _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(a, big), big), a, _CMP_EQ_OQ));
                const __m256i minus_zero = _mm256_cmpeq_epi64(_mm256_castpd_si256(x), _mm256_set1_epi64x(INT64_MIN));
                bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_xor_si256(_mm256_castpd_si256(whole), _mm256_set1_epi64x(-1)), minus_zero));
                sum_d = _mm256_add_pd(sum_d, a);
            }
        }
        alignas(32) uint64_t lanes[4];
        alignas(32) double lanes_d[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), sum);
        _mm256_store_pd(lanes_d, sum_d);
        total = std::min(total + lanes[0] + lanes[1] + lanes[2] + lanes[3], kLimit);  // each lane < 2^62
        total_d = (((total_d + lanes_d[0]) + lanes_d[1]) + lanes_d[2]) + lanes_d[3];
    }
    if (!_mm256_testz_si256(bad, bad)) return kLimit;
    WholeCheck rest;
    rest.magnitude = std::is_same_v<V, int64_t> ? total : (total_d < 0x1p53 ? static_cast<uint64_t>(total_d) : kLimit);
    for (; i < n; ++i) rest.take(v[i]);
    return rest.result();
}

#undef ORVANE_AVX2

}  // namespace wide
#endif

}  // namespace

uint64_t whole_magnitude(const Column &values, size_t b, size_t e) {
    const Column part{values.data + static_cast<std::ptrdiff_t>(b) * values.stride, values.stride, values.kind};
    const size_t n = e - b;
#if defined(__x86_64__)
    if (part.stride == 8 && reinterpret_cast<uintptr_t>(part.data) % 8 == 0 && __builtin_cpu_supports("avx2")) {
        if (part.kind == Column::Kind::I64) return wide::whole_magnitude(reinterpret_cast<const int64_t *>(part.data), n);
        return wide::whole_magnitude(reinterpret_cast<const double *>(part.data), n);
    }
#endif
    if (part.kind == Column::Kind::I64) return whole_magnitude_t<int64_t>(part, n);
    return whole_magnitude_t<double>(part, n);
}

}  // namespace orvane::core
