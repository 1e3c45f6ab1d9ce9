#include "core/volume_kernels.hpp"

#include "core/pandas_steps.hpp"
#include "core/parallel.hpp"
#include "core/volume_reading.hpp"
#include "core/volume_wide.hpp"
#include "core/whole_sums.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

namespace orvane::core {

const double kRangeEpsilon = DBL_EPSILON;

namespace {

using steps::CumSum;
using steps::Ema;
using steps::kNaN;
using steps::RollSum;
using namespace reading;

inline double finite_or_nan(double x) { return std::isinf(x) ? kNaN : x; }

// Blocks handed from the thread making money flows to the one summing them: a block of `out`
// stays in the second level cache between the two.
constexpr size_t kHandOver = 1 << 14;

// The money flows of [b, e) into out[b, e), four at a time where the processor allows.
template <class V, bool K>
void flows_into(const MoneyFlow<V, K> &flow, size_t b, size_t e, double *out) {
#if defined(__x86_64__)
    if (K && __builtin_cpu_supports("avx2")) return wide::flows<V>(flow, b, e, out);
#endif
    for (size_t first = b; first < e; first += kBlock) flow.block(first, std::min(kBlock, e - first), out + first);
}

#if defined(__x86_64__)
// The AD line with AVX2: on one thread the flows fill the slots the chain leaves free; with two,
// reading the columns is shared out, the second thread making flows ahead of the chain.
template <class V, bool K>
void ad_wide(const MoneyFlow<V, K> &flow, size_t n, double *out, unsigned threads) {
    double acc = -0.0;
    auto make = [&](size_t b, size_t e) { flows_into(flow, b, e, out); };
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
// chain left; each block's volumes are checked as its flows are made, while they are in cache.
// From the first block whose volumes take the sum of magnitudes to the limit nothing more is
// summed, and false is returned: the caller then takes the compensated road.
template <class V, bool K>
bool cmf_whole(const MoneyFlow<V, K> &flow_of, const Column &volume_col, size_t n, int64_t length, double *out,
               unsigned threads) {
    const size_t window = (size_t) std::min<int64_t>(length, (int64_t) n);
    std::vector<double> ring(window);
    std::vector<uint64_t> magnitude((n + kHandOver - 1) / kHandOver);
    uint64_t magnitudes = 0;  // of the blocks summed so far, saturating
    size_t at = 0;
    RollSum flows;
    double volumes = 0.0;
    auto make = [&](size_t b, size_t e) {
        magnitude[b / kHandOver] = whole_magnitude(volume_col, b, e);
        flows_into(flow_of, b, e, out);
        for (size_t i = b; i < e; ++i) out[i] = finite_or_nan(out[i]);
    };
    auto sum = [&](size_t b, size_t e) {
        magnitudes = add_magnitudes(magnitudes, magnitude[b / kHandOver]);
        if (magnitudes >= kWholeLimit) return;
        RollSum f = flows;  // locals, which stores through `out` cannot alias
        double vs = volumes;
        size_t k = at;
        double *const last = ring.data();
        const auto volume = flow_of.volume;
        const size_t w = window;
        const int64_t len = length;
        for (size_t i = b; i < e; ++i) {
            const double flow = out[i];
            if (i == 0 || len == 1) f.reset(flow);
            else if (i >= w) f.remove(last[k]);
            f.add(flow);
            last[k] = flow;
            if (++k == w) k = 0;
            vs += volume[i];
            if (i >= w) vs -= volume[i - w];
            out[i] = f.value(len) / (i + 1 >= (size_t) len ? vs : kNaN);
        }
        flows = f;
        volumes = vs;
        at = k;
    };
    auto make_and_sum = [&](size_t b, size_t e) {
        if (magnitudes >= kWholeLimit) return;  // the compensated road follows: no flows needed
        make(b, e);
        sum(b, e);
    };
    pipelined(n, threads, kHandOver, kTwoThreadsMin, make, sum, make_and_sum);
    return magnitudes < kWholeLimit;
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
    ORVANE_BY_VOLUME(volume, (with_flow<V>(high, low, close, volume, [&](const auto &flow) {
                         if (!cmf_whole(flow, volume, n, length, out, threads)) cmf_t(flow, n, length, out);
                     })));
}

void ema(const Column &x, size_t n, int64_t length, double *out) {
    ORVANE_BY_VOLUME(x, (ema_t<V>(x, n, length, out)));
}

}  // namespace orvane::core
