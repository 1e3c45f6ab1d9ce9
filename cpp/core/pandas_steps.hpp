// pandas' running computations as small state machines, one value at a time, each reproducing
// pandas' operations in pandas' order so that the bits agree: the cumulative sum that skips
// missing values, the seeded ewm(adjust=False) average, and the fixed-window rolling sum.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace orvane::core::steps {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// pandas' cumulative sum with missing values skipped: a missing value is added as 0.0 and
// reported as NaN, and the first value starts the sum (as numpy's accumulate does).
struct CumSum {
    double acc = 0.0;
    double start(double x) {
        const bool value = x == x;
        acc = value ? x : 0.0;
        return value ? acc : kNaN;
    }
    // Every value after the first: one add on the sum's chain.
    double push(double x) {
        const bool value = x == x;
        acc += value ? x : 0.0;
        return value ? acc : kNaN;
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

    bool unit_denominator;  // keep + alpha == 1 exactly, so the steady state needs no division

    explicit Ema(int64_t len) : length(len) {
        const double com = static_cast<double>(len - 1) / 2.0;
        alpha = 1.0 / (1.0 + com);
        keep = 1.0 - alpha;
        unit_denominator = keep + alpha == 1.0;
    }

    // Any position: the seed phase for the first `length` values, the general step after.
    double push(double x) { return seen < length ? seed(x) : step(x); }

    // True when the next finite value may take fast(): the average is a number, the last value
    // was an observation (old_wt 1) and keep + alpha is exactly 1.
    bool steady() const { return unit_denominator && seen >= length && old_wt == 1.0 && weighted == weighted; }

    // The general step for a finite value in the steady state: old_wt * keep is keep and the
    // denominator is exactly 1, so it reduces to one multiply-add with no division.
    double fast(double x) {
        // A branch, not a select: equal values are rare, and a select would sit on the
        // average's dependency chain.
        if (__builtin_expect(weighted != x, 1)) weighted = keep * weighted + alpha * x;
        return weighted;
    }

    double seed(double x) {
        if (std::isinf(x)) x = kNaN;
        const int64_t i = seen++;
        if (!std::isnan(x)) {
            seed_sum += x;
            ++seed_count;
        }
        if (i < length - 1) return kNaN;
        weighted = seed_count ? seed_sum / static_cast<double>(seed_count) : kNaN;
        if (std::isinf(weighted)) weighted = kNaN;
        return weighted;
    }

    double step(double x) {
        if (std::isinf(x)) x = kNaN;
        if (!std::isnan(weighted)) {
            old_wt *= keep;
            if (!std::isnan(x)) {
                if (weighted != x) {
                    const double num = old_wt * weighted + alpha * x;
                    const double den = old_wt + alpha;
                    weighted = num / den;
                }
                old_wt = 1.0;
            }
        } else if (!std::isnan(x)) {
            weighted = x;
        }
        return weighted;
    }
};

// pandas' fixed-window rolling sum state (Kahan adds and removes, equal-value runs). Its steps are
// always inlined: a call would take the state out of registers on the loop's chain.
struct RollSum {
    double sum = 0.0, comp_add = 0.0, comp_remove = 0.0, prev = 0.0;
    int64_t nobs = 0, same = 0;

    void reset(double first) {
        prev = first;
        same = 0;
        sum = comp_add = comp_remove = 0.0;
        nobs = 0;
    }
    [[gnu::always_inline]] void add(double v) {
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
    [[gnu::always_inline]] void remove(double v) {
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

}  // namespace orvane::core::steps
