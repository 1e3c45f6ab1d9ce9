// The native steps of the event windows: window minutes, the join of minutes with bars, the order of
// the event bars and the join with the calendar, over int64 nanosecond time stamps in
// core/event_windows; pandas hands over the columns and builds the result.
#include "tickbars_windows.hpp"

#include "glue/arrow_text.hpp"
#include "glue/arrays.hpp"
#include "glue/threads.hpp"

#include "core/event_windows.hpp"
#include "core/huge_pages.hpp"

#include <nanobind/ndarray.h>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

namespace {

using glue::add;
using glue::builtin;
using glue::contains;
using glue::item;
using glue::truthy;

using I64Array = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Why the last native attempt on this thread left the inputs to the pandas steps.
thread_local const char *t_reason = "";

// Records the reason and answers "no native road" (false, or an invalid object).
bool pandas_steps(const char *why) {
    t_reason = why;
    return false;
}
nb::object pandas_steps_for(const char *why) {
    t_reason = why;
    return nb::object();
}

}  // namespace

// ---- numpy buffers and dtypes, shared with the checks ---------------------------------------

nb::object as_i64(nb::handle array_like) {
    return np().attr("ascontiguousarray")(array_like, "dtype"_a = np().attr("int64"));
}

I64Array i64_view(nb::handle contiguous) { return nb::cast<I64Array>(contiguous); }

// ---- the native steps ---------------------------------------------------------------------

bool small_int(nb::handle v, int64_t &out) {
    if (!PyLong_Check(v.ptr())) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return false;
    out = x;
    return true;
}

// "datetime64[us, UTC]" -> "us"; empty for anything that is not a numpy-style datetime64 dtype.
std::string datetime_unit(nb::handle dtype) {
    std::string text = glue::to_str(dtype);
    if (text.rfind("datetime64[", 0) != 0) return {};
    size_t end = text.find_first_of(",]", 11);
    return end == std::string::npos ? std::string{} : text.substr(11, end - 11);
}

int64_t per_second(const std::string &unit) {
    if (unit == "s") return 1;
    if (unit == "ms") return 1'000;
    if (unit == "us") return 1'000'000;
    if (unit == "ns") return 1'000'000'000;
    return 0;
}

// Both naive, or zones that pandas itself takes for the same (pandas 2 tells a pytz zone from the
// zoneinfo zone of the same name, and its join then falls back to UTC).
bool same_zone(nb::handle a, nb::handle b) {
    nb::object ta = glue::attr_or(a, "tz", nb::none()), tb = glue::attr_or(b, "tz", nb::none());
    if (ta.is_none() || tb.is_none()) return ta.is_none() && tb.is_none();
    nb::object tz_dtype = pd().attr("DatetimeTZDtype");
    return glue::equals(tz_dtype("ns", ta), tz_dtype("ns", tb));
}

// Text columns the native path reads: object, the default string dtype and pyarrow strings (the
// names themselves are checked to be text once they are factorised).
bool text_dtype(nb::handle dtype) {
    return truthy(pd().attr("api").attr("types").attr("is_string_dtype")(dtype));
}

// Time stamps as int64 nanoseconds, or an invalid object when they do not fit.
nb::object ns_values(nb::handle datetimes) {
    nb::object values = datetimes.attr("array");
    if (datetime_unit(values.attr("dtype")) != "ns") {
        try {
            values = values.attr("as_unit")("ns");
        } catch (nb::python_error &e) {
            // OutOfBoundsDatetime, a ValueError: beyond the nanosecond range, the pandas steps handle it
            if (!glue::expected(e, {PyExc_ValueError, PyExc_OverflowError})) throw;
            return {};
        }
    }
    return as_i64(values.attr("asi8"));
}

// The column a DataFrame built from rows holding `values` gets, as the pandas steps build it (the
// installed pandas decides dtype and time unit by inference).
nb::object inferred_column(nb::handle values) {
    nb::list rows;
    for (nb::handle v : values) rows.append(nb::make_tuple(v));
    return item(pd().attr("DataFrame")(rows), nb::int_(0)).attr("array");
}

nb::object inferred_dtype(nb::handle value) {
    nb::list one;
    one.append(value);
    return inferred_column(one).attr("dtype");
}

