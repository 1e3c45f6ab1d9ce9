// The AD line's money flows four bars at a time, for processors with AVX2 (asked at run time by
// the callers): the same operations as MoneyFlow, lane by lane, so the bits are the same.
#pragma once

#include "core/pandas_steps.hpp"
#include "core/volume_reading.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>

namespace orvane::core::wide {

using steps::kNaN;

#define ORVANE_AVX2 __attribute__((target("avx2")))

// On one thread, the running sum's chain of additions sets the pace, one addition per bar; the
// money flows fill the slots the chain leaves free: each step makes four flows of the next block
// and adds four of this one.
constexpr size_t kAhead = 256;

struct Flows {
    alignas(32) double value[kAhead];    // flows, missing ones as +0.0
    alignas(32) double missing[kAhead];  // all bits set where the flow is NaN
};

template <class V>
ORVANE_AVX2 inline __m256d volume4(const V *v, size_t i) {
    if constexpr (std::is_same_v<V, double>) return _mm256_loadu_pd(v + i);
    return _mm256_set_pd(static_cast<double>(v[i + 3]), static_cast<double>(v[i + 2]), static_cast<double>(v[i + 1]),
                         static_cast<double>(v[i]));
}

// MoneyFlow's operations on bars [i, i + 4).
template <class V>
ORVANE_AVX2 inline __m256d flow4(const double *h, const double *l, const double *c, const V *v, size_t i) {
    const __m256d hi = _mm256_loadu_pd(h + i), lo = _mm256_loadu_pd(l + i), cl = _mm256_loadu_pd(c + i);
    __m256d range = _mm256_sub_pd(hi, lo);
    range = _mm256_blendv_pd(range, _mm256_set1_pd(kRangeEpsilon), _mm256_cmp_pd(range, _mm256_setzero_pd(), _CMP_EQ_OQ));
    const __m256d clv = _mm256_div_pd(_mm256_sub_pd(_mm256_sub_pd(cl, lo), _mm256_sub_pd(hi, cl)), range);
    return _mm256_mul_pd(clv, volume4(v, i));
}

template <class V>
ORVANE_AVX2 inline void make4(const double *h, const double *l, const double *c, const V *v, size_t i, Flows &to,
                              size_t k) {
    const __m256d flow = flow4(h, l, c, v, i);
    const __m256d missing = _mm256_cmp_pd(flow, flow, _CMP_UNORD_Q);
    _mm256_store_pd(to.value + k, _mm256_andnot_pd(missing, flow));
    _mm256_store_pd(to.missing + k, missing);
}

// Four steps of the running sum: acc + x, reported NaN where the flow is.
ORVANE_AVX2 inline void add4(double &acc, const Flows &from, size_t k, double *out) {
    const double a0 = acc + from.value[k], a1 = a0 + from.value[k + 1], a2 = a1 + from.value[k + 2],
                 a3 = a2 + from.value[k + 3];
    acc = a3;
    const __m256d sums = _mm256_set_pd(a3, a2, a1, a0);
    _mm256_storeu_pd(out, _mm256_blendv_pd(sums, _mm256_set1_pd(kNaN), _mm256_load_pd(from.missing + k)));
}

template <class V, class Flow>
struct Columns {
    const double *h, *l, *c;
    const V *v;
    explicit Columns(const Flow &f)
        : h(reinterpret_cast<const double *>(f.high.data)), l(reinterpret_cast<const double *>(f.low.data)),
          c(reinterpret_cast<const double *>(f.close.data)), v(reinterpret_cast<const V *>(f.volume.data)) {}
};

// The AD line over bars [b, e), continuing the running sum `acc` (-0.0 at the start: -0.0 + x is
// x for every x, as CumSum::start takes the first flow).
template <class V, class Flow>
ORVANE_AVX2 void ad(const Flow &flow, size_t b, size_t e, double &acc, double *out) {
    const Columns<V, Flow> col(flow);
    Flows buf[2];
    auto make_rest = [&](size_t first, size_t from, size_t m, Flows &to) {  // flows [from, m) of a block, one by one
        for (size_t k = from; k < m; ++k) {
            const double x = flow(first + k);
            to.value[k] = x == x ? x : 0.0;
            to.missing[k] = x == x ? 0.0 : std::bit_cast<double>(~uint64_t{0});  // the mask make4 stores
        }
    };
    make_rest(b, 0, std::min(e - b, kAhead), buf[0]);
    double sum = acc;
    for (size_t first = b, i = 0; first < e; first += kAhead, i ^= 1) {
        const size_t m = std::min(kAhead, e - first), next = first + kAhead;
        const size_t m_next = next < e ? std::min(kAhead, e - next) : 0;
        Flows &now = buf[i], &ahead = buf[i ^ 1];
        size_t k = 0;
        for (; k + 4 <= m; k += 4) {
            if (k + 4 <= m_next) make4(col.h, col.l, col.c, col.v, next + k, ahead, k);
            add4(sum, now, k, out + first + k);
        }
        for (; k < m; ++k) {
            sum += now.value[k];
            out[first + k] = now.missing[k] == 0.0 ? sum : kNaN;
        }
        make_rest(next, m_next & ~size_t(3), m_next, ahead);
    }
    acc = sum;
}

// The money flows of bars [b, e) into out, four at a time.
template <class V, class Flow>
ORVANE_AVX2 void flows(const Flow &flow, size_t b, size_t e, double *out) {
    const Columns<V, Flow> col(flow);
    size_t i = b;
    for (; i + 4 <= e; i += 4) _mm256_storeu_pd(out + i, flow4(col.h, col.l, col.c, col.v, i));
    for (; i < e; ++i) out[i] = flow(i);
}

}  // namespace orvane::core::wide

#undef ORVANE_AVX2
#endif
