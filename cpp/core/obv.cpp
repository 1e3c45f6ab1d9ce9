// On-balance volume: the running sum of sign(close move) * volume, the first move counted as +1.
//
// While every volume is a whole number no larger than `limit` (2^53 / n at most), every sum of the
// terms, taken in any order, is a whole number a double holds exactly, and so equal to pandas' sum
// taken term by term (a sum is -0.0 exactly when all its terms are, in any order, too). The running
// sum may then take several terms off its chain at once, and the bars may be split between two
// threads. A block holding a volume beyond the limit ends that: from there on the sum goes term
// by term, as pandas adds it.
#include "core/pandas_steps.hpp"
#include "core/volume_kernels.hpp"
#include "core/volume_reading.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvane::core {

namespace {

using namespace reading;
using steps::CumSum;
using steps::kNaN;

inline bool within(double v, double limit) {
    const double a = std::fabs(v);
    return (a <= limit) & ((a + 0x1p52) - 0x1p52 == a);  // NaN and infinities fail the first
}

// The terms of bars [first, first + m) into t, first >= 1; whether every volume among them is
// within the limit.
template <class V, bool K>
bool terms(const Reader<double, K> &close, const Reader<V, K> &volume, size_t first, size_t m, double limit,
           double *t) {
    bool ok = true;
    for (size_t k = 0; k < m; ++k) {
        const size_t i = first + k;
        const double v = volume[i];
        ok &= within(v, limit);
        t[k] = sign(close[i] - close[i - 1]) * v;
    }
    return ok;
}

// The running sum over a block of terms, term by term.
inline void sum_terms(CumSum &cum, const double *t, size_t m, double *out) {
    for (size_t k = 0; k < m; ++k) out[k] = cum.push(t[k]);
}

#if defined(__x86_64__)
// The same steps four bars at a time, for processors with AVX2 (asked at run time).
namespace wide {

#define ORVANE_AVX2 __attribute__((target("avx2")))

// terms() for contiguous columns. numpy's sign comes from masks: +-1 by the move's sign bit, +0
// for either zero, the move itself when NaN. An int64 volume becomes a double by the 2^52 + 2^51
// trick, exact for |v| < 2^51; the top bits of every v + 2^52 + 2^51 are gathered to tell
// whether all were in that range.
template <class V>
ORVANE_AVX2 bool terms(const double *c, const V *vol, size_t m, double limit, double *t) {
    const __m256d sign_bit = _mm256_set1_pd(-0.0), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    const __m256d lim = _mm256_set1_pd(limit), big = _mm256_set1_pd(0x1p52);
    const __m256i magic = _mm256_set1_epi64x(0x4338000000000000);
    __m256d fine = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    __m256i all = magic, any = magic;
    size_t k = 0;
    for (; k + 4 <= m; k += 4) {
        const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(c + k), _mm256_loadu_pd(c + k - 1));
        __m256d s = _mm256_or_pd(_mm256_and_pd(d, sign_bit), one);
        s = _mm256_andnot_pd(_mm256_cmp_pd(d, zero, _CMP_EQ_OQ), s);
        s = _mm256_blendv_pd(s, d, _mm256_cmp_pd(d, d, _CMP_UNORD_Q));
        __m256d v;
        if constexpr (std::is_same_v<V, int64_t>) {
            const __m256i u = _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(vol + k)), magic);
            all = _mm256_and_si256(all, u);
            any = _mm256_or_si256(any, u);
            v = _mm256_sub_pd(_mm256_castsi256_pd(u), _mm256_castsi256_pd(magic));
        } else {
            v = _mm256_loadu_pd(vol + k);
            const __m256d a = _mm256_andnot_pd(sign_bit, v);
            fine = _mm256_and_pd(fine, _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(a, big), big), a, _CMP_EQ_OQ));
        }
        fine = _mm256_and_pd(fine, _mm256_cmp_pd(_mm256_andnot_pd(sign_bit, v), lim, _CMP_LE_OQ));
        _mm256_storeu_pd(t + k, _mm256_mul_pd(s, v));
    }
    bool ok = _mm256_movemask_pd(fine) == 0xF;
    if constexpr (std::is_same_v<V, int64_t>) {
        alignas(32) uint64_t lo[4], hi[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lo), all);
        _mm256_store_si256(reinterpret_cast<__m256i *>(hi), any);
        for (int j = 0; j < 4; ++j) ok &= (lo[j] >> 52) == 0x433 && (hi[j] >> 52) == 0x433;
    }
    for (; k < m; ++k) {
        const double v = static_cast<double>(vol[k]);
        ok &= within(v, limit);
        t[k] = sign(c[k] - c[k - 1]) * v;
    }
    return ok;
}

// [x0, x1, x2, x3] -> its running sums, missing values as +0.0 (-0.0 + x is x).
ORVANE_AVX2 inline __m256d running(__m256d x, __m256d missing) {
    const __m256d minus_zero = _mm256_set1_pd(-0.0);
    x = _mm256_andnot_pd(missing, x);
    x = _mm256_add_pd(x, _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x90), minus_zero, 0x1));  // + [-0, x0, x1, x2]
    return _mm256_add_pd(x, _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x40), minus_zero, 0x3));  // + [-0, -0, .0, .1]
}