namespace {

nb::object datetimes_from_ns(std::vector<int64_t> &&ns, nb::handle dtype) {
    nb::object values = glue::numpy_of(std::move(ns)).attr("view")("M8[ns]");
    nb::object tz = glue::attr_or(dtype, "tz", nb::none());
    nb::object index = pd().attr("DatetimeIndex")(values);
    if (!tz.is_none()) index = index.attr("tz_localize")("UTC").attr("tz_convert")(tz);
    const std::string unit = datetime_unit(dtype);
    if (unit != "ns") index = index.attr("as_unit")(unit.c_str());
    return index.attr("array");
}

// inferred_column for Timestamps that all share one type, zone and unit, the common case of rounded
// release times: the column then has the dtype that one of them infers, and the values are
// converted at once (pandas 3 converts aware Timestamps one by one, a few microseconds each).
// Anything else takes the inference itself.
nb::object timestamps_column(nb::handle values) {
    const size_t n = nb::len(values);
    if (n == 0) return inferred_column(values);
    nb::object first = values[0];
    if (!nb::isinstance(first, pd().attr("Timestamp"))) return inferred_column(values);
    nb::object tz = first.attr("tz"), unit = first.attr("unit");
    std::vector<int64_t> ns(n);
    for (size_t i = 0; i < n; ++i) {
        nb::object v = values[i];
        if (!v.type().is(first.type()) || !v.attr("tz").is(tz) || !glue::equals(v.attr("unit"), unit))
            return inferred_column(values);
        try {
            ns[i] = nb::cast<int64_t>(v.attr("value"));
        } catch (nb::python_error &e) {
            if (!glue::expected(e, {PyExc_OverflowError})) throw;
            return inferred_column(values);  // beyond the nanosecond range
        }
    }
    nb::object dtype = inferred_dtype(first);
    if (datetime_unit(dtype) != nb::cast<std::string>(unit)) return inferred_column(values);
    return datetimes_from_ns(std::move(ns), dtype);
}

}  // namespace

bool native_windows(const glue::Call &c, nb::handle df_calendar, nb::handle pre_obj, nb::handle post_obj,
                    Windows &w) {
    int64_t pre = 0, post = 0;
    if (!small_int(pre_obj, pre) || !small_int(post_obj, post) || pre > post)
        return pandas_steps("window bounds that are not small integers in order");
    nb::object columns = df_calendar.attr("columns");
    if (!contains(columns, nb::str("EVENT_NAME")) || !contains(columns, nb::str("event_datetime")) ||
        !truthy(columns.attr("is_unique")))
        return pandas_steps("calendar columns missing or repeated");
    nb::object names = item(df_calendar, nb::str("EVENT_NAME"));
    nb::object times = item(df_calendar, nb::str("event_datetime"));
    if (!text_dtype(names.attr("dtype")) || per_second(datetime_unit(times.attr("dtype"))) == 0)
        return pandas_steps("event names that are not text or release times that are not datetime64");

    nb::object factorized = pd().attr("factorize")(names);
    nb::object uniques = factorized[1];
    for (nb::handle u : uniques)
        if (!PyUnicode_Check(u.ptr())) return pandas_steps("an event name that is not a str");
    w.event_codes = as_i64(factorized[0]);
    w.cal_ns = ns_values(times);
    if (!w.cal_ns.is_valid()) return pandas_steps("release times beyond the nanosecond range");
    I64Array codes = i64_view(w.event_codes), cal_ns = i64_view(w.cal_ns);
    const size_t n = codes.shape(0);

    std::vector<int64_t> rows;
    {
        nb::gil_scoped_release unlocked;
        rows = core::distinct_releases(codes.data(), cal_ns.data(), n);
    }
    if (rows.empty()) return pandas_steps("an empty calendar");
    for (int64_t r : rows)
        if (cal_ns.data()[r] == INT64_MIN) return pandas_steps("a missing release time");

    nb::object round_event_datetime = c.global("round_event_datetime");
    nb::object originals = times.attr("array").attr("take")(glue::numpy_of(std::vector<int64_t>(rows)));
    nb::list rounded;
    for (nb::handle t : originals) rounded.append(round_event_datetime(t, "round_down"_a = true));
    // Dtypes and units as the row-by-row construction gives them on the installed pandas.
    w.release_times = timestamps_column(rounded);
    w.minute_dtype = inferred_dtype(add(rounded[0], glue::import("datetime").attr("timedelta")()));
    w.name_dtype = inferred_dtype(uniques[0]);
    if (per_second(datetime_unit(w.release_times.attr("dtype"))) == 0 ||
        per_second(datetime_unit(w.minute_dtype)) == 0)
        return pandas_steps("rounded release times that are not datetime64");
    nb::object rel_ns = ns_values(pd().attr("Series")(w.release_times));
    if (!rel_ns.is_valid()) return pandas_steps("rounded release times beyond the nanosecond range");
    I64Array rel = i64_view(rel_ns);
    w.release_ns.assign(rel.data(), rel.data() + rel.shape(0));
    for (int64_t t : w.release_ns)
        if (t == INT64_MIN) return pandas_steps("a missing rounded release time");
    w.release_event.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) w.release_event[i] = codes.data()[rows[i]];
    bool fits;
    {
        nb::gil_scoped_release unlocked;
        fits = core::window_minutes(w.release_ns.data(), w.release_ns.size(), pre, post, w.minutes);
    }
    if (!fits) return pandas_steps("window minutes beyond the nanosecond range");
    w.event_names = np().attr("asarray")(uniques, "dtype"_a = "object");
    w.pre = pre;
    w.width = post - pre + 1;
    return true;
}

