// The native steps of the event windows: window minutes, the join of minutes with bars, the order of
// the event bars and the join with the calendar, over int64 nanosecond time stamps in
// core/event_windows; pandas hands over the columns and builds the result. Each step gives its
// value or the reason the inputs go to the pandas steps instead.
#include "tickbars_windows.hpp"

#include "tickbars_dtypes.hpp"
#include "tickbars_gather.hpp"

#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"  // series_values
#include "glue/threads.hpp"

#include "core/event_windows.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

namespace {

using glue::add;
using glue::contains;
using glue::item;
using glue::truthy;

// The calendar's release times in nanoseconds (missing ones stay INT64_MIN).
Parsed<std::vector<int64_t>> calendar_ns(const WindowPlan &plan) {
    nb::object ns_obj = ns_values(plan.times);
    if (!ns_obj.is_valid()) return Refusal{"release times beyond the nanosecond range"};
    I64Array ns = i64_view(ns_obj);
    return std::vector<int64_t>(ns.data(), ns.data() + ns.shape(0));
}

// The releases rounded down by round_event_datetime, and the dtypes of names, releases and
// minutes as the row-by-row construction gives them on the installed pandas.
Parsed<Windows> round_releases(const glue::Call &c, const WindowPlan &plan, Windows w) {
    nb::object round_event_datetime = c.global("round_event_datetime");
    nb::object originals = plan.times.attr("array").attr("take")(glue::numpy_of(std::vector<int64_t>(plan.releases)));
    nb::list rounded;
    for (nb::handle t : originals) rounded.append(round_event_datetime(t, "round_down"_a = true));
    w.release_times = timestamps_column(rounded);
    w.minute_dtype = inferred_dtype(add(rounded[0], glue::import("datetime").attr("timedelta")()));
    w.name_dtype = inferred_dtype(plan.uniques[0]);
    if (per_second(datetime_unit(w.release_times.attr("dtype"))) == 0 ||
        per_second(datetime_unit(w.minute_dtype)) == 0)
        return Refusal{"rounded release times that are not datetime64"};
    nb::object rel_ns = ns_values(pd().attr("Series")(w.release_times));
    if (!rel_ns.is_valid()) return Refusal{"rounded release times beyond the nanosecond range"};
    I64Array rel = i64_view(rel_ns);
    w.release_ns.assign(rel.data(), rel.data() + rel.shape(0));
    for (int64_t t : w.release_ns)
        if (t == INT64_MIN) return Refusal{"a missing rounded release time"};
    return w;
}

}  // namespace

Parsed<Windows> native_windows(const glue::Call &c, const WindowPlan &plan, nb::handle pre_obj, nb::handle post_obj) {
    int64_t pre = 0, post = 0;
    if (!small_int(pre_obj, pre) || !small_int(post_obj, post))
        return Refusal{"window bounds that are not small integers in order"};
    if (!text_dtype(plan.names.attr("dtype"))) return Refusal{"event names that are not text"};
    for (nb::handle u : plan.uniques)
        if (!PyUnicode_Check(u.ptr())) return Refusal{"an event name that is not a str"};
    if (plan.releases.empty()) return Refusal{"an empty calendar"};
    Parsed<std::vector<int64_t>> cal_ns = calendar_ns(plan);
    if (!cal_ns.ok()) return cal_ns.refusal();
    for (int64_t r : plan.releases)
        if (cal_ns.value()[static_cast<size_t>(r)] == INT64_MIN) return Refusal{"a missing release time"};

    Windows w;
    w.cal_ns = std::move(cal_ns.value());
    w.event_codes = plan.codes;
    Parsed<Windows> rounded = round_releases(c, plan, std::move(w));
    if (!rounded.ok()) return rounded;
    Windows &out = rounded.value();
    I64Array codes = i64_view(plan.codes);
    out.release_event.resize(plan.releases.size());
    for (size_t i = 0; i < plan.releases.size(); ++i) out.release_event[i] = codes.data()[plan.releases[i]];
    bool fits;
    {
        nb::gil_scoped_release unlocked;
        fits = core::window_minutes(out.release_ns.data(), out.release_ns.size(), pre, post, out.minutes);
    }
    if (!fits) return Refusal{"window minutes beyond the nanosecond range"};
    out.event_names = np().attr("asarray")(plan.uniques, "dtype"_a = "object");
    out.pre = pre;
    out.width = post - pre + 1;
    return rounded;
}

