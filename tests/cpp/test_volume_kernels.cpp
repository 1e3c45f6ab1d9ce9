// Unit tests of the volume kernels on their own (no Python): strided and integer columns, the
// missing-value rules of the running and rolling sums, the moving average's seed, and short inputs.
#include "core/volume_kernels.hpp"
#include "core/whole_sums.hpp"

#include "check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

using orvane::core::Column;

using core_test::failures;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

void expect_same(const char *what, const std::vector<double> &got, const std::vector<double> &want) {
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i)
        same = (std::isnan(got[i]) && std::isnan(want[i])) || std::fabs(got[i] - want[i]) <= 1e-12 * (1 + std::fabs(want[i]));
    if (same) return;
    ++failures;
    std::printf("FAILED %s\n  got: ", what);
    for (double v : got) std::printf("%.17g ", v);
    std::printf("\n want: ");
    for (double v : want) std::printf("%.17g ", v);
    std::printf("\n");
}

Column f64(const std::vector<double> &v, size_t step = 1) {
    return {reinterpret_cast<const char *>(v.data()), static_cast<std::ptrdiff_t>(step * sizeof(double)), Column::Kind::F64};
}
Column i64(const std::vector<int64_t> &v) {
    return {reinterpret_cast<const char *>(v.data()), sizeof(int64_t), Column::Kind::I64};
}

void obv_signs_and_strides() {
    // Every other element of `wide` is the close column: 1, 2, 2, 1 (the padding must never be read).
    const std::vector<double> wide = {1, 99, 2, 99, 2, 99, 1, 99};
    const std::vector<int64_t> volume = {10, 20, 30, 40};
    std::vector<double> out(4);
    orvane::core::obv(f64(wide, 2), i64(volume), 4, out.data());
    expect_same("obv: first move +1, flat 0, fall -1; strided close, int volume", out, {10, 30, 30, -10});
}

void ad_flat_bar_and_missing() {
    const std::vector<double> high = {2, 1, 4, 3}, low = {0, 1, 2, 1}, close = {2, 1, 3, kNaN};
    const std::vector<double> volume = {5, 7, 2, 1};
    std::vector<double> out(4);
    orvane::core::ad(f64(high), f64(low), f64(close), f64(volume), 4, out.data());
    // A flat bar (high == low) divides by the range epsilon: close location 0. A missing close
    // leaves its position missing while the running sum carries on.
    expect_same("ad: flat bar, missing close", out, {5, 5, 5, kNaN});
}

void ema_seed_and_short_input() {
    const std::vector<double> x = {1, 2, 3, 4, 5};
    std::vector<double> out(5);
    orvane::core::ema(f64(x), 5, 3, out.data());
    // Seed: the mean of the first three at position 2; then alpha = 0.5.
    expect_same("ema: seeded with the mean of the first window", out, {kNaN, kNaN, 2, 3, 4});
    std::vector<double> short_out(2);
    orvane::core::ema(f64(x), 2, 3, short_out.data());
    expect_same("ema: fewer values than the window", short_out, {kNaN, kNaN});
}

void cmf_rolling_windows() {
    const std::vector<double> high = {2, 2, 2, 2}, low = {0, 0, 0, 0}, close = {2, 0, 2, 2};
    const std::vector<double> volume = {1, 1, kInf, 3};
    std::vector<double> out(4);
    orvane::core::cmf(f64(high), f64(low), f64(close), f64(volume), 4, 2, out.data());
    // Money flow +1, -1, inf, +3: an infinite value counts as missing, so the windows that hold it
    // have too few observations.
    expect_same("cmf: two-bar windows, infinite volume", out, {kNaN, 0, kNaN, kNaN});
}

// Bit-for-bit equality, signed zeros included (NaN equals NaN).
void expect_identical(const char *what, const std::vector<double> &got, const std::vector<double> &want) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(got[i]) && std::isnan(want[i])) continue;
        if (got[i] == want[i] && std::signbit(got[i]) == std::signbit(want[i])) continue;
        ++failures;
        std::printf("FAILED %s at %zu: %.17g, want %.17g\n", what, i, got[i], want[i]);
        return;
    }
}