namespace {

// Names as the pandas steps type them (object on pandas 2, the default string dtype on 3).
nb::object names_column(Windows &w, std::vector<int64_t> &&codes) {
    nb::object codes_array = glue::numpy_of(std::move(codes));
    if (glue::equals(w.name_dtype, nb::str("object"))) return keep_object(w.event_names.attr("take")(codes_array));
    // Typed once per distinct name, then gathered (codes are never -1 here; one column, one thread).
    std::vector<ColumnTake> names(1);
    names[0].values = pd().attr("array")(w.event_names, "dtype"_a = w.name_dtype);
    names[0].rows = codes_array;
    gather_columns(names, 1);
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
    cols["EVENT_NAME"] = names_column(w, std::move(event));
    cols["event_datetime"] = w.release_times.attr("take")(glue::numpy_of(std::move(release)));
    cols["datetime"] = datetimes_from_ns(std::move(w.minutes), w.minute_dtype);
    cols["time_diff"] = glue::numpy_of(std::move(diff));
    return pd().attr("DataFrame")(cols);
}

// The event bar table natively, or an invalid object when the inputs need the pandas steps.
const char *native_refusal() { return t_reason; }

nb::object event_bars_native(const glue::Call &c, nb::handle df_bars, nb::handle df_calendar, nb::handle pre,
                             nb::handle post) {
    Windows w;
    if (!native_windows(c, df_calendar, pre, post, w)) return {};
    nb::object bar_columns = df_bars.attr("columns");
    if (!truthy(bar_columns.attr("is_unique")) || !contains(bar_columns, nb::str("datetime")) ||
        !contains(bar_columns, nb::str("key")))
        return pandas_steps_for("bar columns missing or repeated");
    for (const char *name : {"EVENT_NAME", "event_datetime", "time_diff"})
        if (contains(bar_columns, nb::str(name))) return pandas_steps_for("a bar column named like a result column");
    nb::object bar_times = item(df_bars, nb::str("datetime"));
    // Naive and aware stamps (or two zones) are left to pandas, which decides how they compare.
    if (per_second(datetime_unit(bar_times.attr("dtype"))) == 0 ||
        !same_zone(bar_times.attr("dtype"), w.release_times.attr("dtype")))
        return pandas_steps_for("bar times that are not datetime64 in the releases' zone");

    nb::object calendar =
        df_calendar.attr("reset_index")().attr("set_index")(str_list({"EVENT_NAME", "event_datetime"}));
    nb::object cal_columns = calendar.attr("columns");
    if (!truthy(cal_columns.attr("is_unique"))) return pandas_steps_for("repeated calendar columns");
    for (nb::handle col : cal_columns)
        if (glue::equals(col, nb::str("time_diff")) || glue::equals(col, nb::str("datetime")) || contains(bar_columns, col))
            return pandas_steps_for("a calendar column that clashes with the bars'");

    nb::object bar_ns_obj = ns_values(bar_times);
    if (!bar_ns_obj.is_valid()) return pandas_steps_for("bar times beyond the nanosecond range");
    I64Array bar_ns = i64_view(bar_ns_obj);
    const unsigned threads = glue::default_threads();  // for the keys' ranking and the columns' gathers
    core::WindowMatches matches;
    {
        nb::gil_scoped_release unlocked;
        matches = core::match_window_bars(w.minutes.data(), w.minutes.size(), bar_ns.data(), bar_ns.shape(0));
    }

    // Bars without a key are dropped (factorize codes them -1); the rest are ranked by key as a
    // sort would order them.
    nb::object key_values = glue::series_values(item(df_bars, nb::str("key")));
    std::vector<int64_t> key_codes;
    const int64_t *codes = nullptr;
    nb::object codes_obj;
    if (rank_text_rows(key_values, matches.bar_row.data(), matches.bar_row.size(), threads, key_codes)) {
        codes = key_codes.data();
    } else {
        key_values = one_chunk(key_values);
        nb::object keys = pd().attr("api").attr("extensions").attr("take")(
            key_values, glue::numpy_of(std::vector<int64_t>(matches.bar_row)), "allow_fill"_a = true);
        codes_obj = as_i64(pd().attr("factorize")(keys, "sort"_a = true)[0]);
        codes = i64_view(codes_obj).data();
    }
    std::vector<int64_t> win_row, bar_row, key_rank;
    core::reserve_large(win_row, matches.window_row.size());
    core::reserve_large(bar_row, matches.bar_row.size());
    core::reserve_large(key_rank, matches.bar_row.size());
    for (size_t k = 0; k < matches.window_row.size(); ++k)
        if (codes[k] >= 0) {
            win_row.push_back(matches.window_row[k]);
            bar_row.push_back(matches.bar_row[k]);
            key_rank.push_back(codes[k]);
        }
    if (win_row.empty()) return pandas_steps_for("no bar on a window minute");

    nb::object event_rank_obj = as_i64(pd().attr("factorize")(w.event_names, "sort"_a = true)[0]);
    I64Array event_rank = i64_view(event_rank_obj);
    const size_t releases = w.release_ns.size(), rows = win_row.size();
    const int64_t *cal_codes = i64_view(w.event_codes).data();
    I64Array cal_ns = i64_view(w.cal_ns);
    const size_t cal_rows = cal_ns.shape(0);

    std::vector<int64_t> order, sorted_event, sorted_time, final_rows, final_cal;
    {
        nb::gil_scoped_release unlocked;
        std::vector<int64_t> rel_rank(releases);
        for (size_t r = 0; r < releases; ++r) rel_rank[r] = event_rank.data()[w.release_event[r]];
        size_t groups = 0;
        std::vector<int64_t> rel_group = core::release_ranks(rel_rank.data(), w.release_ns.data(), releases, groups);
        std::vector<int64_t> group = core::large_vector<int64_t>(rows), time = core::large_vector<int64_t>(rows);
        for (size_t k = 0; k < rows; ++k) {
            group[k] = rel_group[static_cast<size_t>(win_row[k] / w.width)];
            time[k] = bar_ns.data()[bar_row[k]];
        }
        order = core::order_event_bars(group.data(), key_rank.data(), time.data(), rows, groups);
        // The sort keys are spent: their memory takes each sorted row's release.
        sorted_event = std::move(group);
        sorted_time = std::move(time);
        for (size_t k = 0; k < rows; ++k) {
            size_t r = static_cast<size_t>(win_row[static_cast<size_t>(order[k])] / w.width);
            sorted_event[k] = w.release_event[r];
            sorted_time[k] = w.release_ns[r];
        }
        core::CalendarRows joined =
            core::join_calendar(sorted_event.data(), sorted_time.data(), rows, cal_codes, cal_ns.data(), cal_rows);
        final_rows = std::move(joined.row);
        final_cal = std::move(joined.calendar);
    }

    const size_t out_rows = final_rows.size();
    std::vector<int64_t> out_event = core::large_vector<int64_t>(out_rows), out_release = core::large_vector<int64_t>(out_rows),
        out_diff = core::large_vector<int64_t>(out_rows), out_bar = core::large_vector<int64_t>(out_rows),
        out_minute = core::large_vector<int64_t>(out_rows);
    for (size_t i = 0; i < out_rows; ++i) {
        size_t k = static_cast<size_t>(order[static_cast<size_t>(final_rows[i])]);
        size_t r = static_cast<size_t>(win_row[k] / w.width);
        out_event[i] = w.release_event[r];
        out_release[i] = static_cast<int64_t>(r);
        out_diff[i] = w.pre + win_row[k] % w.width;
        out_bar[i] = bar_row[k];
        out_minute[i] = w.minutes[static_cast<size_t>(win_row[k])];
    }
    nb::object bar_rows = glue::numpy_of(std::move(out_bar));
    nb::object cal_rows_obj = glue::numpy_of(std::move(final_cal));

    nb::dict cols;
    cols["EVENT_NAME"] = names_column(w, std::move(out_event));
    cols["event_datetime"] = w.release_times.attr("take")(glue::numpy_of(std::move(out_release)));
    cols["time_diff"] = glue::numpy_of(std::move(out_diff));
    // The window minute (equal to the bar's stamp) in the unit of the window table.
    cols["datetime"] = datetimes_from_ns(std::move(out_minute), w.minute_dtype);
    // The bar and calendar columns, in their order, gathered together.
    std::vector<ColumnTake> takes;
    std::vector<nb::object> names;
    for (nb::handle col : bar_columns) {
        if (glue::equals(col, nb::str("datetime"))) continue;
        nb::object values = glue::equals(col, nb::str("key")) ? key_values : glue::series_values(item(df_bars, col));
        takes.push_back({values, bar_rows, matches.unmatched > 0, {}});
        names.push_back(nb::borrow(col));
    }
    for (nb::handle col : cal_columns) {
        takes.push_back({glue::series_values(item(calendar, col)), cal_rows_obj, false, {}});
        names.push_back(nb::borrow(col));
    }
    gather_columns(takes, threads);
    for (size_t i = 0; i < takes.size(); ++i) cols[names[i]] = takes[i].result;
    return pd().attr("DataFrame")(cols, "copy"_a = false);
}

}  // namespace tickbars
