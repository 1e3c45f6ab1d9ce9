// Unit tests of the event-window steps on their own: distinct releases, window minutes and their
// overflow, matching bars to minutes, the stable order, and the calendar join.
#include "core/event_windows.hpp"

#include "check.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <tuple>
#include <vector>

namespace core = orvane::core;
using V = std::vector<int64_t>;

using core_test::check;

namespace {

constexpr int64_t M = core::kNanosPerMinute;

void releases() {
    const V code = {1, 0, 1, -1, 0, 1}, time = {5, 7, 5, 9, 8, 6};
    // events in code order, times in order of first appearance, repeats and negative codes skipped
    check(core::distinct_releases(code.data(), time.data(), code.size()) == V({1, 4, 0, 5}), "distinct releases");
}

void minutes() {
    const V release = {10 * M, 20 * M};
    V out;
    check(core::window_minutes(release.data(), 2, -1, 1, out) &&
              out == V({9 * M, 10 * M, 11 * M, 19 * M, 20 * M, 21 * M}),
          "window minutes, release-major");
    const V late = {LLONG_MAX - M / 2};
    V none = {42};
    check(!core::window_minutes(late.data(), 1, 0, 1, none) && none.empty(), "overflow leaves no minutes");
}

// A match table's window rows and bar rows, and the matched bars each once.
V windows_of(const core::WindowMatches &w) { return V(w.window_row.begin(), w.window_row.end()); }
V bars_of(const core::WindowMatches &w) {
    V out;
    for (size_t k = 0; k < w.hit.size(); ++k) out.push_back(w.bar_row(k));
    return out;
}
V hits_of(const core::WindowMatches &w) { return V(w.hit_row.get(), w.hit_row.get() + w.hits); }

void matching() {
    // minutes of one phase (a table by minute number) and of two (a hash); bars between minutes match nothing
    for (int64_t phase : {int64_t{0}, M / 4}) {
        const V minute = {1 * M, 2 * M, 3 * M + phase}, bar = {2 * M, 9 * M, 1 * M, 2 * M, M + M / 2, 3 * M + phase};
        core::WindowMatches w = core::match_window_bars(minute.data(), minute.size(), bar.data(), bar.size());
        check(windows_of(w) == V({0, 1, 1, 2}) && bars_of(w) == V({2, 0, 3, 5}) && hits_of(w) == V({0, 2, 3, 5}) &&
                  w.unmatched == 0,
              "bars per minute in bar order");
        w = core::match_window_bars(minute.data(), minute.size(), bar.data(), 4);
        check(windows_of(w) == V({0, 1, 1}) && w.unmatched == 1, "minutes without bars counted");
    }
    // bars scanned in parts on several threads: the same matches, in bar order
    V many(3 << 20);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<int64_t>(i * 7 % 100) * M;
    const V few = {5 * M, 7 * M, 5 * M, 9 * M};  // enough hits to be grouped in two parts, one minute twice
    core::WindowMatches one = core::match_window_bars(few.data(), few.size(), many.data(), many.size(), 1),
                        parts = core::match_window_bars(few.data(), few.size(), many.data(), many.size(), 3);
    const V one_bars = bars_of(one);
    check(one_bars.size() > 60000 && bars_of(parts) == one_bars && windows_of(parts) == windows_of(one) &&
              hits_of(parts) == hits_of(one) && std::is_sorted(one_bars.begin(), one_bars.begin() + 100),
          "bars scanned in parts");
    const V overlapping = {1 * M, 2 * M, 2 * M, 3 * M}, bar = {2 * M, 1 * M};  // two windows share a minute
    core::WindowMatches w = core::match_window_bars(overlapping.data(), 4, bar.data(), 2);
    check(windows_of(w) == V({0, 1, 2}) && bars_of(w) == V({1, 0, 0}) && hits_of(w) == V({0, 1}) && w.unmatched == 1,
          "a shared minute's bars twice");
}

void ordering_and_join() {
    const V group = {1, 0, 1, 0}, key = {0, 1, 0, 0}, time = {5, 3, 4, 3};
    // by group, then key, then time; the tie (rows 1 and 3 differ by key) keeps nothing to chance
    check(core::order_event_bars(group.data(), key.data(), time.data(), 4, 2) == V({3, 1, 2, 0}), "stable order");
    // ranks far beyond the rows' count; two releases' rows of one key interleaved by time, ties in row order
    const V far = {1LL << 40, 1LL << 41, 1LL << 40, 0}, one = {0, 0, 0, 0, 0, 0}, keys = {1, 0, 1, 0, 1, 1},
            times = {7, 2, 8, 1, 7, 8};
    check(core::order_event_bars(group.data(), far.data(), time.data(), 4, 2) == V({3, 1, 2, 0}), "order by large ranks");
    check(core::order_event_bars(one.data(), keys.data(), times.data(), 6, 1) == V({3, 1, 0, 4, 2, 5}),
          "a key's rows in time order, ties in row order");
    // enough rows to be placed in two parts: the same stable order as a stable sort's
    const size_t n = 200000;
    V g(n), k(n), t(n), want(n);
    for (size_t i = 0; i < n; ++i) {
        g[i] = static_cast<int64_t>(i * 7919 % 97), k[i] = static_cast<int64_t>(i * 104729 % 31);
        t[i] = static_cast<int64_t>(i * 15485863 % 11), want[i] = static_cast<int64_t>(i);
    }
    std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t b) {
        return std::tie(g[a], k[a], t[a]) < std::tie(g[b], k[b], t[b]);
    });
    check(core::order_event_bars(g.data(), k.data(), t.data(), n, 97, 2) == want, "rows placed in two parts");
    // releases (event 0 at 5), (event 1 at 6), (event 2 at 1): two calendar rows, one, none
    const V rel_event = {0, 1, 2}, rel_time = {5, 6, 1}, cal_event = {1, 0, 0, -1}, cal_time = {6, 5, 5, 1};
    core::ReleaseCalendar cal = core::release_calendar(rel_event.data(), rel_time.data(), 3, cal_event.data(), cal_time.data(), 4);
    check(cal.start == V({0, 2, 3, 3}) && cal.row == V({1, 2, 0}) && !cal.one_each, "each release's calendar rows");
    const V row_release = {0, 1};
    core::CalendarRows j = core::join_calendar(row_release.data(), 2, cal);
    check(j.row == V({0, 0, 1}) && j.calendar == V({1, 2, 0}), "every calendar row of a release, in calendar order");
    const V lone = {2};
    j = core::join_calendar(lone.data(), 1, cal);
    check(j.row == V({0}) && j.calendar == V({-1}), "a release without calendar rows joins once with -1");
    cal = core::release_calendar(rel_event.data() + 1, rel_time.data() + 1, 1, cal_event.data(), cal_time.data(), 4);
    check(cal.one_each && cal.row == V({0}), "one calendar row for every release");
}

}  // namespace

int main() {
    releases();
    minutes();
    matching();
    ordering_and_join();
    return core_test::finish("event windows");
}
