// Event windows over int64 nanosecond time stamps: the distinct releases of a calendar, the window
// minutes around them, the bars that fall on those minutes, their order, and the calendar rows of
// each release. Plain C++; the binding file turns pandas columns into these buffers and back.
#pragma once

#include "core/huge_pages.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvane::core {

constexpr int64_t kNanosPerMinute = 60'000'000'000LL;

// Distinct (event, time) pairs: events in code order (codes come from a first-appearance
// factorisation), within an event its distinct times in order of first appearance. Rows with a
// negative event code are skipped. Returns the calendar row of each pair's first appearance.
std::vector<int64_t> distinct_releases(const int64_t *event_code, const int64_t *time, size_t n);

// Window minutes, release-major, offsets ascending: minute[r * width + (m - pre)] = time[r] + m minutes.
// False when a minute does not fit in int64 (`minutes` is left empty then); std::bad_alloc when
// the table could never fit in memory.
bool window_minutes(const int64_t *release_time, size_t releases, int64_t pre, int64_t post,
                    std::vector<int64_t> &minutes);

struct WindowMatches {
    scratch_vector<int64_t> window_row;  // row of the window-minute table
    // Which of the matched bars below has exactly that time stamp: the bars that match some
    // minute, each once, in bar order, `hits` of them. Work that depends on the bar alone (reading
    // its key) is then done once per bar, reading the bars in order.
    scratch_vector<int64_t> hit;
    std::unique_ptr<int64_t[]> hit_row;
    size_t hits = 0;
    int64_t unmatched = 0;  // window minutes without any bar

    int64_t bar_row(size_t k) const { return hit_row[static_cast<size_t>(hit[k])]; }  // of match k
};

// For each window minute in order, every bar with exactly that time stamp, in bar order (the rows a
// left join of the minutes with the bars keeps, minus the minutes without a bar). The bars are
// scanned on up to `threads` threads.
WindowMatches match_window_bars(const int64_t *minutes, size_t m, const int64_t *bar_time, size_t n,
                                unsigned threads = 1);

// Stable order of event bar rows by (release rank, key rank, time). `group` is each row's release
// rank (releases that compare equal share one), in [0, groups). Rows are placed on up to two of
// `threads` threads.
std::vector<int64_t> order_event_bars(const int64_t *group, const int64_t *key_rank, const int64_t *time,
                                      size_t n, size_t groups, unsigned threads = 1);

// Dense ranks of releases by (event rank, time), equal pairs sharing a rank; returns the count in `groups`.
std::vector<int64_t> release_ranks(const int64_t *event_rank, const int64_t *time, size_t n, size_t &groups);

// The calendar rows of each release: those whose (event code, time) equal the release's, in
// calendar order; release r's are row[start[r]] to row[start[r + 1] - 1].
struct ReleaseCalendar {
    std::vector<int64_t> start;
    std::vector<int64_t> row;
    bool one_each = true;  // every release has exactly one (row[r] is then release r's)
};

ReleaseCalendar release_calendar(const int64_t *release_event, const int64_t *release_time, size_t releases,
                                 const int64_t *cal_event, const int64_t *cal_time, size_t c);

struct CalendarRows {
    std::vector<int64_t> row;       // row of the event bar table, repeated once per calendar match
    std::vector<int64_t> calendar;  // matching calendar row, or -1 when there is none
};

// Left join of event bar rows with the calendar through each row's release: each row in order,
// followed by every calendar row of its release in calendar order, or once with -1.
CalendarRows join_calendar(const int64_t *row_release, size_t n, const ReleaseCalendar &cal);

}  // namespace orvane::core