// The running sum over a block of exact terms, the chain taking one addition per eight bars:
// each bar's sum is the chain's value plus its part of the eight.
ORVANE_AVX2 void sum_exact(CumSum &cum, const double *t, size_t m, double *out) {
    const __m256d nan = _mm256_set1_pd(kNaN);
    __m256d acc = _mm256_set1_pd(cum.acc);
    size_t k = 0;
    for (; k + 8 <= m; k += 8) {
        const __m256d x = _mm256_loadu_pd(t + k), y = _mm256_loadu_pd(t + k + 4);
        const __m256d x_missing = _mm256_cmp_pd(x, x, _CMP_UNORD_Q), y_missing = _mm256_cmp_pd(y, y, _CMP_UNORD_Q);
        const __m256d lo = running(x, x_missing);
        const __m256d hi = _mm256_add_pd(running(y, y_missing), _mm256_permute4x64_pd(lo, 0xFF));
        _mm256_storeu_pd(out + k, _mm256_blendv_pd(_mm256_add_pd(acc, lo), nan, x_missing));
        _mm256_storeu_pd(out + k + 4, _mm256_blendv_pd(_mm256_add_pd(acc, hi), nan, y_missing));
        acc = _mm256_add_pd(acc, _mm256_permute4x64_pd(hi, 0xFF));
    }
    cum.acc = _mm256_cvtsd_f64(acc);
    sum_terms(cum, t + k, m - k, out + k);
}

ORVANE_AVX2 void lift(double *out, size_t m, double by) {
    for (size_t i = 0; i < m; ++i) out[i] += by;
}

#undef ORVANE_AVX2

}  // namespace wide
#endif

// The columns, the limit, and whether the four-at-a-time steps may be taken.
template <class V, bool K>
struct Obv {
    Reader<double, K> close;
    Reader<V, K> volume;
    double limit;
    bool wide = false;

    Obv(const Column &c, const Column &v, size_t n)
        : close(c), volume(v), limit(std::min(0x1p53 / static_cast<double>(n), 0x1p51)) {
#if defined(__x86_64__)
        wide = K && __builtin_cpu_supports("avx2");
#endif
    }

    bool block_terms(size_t first, size_t m, double *t) const {
#if defined(__x86_64__)
        // An int64 volume out of the trick's range is no term: the block is made again below.
        if (K && wide && wide::terms(reinterpret_cast<const double *>(close.data) + first,
                                     reinterpret_cast<const V *>(volume.data) + first, m, limit, t))
            return true;
#endif
        return terms(close, volume, first, m, limit, t);
    }
    void sum_exact(CumSum &cum, const double *t, size_t m, double *out) const {
#if defined(__x86_64__)
        if (wide) return wide::sum_exact(cum, t, m, out);
#endif
        sum_terms(cum, t, m, out);
    }
    void lift(double *out, size_t m, double by) const {
#if defined(__x86_64__)
        if (wide) return wide::lift(out, m, by);
#endif
        for (size_t i = 0; i < m; ++i) out[i] += by;
    }

    // Bars [b, e), b >= 1, continuing `cum`. `exact` says that every volume so far was within the
    // limit, and is kept up to date; once it fails the sum goes term by term. With `give_up`, the
    // walk stops there instead.
    void range(size_t b, size_t e, CumSum &cum, bool &exact, double *out, bool give_up = false) const {
        double t[kBlock];
        for (size_t first = b; first < e; first += kBlock) {
            const size_t m = std::min(kBlock, e - first);
            exact = block_terms(first, m, t) && exact;
            if (exact) sum_exact(cum, t, m, out + first);
            else if (give_up) return;
            else sum_terms(cum, t, m, out + first);
        }
    }

    // With two threads, the second sums the later half of the bars from zero while the first sums
    // the earlier half. When every volume was within the limit, the later half is then lifted by
    // the earlier half's total, each thread lifting half of it (lifting is as much reading and
    // writing memory as summing); otherwise the first sums the later half again after its own.
    void run(size_t n, double *out, unsigned threads) const {
        CumSum cum;
        out[0] = cum.start(1.0 * volume[0]);
        bool exact = within(volume[0], limit);
        if (threads < 2 || n < kTwoThreadsMin) return range(1, n, cum, exact, out);
        const size_t mid = n / 2, split = mid + (n - mid) / 2;
        CumSum later;
        later.acc = -0.0;  // -0.0 + x is x for every x: the sum starts as start() would
        bool later_exact = true, lifting = false;
        std::atomic<bool> later_summed{false}, decided{false};
        std::thread second;
        try {
            second = std::thread([&] {
                range(mid, n, later, later_exact, out, true);
                later_summed.store(true, std::memory_order_release);
                wait_for(decided);
                if (lifting) lift(out + split, n - split, cum.acc);  // NaN stays NaN
            });
        } catch (const std::system_error &) {
            later_exact = false;  // no thread to be had: the later half is summed below
            later_summed.store(true, std::memory_order_relaxed);
        }
        range(1, mid, cum, exact, out);
        wait_for(later_summed);
        lifting = exact && later_exact;
        decided.store(true, std::memory_order_release);
        if (lifting) lift(out + mid, split - mid, cum.acc);
        if (second.joinable()) second.join();
        if (!lifting) range(mid, n, cum, exact, out);
    }

    // Waits, briefly spinning, for the other thread to set `flag`.
    static void wait_for(const std::atomic<bool> &flag) {
        for (unsigned spins = 0; !flag.load(std::memory_order_acquire); ++spins)
            if (spins >= 64) std::this_thread::yield();
    }
};

template <class V>
void obv_t(const Column &close, const Column &volume, size_t n, double *out, unsigned threads) {
    if (contiguous<double>(close) && contiguous<V>(volume)) Obv<V, true>(close, volume, n).run(n, out, threads);
    else Obv<V, false>(close, volume, n).run(n, out, threads);
}

}  // namespace

void obv(const Column &close, const Column &volume, size_t n, double *out, unsigned threads) {
    if (n == 0) return;
    ORVANE_BY_VOLUME(volume, (obv_t<V>(close, volume, n, out, threads)));
}

}  // namespace orvane::core