namespace {

// The distinct names as the pandas steps type them (object on pandas 2, the default string dtype
// on 3), typed once each, to be gathered by their codes.
nb::object typed_names(const Windows &w) {
    if (glue::equals(w.name_dtype, nb::str("object"))) return w.event_names;
    return pd().attr("array")(w.event_names, "dtype"_a = w.name_dtype);
}

nb::object names_column(const Windows &w, nb::object codes_array) {
    std::vector<ColumnTake> names(1);
    names[0].values = typed_names(w);
    names[0].rows = std::move(codes_array);
    gather_columns(names, 1);  // codes are never -1 here
    return names[0].result;
}

}  // namespace

nb::object metadata_native(Windows &w) {
    const size_t rows = w.minutes.size();
    std::vector<int64_t> event(rows), release(rows), diff(rows);
    for (size_t i = 0; i < rows; ++i) {
        size_t r = i / static_cast<size_t>(w.width);
        release[i] = static_cast<int64_t>(r);
        event[i] = w.release_event[r];
        diff[i] = w.pre + static_cast<int64_t>(i % static_cast<size_t>(w.width));
    }
    nb::dict cols;
    cols["EVENT_NAME"] = names_column(w, glue::numpy_of(std::move(event)));
    cols["event_datetime"] = w.release_times.attr("take")(glue::numpy_of(std::move(release)));
    cols["datetime"] = datetimes_from_ns(std::move(w.minutes), w.minute_dtype);
    cols["time_diff"] = glue::numpy_of(std::move(diff));
    return pd().attr("DataFrame")(cols);
}