void ad_zero_line_after_missing_bar() {
    // An inverted bar closing mid-range has money flow -0.0; a missing value adds 0.0 to the
    // running sum (as pandas fills it before summing), which turns -0.0 into +0.0.
    const std::vector<double> high = {1, 1, 1}, low = {3, 3, 3}, close = {2, kNaN, 2}, volume = {5, 5, 5};
    std::vector<double> out(3);
    orvane::core::ad(f64(high), f64(low), f64(close), f64(volume), 3, out.data());
    expect_identical("ad: -0.0 + missing + -0.0 is +0.0", out, {-0.0, kNaN, 0.0});
}

void adosc_equals_difference_of_emas() {
    const std::vector<double> high = {3, 4, 5, 6, 7, 8}, low = {1, 1, 2, 2, 3, 3}, close = {2, 4, 3, 6, 3, 8};
    const std::vector<double> volume = {10, 20, 30, 40, 50, 60};
    std::vector<double> line(6), fast(6), slow(6), out(6);
    orvane::core::ad(f64(high), f64(low), f64(close), f64(volume), 6, line.data());
    orvane::core::ema(f64(line), 6, 2, fast.data());
    orvane::core::ema(f64(line), 6, 4, slow.data());
    orvane::core::adosc(f64(high), f64(low), f64(close), f64(volume), 6, 2, 4, out.data());
    std::vector<double> want(6);
    for (size_t i = 0; i < 6; ++i) want[i] = fast[i] - slow[i];
    expect_same("adosc: fused pass equals ema(fast) - ema(slow) of the AD line", out, want);
}

// The check read four values at a time (a contiguous column) agrees with the check read one at a
// time (the same values strided), for a value planted early, past the first run, or in the tail.
void whole_check_roads_agree() {
    const size_t n = 4099;
    struct Case {
        const char *what;
        double value;
        bool as_int;
        bool want;
    };
    const Case cases[] = {
        {"whole int64", 7, true, true},        {"int64 2^62 in one lane", 0x1p62, true, false},
        {"whole double", 7, false, true},      {"half", 0.5, false, false},
        {"-0.0", -0.0, false, false},          {"NaN", kNaN, false, false},
        {"infinity", kInf, false, false},      {"sum past 2^53", 0x1p52 - 1, false, false},
    };
    for (const Case &c : cases) {
        for (size_t at : {size_t{1}, size_t{2000}, n - 2}) {
            std::vector<int64_t> ints(n, 3), ints_strided(2 * n, 99);
            std::vector<double> doubles(n, 3.0), doubles_strided(2 * n, 0.5);
            for (size_t k = 0; k < 4; ++k) {  // four times over, so that one lane sums them all
                const size_t i = std::min(n - 1, at + 4 * k);
                ints[i] = static_cast<int64_t>(c.value == c.value && !std::isinf(c.value) ? c.value : 0);
                doubles[i] = c.value;
            }
            for (size_t i = 0; i < n; ++i) {
                ints_strided[2 * i] = ints[i];
                doubles_strided[2 * i] = doubles[i];
            }
            const Column strided_ints{reinterpret_cast<const char *>(ints_strided.data()), 16, Column::Kind::I64};
            const Column four = c.as_int ? i64(ints) : f64(doubles);
            const Column one = c.as_int ? strided_ints : f64(doubles_strided, 2);
            const bool got = orvane::core::whole_magnitude(four, 0, n) < orvane::core::kWholeLimit;
            const bool one_by_one = orvane::core::whole_magnitude(one, 0, n) < orvane::core::kWholeLimit;
            if (got == c.want && one_by_one == c.want) continue;
            ++failures;
            std::printf("FAILED whole check, %s at %zu: %d and one by one %d, want %d\n", c.what, at, got, one_by_one,
                        c.want);
        }
    }
}

}  // namespace

int main() {
    whole_check_roads_agree();
    obv_signs_and_strides();
    ad_flat_bar_and_missing();
    ema_seed_and_short_input();
    cmf_rolling_windows();
    ad_zero_line_after_missing_bar();
    adosc_equals_difference_of_emas();
    return core_test::finish("volume kernels");
}
