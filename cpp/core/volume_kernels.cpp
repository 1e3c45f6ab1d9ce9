#include "core/volume_kernels.hpp"

#include "core/pandas_steps.hpp"
#include "core/volume_reading.hpp"
#include "core/parallel.hpp"
#include "core/whole_sums.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvane::core {

const double kRangeEpsilon = DBL_EPSILON;

namespace {

using steps::CumSum;
using steps::Ema;
using steps::kNaN;
using steps::RollSum;
using namespace reading;

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

inline double finite_or_nan(double x) { return std::isinf(x) ? kNaN : x; }

// Blocks handed from the thread making money flows to the one summing them: a block of `out`
// stays in the second level cache between the two.
constexpr size_t kHandOver = 1 << 14;

// The money flows of [b, e) into out[b, e).
template <class V, bool K>
void flows_into(const MoneyFlow<V, K> &flow, size_t b, size_t e, double *out) {
    for (size_t first = b; first < e; first += kBlock) flow.block(first, std::min(kBlock, e - first), out + first);
}

#if defined(__x86_64__)
#define ORVANE_AVX2 __attribute__((target("avx2")))

// The AD line on one thread, for contiguous columns on a processor with AVX2 (asked at run time).
// The running sum's chain of additions sets the pace, one addition per bar; the money flows, made
// four bars at a time with the same operations as MoneyFlow, fill the slots the chain leaves
// free: each step makes four flows of the next block and adds four of this one.
namespace wide {

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

}  // namespace wide
#undef ORVANE_AVX2

// The AD line with AVX2: on one thread the flows fill the slots the chain leaves free; with two,
// reading the columns is shared out, the second thread making flows ahead of the chain.
template <class V, bool K>
void ad_wide(const MoneyFlow<V, K> &flow, size_t n, double *out, unsigned threads) {
    double acc = -0.0;
    auto make = [&](size_t b, size_t e) { wide::flows<V>(flow, b, e, out); };
    auto sum = [&](size_t b, size_t e) {
        CumSum c;  // a local, which stores through `out` cannot alias
        c.acc = acc;
        for (size_t i = b; i < e; ++i) out[i] = c.push(out[i]);
        acc = c.acc;
    };
    auto make_and_sum = [&](size_t b, size_t e) { wide::ad<V>(flow, b, e, acc, out); };
    pipelined(n, threads, kHandOver, kTwoThreadsMin, make, sum, make_and_sum);
}
#endif

// The money flows made on a second thread ahead of the running sum's chain of additions; a block
// the chain reaches before the second thread has begun it, the chain makes itself, each flow as
// the chain takes it, so that the two overlap.
template <class V, bool K>
void ad_t(const MoneyFlow<V, K> &flow, size_t n, double *out, unsigned threads) {
#if defined(__x86_64__)
    if (K && __builtin_cpu_supports("avx2")) return ad_wide<V>(flow, n, out, threads);
#endif
    CumSum cum;
    if (threads < 2 || n < kTwoThreadsMin) {
        if (n == 0) return;
        out[0] = cum.start(flow(0));
        for (size_t i = 1; i < n; ++i) out[i] = cum.push(flow(i));
        return;
    }
    auto make = [&](size_t b, size_t e) { flows_into(flow, b, e, out); };
    auto sum = [&](size_t b, size_t e) {
        CumSum c = cum;  // a local, which stores through `out` cannot alias
        size_t i = b;
        if (i == 0) out[i++] = c.start(out[0]);
        for (; i < e; ++i) out[i] = c.push(out[i]);
        cum = c;
    };
    auto make_and_sum = [&](size_t b, size_t e) {
        CumSum c = cum;
        size_t i = b;
        if (i == 0) out[i++] = c.start(flow(0));
        for (; i < e; ++i) out[i] = c.push(flow(i));
        cum = c;
    };
    pipelined(n, threads, kHandOver, kTwoThreadsMin, make, sum, make_and_sum);
}

// ema(line, fast) - ema(line, slow) for the next value of the line; `steady` is kept for the
// next call: both averages can take their short step.
inline double ema_difference(Ema &f, Ema &s, bool &steady, double line) {
    if (__builtin_expect(steady && std::isfinite(line), 1)) {
        const double fv = f.fast(line);
        return fv - s.fast(line);
    }
    const double fv = f.push(line);
    const double out = fv - s.push(line);
    steady = f.steady() && s.steady();
    return out;
}

// The AD line and both averages in one pass over blocks: a block's money flows are made first
// (vectorised), and while the averages' chains run over it, the next block's bars are fetched.
template <class V, bool K>
void adosc_one_thread(const MoneyFlow<V, K> &flow, size_t n, int64_t fast, int64_t slow, double *out) {
    CumSum cum;
    Ema ema_fast(fast), ema_slow(slow);
    bool steady = false;
    double buf[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t m = std::min(kBlock, n - first);
        flow.block(first, m, buf);
        CumSum c = cum;  // locals, which stores through `out` cannot alias
        Ema f = ema_fast, s = ema_slow;
        for (size_t k = 0; k < m; ++k) {
            if (k % 8 == 0 && first + kBlock + k < n) flow.prefetch(first + kBlock + k);
            const double line = first + k == 0 ? c.start(buf[k]) : c.push(buf[k]);
            out[first + k] = ema_difference(f, s, steady, line);
        }
        cum = c;
        ema_fast = f;
        ema_slow = s;
    }
}

// With two threads the money flows are made on the second, ahead of the chains of the AD line and
// the averages on the first, which makes a block itself when it gets there first.
template <class V, bool K>
void adosc_t(const MoneyFlow<V, K> &flow, size_t n, int64_t fast, int64_t slow, double *out, unsigned threads) {
    if (threads < 2 || n < kTwoThreadsMin) return adosc_one_thread(flow, n, fast, slow, out);
    CumSum cum;
    Ema ema_fast(fast), ema_slow(slow);
    bool steady = false;
    auto make = [&](size_t b, size_t e) { flows_into(flow, b, e, out); };
    auto sum = [&](size_t b, size_t e) {
        CumSum c = cum;  // locals, which stores through `out` cannot alias
        Ema f = ema_fast, s = ema_slow;
        for (size_t i = b; i < e; ++i) out[i] = ema_difference(f, s, steady, i == 0 ? c.start(out[0]) : c.push(out[i]));
        cum = c;
        ema_fast = f;
        ema_slow = s;
    };
    pipelined(n, threads, kHandOver, kTwoThreadsMin, make, sum);
}

// Rolling sums as pandas runs them over fixed windows [max(0, i + 1 - length), i]: a fresh start
// for the first window and whenever a window shares nothing with the previous one (length 1),
// otherwise remove what left and add what came. Each value is kept in a ring of the last `length`
// until it leaves the window.
template <class V, bool K>
void cmf_t(const MoneyFlow<V, K> &flow_of, size_t n, int64_t length, double *out) {
    if (n == 0) return;
    const size_t window = (size_t) std::min<int64_t>(length, (int64_t) n);
    std::vector<double> flow_ring(window), volume_ring(window);
    size_t at = 0;
    RollSum flow_sum, volume_sum;
    double flows[kBlock], volumes[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t m = std::min(kBlock, n - first);
        flow_of.block(first, m, flows);
        for (size_t k = 0; k < m; ++k) {
            flows[k] = finite_or_nan(flows[k]);
            volumes[k] = finite_or_nan(flow_of.volume[first + k]);
        }
        RollSum f = flow_sum, v = volume_sum;
        auto step = [&](size_t k, auto fresh, auto removing) {
            if (k % 8 == 0 && first + kBlock + k < n) flow_of.prefetch(first + kBlock + k);
            if constexpr (fresh) {
                f.reset(flows[k]);
                v.reset(volumes[k]);
            }
            if constexpr (removing) {
                f.remove(flow_ring[at]);
                v.remove(volume_ring[at]);
            }
            f.add(flows[k]);
            v.add(volumes[k]);
            flow_ring[at] = flows[k];
            volume_ring[at] = volumes[k];
            if (++at == window) at = 0;
            out[first + k] = f.value(length) / v.value(length);
        };
        if (length == 1) {
            for (size_t k = 0; k < m; ++k) step(k, std::true_type{}, std::false_type{});
        } else {
            size_t k = 0;
            if (first == 0) step(k++, std::true_type{}, std::false_type{});
            const size_t filling = first < window ? std::min(m, window - first) : 0;
            for (; k < filling; ++k) step(k, std::false_type{}, std::false_type{});
            for (; k < m; ++k) step(k, std::false_type{}, std::true_type{});
        }
        flow_sum = f;
        volume_sum = v;
    }
}

// CMF over whole, bounded volumes with none missing: every window's volume is then an exact sum,
// kept as one running sum (add the bar that came, take away the one that left), which gives the
// bits of pandas' compensated adds and removes (whole_sums.hpp). The money flows are made block by
// block, on a second thread when there is one, ahead of the flows' rolling sum, the one long
// chain left.
template <class V, bool K>
void cmf_whole(const MoneyFlow<V, K> &flow_of, size_t n, int64_t length, double *out, unsigned threads) {
    const size_t window = (size_t) std::min<int64_t>(length, (int64_t) n);
    std::vector<double> ring(window);
    size_t at = 0;
    RollSum flows;
    double volumes = 0.0;
    auto make = [&](size_t b, size_t e) {
        flows_into(flow_of, b, e, out);
        for (size_t i = b; i < e; ++i) out[i] = finite_or_nan(out[i]);
    };
    auto sum = [&](size_t b, size_t e) {
        RollSum f = flows;  // locals, which stores through `out` cannot alias
        double vs = volumes;
        for (size_t i = b; i < e; ++i) {
            const double flow = out[i];
            if (i == 0 || length == 1) f.reset(flow);
            else if (i >= window) f.remove(ring[at]);
            f.add(flow);
            ring[at] = flow;
            if (++at == window) at = 0;
            vs += flow_of.volume[i];
            if (i >= window) vs -= flow_of.volume[i - window];
            out[i] = f.value(length) / (i + 1 >= (size_t) length ? vs : kNaN);
        }
        flows = f;
        volumes = vs;
    };
    pipelined(n, threads, kHandOver, kTwoThreadsMin, make, sum);
}

template <class V>
void ema_t(const Column &x_col, size_t n, int64_t length, double *out) {
    Reader<V> x(x_col);
    Ema e(length);
    const size_t warm = (size_t) std::min<int64_t>(length, (int64_t) n);
    size_t i = 0;
    for (; i < warm; ++i) out[i] = e.push(x[i]);
    bool steady = e.steady();
    for (; i < n; ++i) {
        const double v = x[i];
        if (__builtin_expect(steady && std::isfinite(v), 1)) {
            out[i] = e.fast(v);
        } else {
            out[i] = e.step(v);
            steady = e.steady();
        }
    }
}

// Run `run(flow)` with the money flow read the fastest way the columns allow.
template <class V, class Run>
void with_flow(const Column &high, const Column &low, const Column &close, const Column &volume, Run &&run) {
    if (contiguous<double>(high) && contiguous<double>(low) && contiguous<double>(close) && contiguous<V>(volume))
        run(MoneyFlow<V, true>(high, low, close, volume));
    else
        run(MoneyFlow<V, false>(high, low, close, volume));
}

}  // namespace

void ad(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
        double *out, unsigned threads) {
    ORVANE_BY_VOLUME(volume,
                     (with_flow<V>(high, low, close, volume, [&](const auto &flow) { ad_t(flow, n, out, threads); })));
}

void adosc(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
           int64_t fast, int64_t slow, double *out, unsigned threads) {
    ORVANE_BY_VOLUME(volume, (with_flow<V>(high, low, close, volume,
                                           [&](const auto &flow) { adosc_t(flow, n, fast, slow, out, threads); })));
}

void cmf(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
         int64_t length, double *out, unsigned threads) {
    const bool whole = whole_and_bounded(volume, n);
    ORVANE_BY_VOLUME(volume, (with_flow<V>(high, low, close, volume, [&](const auto &flow) {
                         if (whole) cmf_whole(flow, n, length, out, threads);
                         else cmf_t(flow, n, length, out);
                     })));
}

void ema(const Column &x, size_t n, int64_t length, double *out) {
    ORVANE_BY_VOLUME(x, (ema_t<V>(x, n, length, out)));
}

}  // namespace orvane::core