namespace {

// The bar table and the calendar as the native steps read them.
struct BarInputs {
    nb::object columns;      // the bars' columns
    nb::object calendar;     // the calendar with its index a column, indexed by name and release
    nb::object cal_columns;  // its columns
    nb::object ns;           // int64 numpy: the bars' time stamps in nanoseconds
};

Parsed<BarInputs> bar_inputs(nb::handle df_bars, nb::handle df_calendar, const Windows &w) {
    BarInputs in;
    in.columns = df_bars.attr("columns");
    if (!truthy(in.columns.attr("is_unique")) || !contains(in.columns, nb::str("datetime")) ||
        !contains(in.columns, nb::str("key")))
        return Refusal{"bar columns missing or repeated"};
    for (const char *name : {"EVENT_NAME", "event_datetime", "time_diff"})
        if (contains(in.columns, nb::str(name))) return Refusal{"a bar column named like a result column"};
    nb::object bar_times = item(df_bars, nb::str("datetime"));
    // Naive and aware stamps (or two zones) are left to pandas, which decides how they compare.
    if (per_second(datetime_unit(bar_times.attr("dtype"))) == 0 ||
        !same_zone(bar_times.attr("dtype"), w.release_times.attr("dtype")))
        return Refusal{"bar times that are not datetime64 in the releases' zone"};

    in.calendar = df_calendar.attr("reset_index")().attr("set_index")(str_list({"EVENT_NAME", "event_datetime"}));
    in.cal_columns = in.calendar.attr("columns");
    if (!truthy(in.cal_columns.attr("is_unique"))) return Refusal{"repeated calendar columns"};
    for (nb::handle col : in.cal_columns)
        if (glue::equals(col, nb::str("time_diff")) || glue::equals(col, nb::str("datetime")) || contains(in.columns, col))
            return Refusal{"a calendar column that clashes with the bars'"};
    in.ns = ns_values(bar_times);
    if (!in.ns.is_valid()) return Refusal{"bar times beyond the nanosecond range"};
    return in;
}

// f(begin, end) over rows [0, n) in stretches, on up to `threads` threads (plain C++ only).
template <class F>
void in_stretches(size_t n, unsigned threads, F &&f) {
    constexpr size_t kStretch = size_t{1} << 16;
    core::parallel_for((n + kStretch - 1) / kStretch, threads,
                       [&](size_t p) { f(p * kStretch, std::min(n, (p + 1) * kStretch)); });
}

// Rows read in an order that jumps: the elements of `arrays` at index[k + 32] are fetched into the
// cache while row k is read (nothing past `end`).
template <class... Arrays>
inline void fetch_ahead(const int64_t *index, size_t k, size_t end, const Arrays &...arrays) {
    constexpr size_t kAhead = 32;
    if (k + kAhead >= end) return;
    const size_t ahead = static_cast<size_t>(index[k + kAhead]);
    (__builtin_prefetch(&arrays[ahead]), ...);
}

// The bars on window minutes that have a key, each with its window row and its key's rank.
struct MatchedBars {
    core::scratch_vector<int64_t> window_row, bar_row, key_rank;
    nb::object key_values;  // the bars' keys, as gathered into the result
    bool unmatched = false;  // some window minute had no bar (the join filled it)
};

Parsed<MatchedBars> match_bars(nb::handle df_bars, const Windows &w, const int64_t *bar_ns, size_t bars,
                               unsigned threads) {
    core::WindowMatches matches;
    {
        nb::gil_scoped_release unlocked;
        matches = core::match_window_bars(w.minutes.data(), w.minutes.size(), bar_ns, bars, threads);
    }
    // The bars are ranked by key as a sort would order them, each matched bar once, read in bar
    // order; matches of bars without a key (coded -1) are dropped, in place.
    MatchedBars out;
    out.unmatched = matches.unmatched > 0;
    out.key_values = glue::series_values(item(df_bars, nb::str("key")));
    std::vector<int64_t> hit_codes;
    if (!rank_text_rows(out.key_values, matches.hit_row.get(), matches.hits, threads, hit_codes)) {
        out.key_values = one_chunk(out.key_values);
        nb::object keys = pd().attr("api").attr("extensions").attr("take")(
            out.key_values, glue::numpy_of(std::vector<int64_t>(matches.hit_row.get(), matches.hit_row.get() + matches.hits)),
            "allow_fill"_a = true);
        nb::object codes_obj = as_i64(pd().attr("factorize")(keys, "sort"_a = true)[0]);
        I64Array codes = i64_view(codes_obj);
        hit_codes.assign(codes.data(), codes.data() + codes.shape(0));
    }
    // Each match's bar row and key rank, on the worker threads; when some bar has no key, its
    // matches are dropped in one pass instead.
    const size_t n = matches.hit.size();
    out.window_row = std::move(matches.window_row);
    out.bar_row = core::large_scratch<int64_t>(n);
    out.key_rank = core::large_scratch<int64_t>(n);
    {
        nb::gil_scoped_release unlocked;
        if (std::none_of(hit_codes.begin(), hit_codes.end(), [](int64_t code) { return code < 0; })) {
            // The hits of one minute lie far apart (a bar for each key): their rows and codes are
            // fetched a few matches ahead.
            in_stretches(n, threads, [&](size_t begin, size_t end) {
                for (size_t k = begin; k < end; ++k) {
                    fetch_ahead(matches.hit.data(), k, end, matches.hit_row, hit_codes);
                    const size_t hit = static_cast<size_t>(matches.hit[k]);
                    out.bar_row[k] = matches.hit_row[hit];
                    out.key_rank[k] = hit_codes[hit];
                }
            });
        } else {
            size_t kept = 0;
            for (size_t k = 0; k < n; ++k) {
                const size_t hit = static_cast<size_t>(matches.hit[k]);
                if (hit_codes[hit] < 0) continue;
                out.window_row[kept] = out.window_row[k];
                out.bar_row[kept] = matches.hit_row[hit];
                out.key_rank[kept] = hit_codes[hit];
                ++kept;
            }
            out.window_row.resize(kept);
            out.bar_row.resize(kept);
            out.key_rank.resize(kept);
        }
    }
    if (out.window_row.empty()) return Refusal{"no bar on a window minute"};
    return out;
}

// The event bar table's rows: each a matched bar (its index in MatchedBars) and its calendar row.
// When every release has exactly one calendar row, `calendar` is left empty and the rows are the
// sorted matched bars, each with its release's row of `releases`.
struct EventRows {
    std::vector<int64_t> bar;       // index into the matched bars
    std::vector<int64_t> calendar;  // calendar row, -1 for none
    core::ReleaseCalendar releases;
};

// The matched bars sorted by release (event name, then time), key and time, each followed by
// every calendar row of its release. Plain C++, run without the GIL.
EventRows order_and_join(const Windows &w, const MatchedBars &m, const int64_t *event_rank, const int64_t *cal_codes,
                         unsigned threads) {
    const size_t releases = w.release_ns.size(), rows = m.window_row.size();
    std::vector<int64_t> rel_rank(releases);
    for (size_t r = 0; r < releases; ++r) rel_rank[r] = event_rank[w.release_event[r]];
    size_t groups = 0;
    std::vector<int64_t> rel_group = core::release_ranks(rel_rank.data(), w.release_ns.data(), releases, groups);
    core::scratch_vector<int64_t> group = core::large_scratch<int64_t>(rows), time = core::large_scratch<int64_t>(rows);
    in_stretches(rows, threads, [&](size_t begin, size_t end) {
        for (size_t k = begin; k < end; ++k) {
            group[k] = rel_group[static_cast<size_t>(m.window_row[k] / w.width)];
            time[k] = w.minutes[static_cast<size_t>(m.window_row[k])];  // the bar's stamp, read from the few minutes
        }
    });
    std::vector<int64_t> order = core::order_event_bars(group.data(), m.key_rank.data(), time.data(), rows, groups, threads);
    EventRows out;
    out.releases = core::release_calendar(w.release_event.data(), w.release_ns.data(), releases, cal_codes,
                                          w.cal_ns.data(), w.cal_ns.size());
    if (out.releases.one_each) {
        out.bar = std::move(order);
        return out;
    }
    // The sort keys are spent: their memory takes each sorted row's release.
    core::scratch_vector<int64_t> sorted_release = std::move(group);
    in_stretches(rows, threads, [&](size_t begin, size_t end) {
        for (size_t k = begin; k < end; ++k)
            sorted_release[k] = m.window_row[static_cast<size_t>(order[k])] / w.width;
    });
    core::CalendarRows joined = core::join_calendar(sorted_release.data(), rows, out.releases);
    out.bar = std::move(joined.row);
    for (int64_t &k : out.bar) k = order[static_cast<size_t>(k)];
    out.calendar = std::move(joined.calendar);
    return out;
}

// The result: the window columns, then the bars' columns but "datetime", then the calendar's, all
// gathered together.
nb::object event_bar_frame(Windows &w, const BarInputs &in, const MatchedBars &m, EventRows &&rows,
                           nb::handle df_bars, unsigned threads) {
    const size_t out_rows = rows.bar.size();
    const bool one_each = rows.releases.one_each;
    // The window columns are written straight into numpy's memory (fresh pages, no zeroing pass).
    auto empty = [&] { return np().attr("empty")(out_rows, "dtype"_a = np().attr("int64")); };
    nb::object event_obj = empty(), release_obj = empty(), diff_obj = empty(), minute_obj = empty();
    nb::object cal_rows = one_each ? empty() : glue::numpy_of(std::move(rows.calendar));
    int64_t *out_event = glue::array_data<int64_t>(event_obj), *out_release = glue::array_data<int64_t>(release_obj),
            *out_diff = glue::array_data<int64_t>(diff_obj), *out_minute = glue::array_data<int64_t>(minute_obj),
            *out_cal = glue::array_data<int64_t>(cal_rows);
    {
        nb::gil_scoped_release unlocked;
        // Each row's bar row takes the place of its matched bar's index. Sorted rows follow a key
        // through its window's minutes, matches that lie a minute's bars apart: fetched ahead.
        in_stretches(out_rows, threads, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) {
                fetch_ahead(rows.bar.data(), i, end, m.window_row, m.bar_row);
                const size_t k = static_cast<size_t>(rows.bar[i]);
                const size_t r = static_cast<size_t>(m.window_row[k] / w.width);
                out_event[i] = w.release_event[r];
                out_release[i] = static_cast<int64_t>(r);
                out_diff[i] = w.pre + m.window_row[k] % w.width;
                rows.bar[i] = m.bar_row[k];
                out_minute[i] = w.minutes[static_cast<size_t>(m.window_row[k])];
                if (one_each) out_cal[i] = rows.releases.row[r];
            }
        });
    }
    nb::object bar_rows = glue::numpy_of(std::move(rows.bar));

    // Every gathered column at once: the names and release times by their codes, the bars' columns
    // but "datetime", then the calendar's.
    std::vector<ColumnTake> takes;
    std::vector<nb::object> names;
    auto take = [&](nb::handle name, nb::object values, const nb::object &rows, bool as_if_missing) {
        takes.push_back({std::move(values), rows, as_if_missing, {}});
        names.push_back(nb::borrow(name));
    };
    take(nb::str("EVENT_NAME"), typed_names(w), event_obj, false);
    take(nb::str("event_datetime"), w.release_times, release_obj, false);
    for (nb::handle col : in.columns) {
        if (glue::equals(col, nb::str("datetime"))) continue;
        take(col, glue::equals(col, nb::str("key")) ? m.key_values : glue::series_values(item(df_bars, col)), bar_rows,
             m.unmatched);
    }
    for (nb::handle col : in.cal_columns) take(col, glue::series_values(item(in.calendar, col)), cal_rows, false);
    gather_columns(takes, threads);

    nb::dict cols;
    cols["EVENT_NAME"] = takes[0].result;
    cols["event_datetime"] = takes[1].result;
    cols["time_diff"] = diff_obj;
    // The window minute (equal to the bar's stamp) in the unit of the window table.
    cols["datetime"] = datetimes_from_ns(minute_obj, w.minute_dtype);
    for (size_t i = 2; i < takes.size(); ++i) cols[names[i]] = takes[i].result;
    return pd().attr("DataFrame")(cols, "copy"_a = false);
}

}  // namespace

Parsed<nb::object> event_bars_native(nb::handle df_bars, nb::handle df_calendar, Windows &w) {
    Parsed<BarInputs> in = bar_inputs(df_bars, df_calendar, w);
    if (!in.ok()) return in.refusal();
    I64Array bar_ns = i64_view(in.value().ns);
    const unsigned threads = glue::default_threads();  // for the keys' ranking and the columns' gathers
    Parsed<MatchedBars> matched = match_bars(df_bars, w, bar_ns.data(), bar_ns.shape(0), threads);
    if (!matched.ok()) return matched.refusal();
    nb::object event_rank_obj = as_i64(pd().attr("factorize")(w.event_names, "sort"_a = true)[0]);
    I64Array event_rank = i64_view(event_rank_obj), cal_codes = i64_view(w.event_codes);
    EventRows rows;
    {
        nb::gil_scoped_release unlocked;
        rows = order_and_join(w, matched.value(), event_rank.data(), cal_codes.data(), threads);
    }
    return event_bar_frame(w, in.value(), matched.value(), std::move(rows), df_bars, threads);
}

}  // namespace tickbars
