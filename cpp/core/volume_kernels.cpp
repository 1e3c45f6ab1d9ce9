#include "core/volume_kernels.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace orvane::core {

const double kRangeEpsilon = DBL_EPSILON;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// numpy's sign: +1, -1, 0 for either zero, NaN stays NaN.
inline double sign(double x) {
    if (x > 0) return 1.0;
    if (x < 0) return -1.0;
    if (x == 0) return 0.0;
    return x;
}

// Money-flow volume of bar i: close location in the bar's range times volume.
inline double money_flow(const Column &high, const Column &low, const Column &close, const Column &volume,
                         size_t i) {
    const double h = high.at(i), l = low.at(i), c = close.at(i);
    double range = h - l;
    if (range == 0) range = kRangeEpsilon;
    const double clv = ((c - l) - (h - c)) / range;
    return clv * volume.at(i);
}

// Cumulative sum that skips NaN: the running sum carries on, the position reports NaN.
struct CumSum {
    double acc = 0.0;
    bool first = true;
    double push(double x) {
        const bool missing = std::isnan(x);
        const double v = missing ? 0.0 : x;
        acc = first ? v : acc + v;
        first = false;
        return missing ? kNaN : acc;
    }
};

// Exponential moving average: mean seed over the first `length` values, then the adjust=False
// recursion in its normalised form, weights decaying across missing values.
struct Ema {
    int64_t length;
    double alpha, keep;
    int64_t seen = 0;
    double seed_sum = 0.0;
    int64_t seed_count = 0;
    double weighted = kNaN;
    double old_wt = 1.0;

    explicit Ema(int64_t len) : length(len) {
        const double com = static_cast<double>(len - 1) / 2.0;
        alpha = 1.0 / (1.0 + com);
        keep = 1.0 - alpha;
    }

    double push(double x) {
        if (std::isinf(x)) x = kNaN;
        const int64_t i = seen++;
        if (i < length) {
            if (!std::isnan(x)) {
                seed_sum += x;
                ++seed_count;
            }
            if (i < length - 1) return kNaN;
            weighted = seed_count ? seed_sum / static_cast<double>(seed_count) : kNaN;
            if (std::isinf(weighted)) weighted = kNaN;
            return weighted;
        }
        if (!std::isnan(weighted)) {
            old_wt *= keep;
            if (!std::isnan(x)) {
                if (weighted != x) {
                    weighted = old_wt * weighted + alpha * x;
                    weighted /= (old_wt + alpha);
                }
                old_wt = 1.0;
            }
        } else if (!std::isnan(x)) {
            weighted = x;
        }
        return weighted;
    }
};

// pandas' fixed-window rolling sum state (Kahan adds and removes, equal-value runs).
struct RollSum {
    double sum = 0.0, comp_add = 0.0, comp_remove = 0.0, prev = 0.0;
    int64_t nobs = 0, same = 0;

    void reset(double first) {
        prev = first;
        same = 0;
        sum = comp_add = comp_remove = 0.0;
        nobs = 0;
    }
    void add(double v) {
        if (v != v) return;
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        if (v == prev) ++same;
        else same = 1;
        prev = v;
    }
    void remove(double v) {
        if (v != v) return;
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
    }
    double value(int64_t minp) const {
        if (nobs == 0 && minp == 0) return 0.0;
        if (nobs >= minp) return same >= nobs ? prev * static_cast<double>(nobs) : sum;
        return kNaN;
    }
};

inline double finite_or_nan(double x) { return std::isinf(x) ? kNaN : x; }

}  // namespace

void obv(const Column &close, const Column &volume, size_t n, double *out) {
    CumSum cum;
    double prev_close = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double c = close.at(i);
        const double s = i == 0 ? 1.0 : sign(c - prev_close);
        prev_close = c;
        out[i] = cum.push(s * volume.at(i));
    }
}

void ad(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
        double *out) {
    CumSum cum;
    for (size_t i = 0; i < n; ++i) out[i] = cum.push(money_flow(high, low, close, volume, i));
}

void adosc(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
           int64_t fast, int64_t slow, double *out) {
    CumSum cum;
    Ema ema_fast(fast), ema_slow(slow);
    for (size_t i = 0; i < n; ++i) {
        const double line = cum.push(money_flow(high, low, close, volume, i));
        const double f = ema_fast.push(line);
        const double s = ema_slow.push(line);
        out[i] = f - s;
    }
}

void cmf(const Column &high, const Column &low, const Column &close, const Column &volume, size_t n,
         int64_t length, double *out) {
    RollSum flow, vol;
    auto flow_at = [&](int64_t j) { return finite_or_nan(money_flow(high, low, close, volume, (size_t) j)); };
    auto vol_at = [&](int64_t j) { return finite_or_nan(volume.at((size_t) j)); };
    for (int64_t i = 0; i < (int64_t) n; ++i) {
        // Window [start, i]; `length` >= 1, so start never passes i.
        const int64_t start = std::max<int64_t>(0, i + 1 - length);
        if (i == 0 || start >= i) {
            flow.reset(flow_at(start));
            vol.reset(vol_at(start));
            for (int64_t j = start; j <= i; ++j) {
                flow.add(flow_at(j));
                vol.add(vol_at(j));
            }
        } else {
            for (int64_t j = std::max<int64_t>(0, i - length); j < start; ++j) {
                flow.remove(flow_at(j));
                vol.remove(vol_at(j));
            }
            flow.add(flow_at(i));
            vol.add(vol_at(i));
        }
        out[i] = flow.value(length) / vol.value(length);
    }
}

void ema(const Column &x, size_t n, int64_t length, double *out) {
    Ema e(length);
    for (size_t i = 0; i < n; ++i) out[i] = e.push(x.at(i));
}

}  // namespace orvane::core
