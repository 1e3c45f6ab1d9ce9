// The minute windows around economic releases of orvane_data.from_bqia.tickbars: the window
// checks, the plain pandas steps, and the native steps over int64 nanosecond time stamps in
// core/event_windows (pandas only hands over the columns and builds the result). Time stamps of any
// unit and names in object, string or pyarrow dtype are converted at the edge; the result's dtypes
// and units are those the row-by-row construction infers on the installed pandas. Inputs the native
// path does not cover take the plain pandas steps, which give the same answer by construction.
#include "tickbars_windows.hpp"

#include "tickbars_dtypes.hpp"
#include "tickbars_gather.hpp"

#include "core/event_windows.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

namespace {

using glue::add;
using glue::add_note;
using glue::builtin;
using glue::contains;
using glue::item;
using glue::repr_of;
using glue::truthy;

// ---- errors that say what to fix ------------------------------------------------------------

std::string missing_columns(nb::handle df, std::initializer_list<const char *> names) {
    std::string out;
    nb::object columns = glue::attr_or(df, "columns", nb::none());
    for (const char *name : names)
        if (columns.is_none() || !contains(columns, nb::str(name))) out += (out.empty() ? "'" : ", '") + std::string(name) + "'";
    return out;
}

// Notes for the errors of the event-window functions: which input lacks which column, which bound
// is not a whole number of minutes, which columns clash. `df_bars` is invalid for get_event_metadata.
void explain_window_error(nb::python_error &e, nb::handle df_bars, nb::handle df_calendar, nb::handle pre,
                          nb::handle post) {
    if (e.matches(PyExc_KeyError)) {
        std::string cal = missing_columns(df_calendar, {"EVENT_NAME", "event_datetime"});
        if (!cal.empty())
            add_note(e, "df_calendar has no column " + cal +
                            ": pass the table of get_eco_calendar_data(..., event_timezone=...), which holds "
                            "'EVENT_NAME' and 'event_datetime'");
        if (df_bars.is_valid()) {
            std::string bars = missing_columns(df_bars, {"datetime", "key"});
            if (!bars.empty())
                add_note(e, "df_bars has no column " + bars +
                                ": pass the table of get_intraday_bars, which holds 'datetime' and 'key'");
        }
    } else if (e.matches(PyExc_TypeError)) {
        for (auto [name, value] : {std::pair{"pre_event_window", pre}, std::pair{"post_event_window", post}})
            if (!PyLong_Check(value.ptr()))
                add_note(e, std::string(name) + " is " + repr_of(value) + ": window bounds are whole numbers of minutes");
    } else if (e.matches(PyExc_ValueError) && df_bars.is_valid()) {
        std::string clash;
        nb::object bar_columns = glue::attr_or(df_bars, "columns", nb::none());
        if (bar_columns.is_none()) return;
        for (nb::handle col : bar_columns)
            if (glue::equals(col, nb::str("EVENT_NAME")) || glue::equals(col, nb::str("event_datetime")) ||
                glue::equals(col, nb::str("time_diff")) ||
                (!glue::equals(col, nb::str("datetime")) && contains(glue::attr_or(df_calendar, "columns", nb::list()), col)))
                clash += (clash.empty() ? "" : ", ") + repr_of(col);
        if (!clash.empty())
            add_note(e, "df_bars shares the column(s) " + clash +
                            " with the window table or the calendar: rename or drop them in df_bars before the call");
    }
}

// The limit when the machine does not say how much memory it has: 2^36 rows, 2 TiB of them.
constexpr __int128 kUnknownMemoryRows = static_cast<__int128>(1) << 36;

// The most window rows this machine could ever hold: each row needs at least four 8-byte values
// (name, release, minute, offset), so a table beyond physical memory / 32 cannot be built.

__int128 max_window_rows() {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return kUnknownMemoryRows;
    return static_cast<__int128>(pages) * page / 32;
}

// ---- the plain pandas steps ---------------------------------------------------------------

nb::object metadata_by_pandas(const glue::Call &c, nb::handle df_calendar, nb::handle pre, nb::handle post) {
    nb::object timedelta = glue::import("datetime").attr("timedelta");
    nb::object round_event_datetime = c.global("round_event_datetime");
    nb::object range = builtin("range");
    nb::list temp_data;
    nb::object names = item(df_calendar, nb::str("EVENT_NAME"));
    for (nb::handle event : names.attr("unique")()) {
        nb::object mask = nb::steal(PyObject_RichCompare(names.ptr(), event.ptr(), Py_EQ));
        if (!mask.is_valid()) throw nb::python_error();
        nb::object subset = item(df_calendar, mask);
        nb::list times;
        for (nb::handle t : item(subset, nb::str("event_datetime")).attr("unique")())
            times.append(round_event_datetime(t, "round_down"_a = true));
        for (nb::handle t : times)
            for (nb::handle minutes : range(pre, add(post, nb::int_(1))))
                temp_data.append(nb::make_tuple(event, t, add(t, timedelta("minutes"_a = minutes)), minutes));
    }
    return pd().attr("DataFrame")(temp_data,
                                  "columns"_a = str_list({"EVENT_NAME", "event_datetime", "datetime", "time_diff"}));
}

nb::object event_bars_by_pandas(const glue::Call &c, nb::handle df_bars, nb::handle df_calendar, nb::handle pre,
                                nb::handle post) {
    nb::object metadata = metadata_by_pandas(c, df_calendar, pre, post).attr("set_index")("datetime");
    nb::object bars = df_bars.attr("set_index")("datetime");
    nb::object joined = metadata.attr("join")(bars, "how"_a = "left").attr("reset_index")();
    joined = joined.attr("dropna")("subset"_a = str_list({"key"}));
    nb::list cols = nb::borrow<nb::list>(builtin("list")(metadata.attr("columns")));
    cols.append(nb::str("datetime"));
    for (nb::handle col : bars.attr("columns")) cols.append(col);
    nb::object event_bars = item(joined, cols).attr("sort_values")(
        str_list({"EVENT_NAME", "event_datetime", "key", "datetime"}));
    event_bars = event_bars.attr("reset_index")("drop"_a = true);
    event_bars = event_bars.attr("set_index")(str_list({"EVENT_NAME", "event_datetime"}));
    nb::object calendar =
        df_calendar.attr("reset_index")().attr("set_index")(str_list({"EVENT_NAME", "event_datetime"}));
    return event_bars.attr("join")(calendar, "how"_a = "left").attr("reset_index")();
}

}  // namespace

Parsed<WindowPlan> plan_windows(nb::handle df_calendar, nb::handle pre, nb::handle post) {
    WindowPlan plan;
    if (!wide_int(pre, plan.pre) || !wide_int(post, plan.post) || plan.pre > plan.post)
        return Refusal{"window bounds that are not small integers in order"};
    nb::object columns = df_calendar.attr("columns");
    if (!contains(columns, nb::str("EVENT_NAME")) || !contains(columns, nb::str("event_datetime")) ||
        !truthy(columns.attr("is_unique")))
        return Refusal{"calendar columns missing or repeated"};
    plan.names = item(df_calendar, nb::str("EVENT_NAME"));
    plan.times = item(df_calendar, nb::str("event_datetime"));
    plan.unit = datetime_unit(plan.times.attr("dtype"));
    if (per_second(plan.unit) == 0) return Refusal{"release times that are not datetime64"};
    try {
        nb::object factorized = pd().attr("factorize")(plan.names);
        plan.codes = as_i64(factorized[0]);
        plan.uniques = factorized[1];
    } catch (nb::python_error &e) {
        // names that cannot be factorised (unhashable): the pandas steps fail on them themselves
        if (!glue::expected(e, {PyExc_TypeError, PyExc_ValueError})) throw;
        return Refusal{"event names that cannot be factorised"};
    }
    plan.raw = as_i64(plan.times.attr("array").attr("asi8"));
    I64Array codes = i64_view(plan.codes), raw = i64_view(plan.raw);
    {
        nb::gil_scoped_release unlocked;
        plan.releases = core::distinct_releases(codes.data(), raw.data(), codes.shape(0));
    }
    return plan;
}

namespace {

// MemoryError for windows of the plan's releases that no memory could hold.
void check_window_memory(const WindowPlan &plan, nb::handle pre_obj, nb::handle post_obj) {
    // A bound beyond int64 stands as one just past it: its window is longer than any memory either.
    const size_t releases = plan.releases.size();
    const __int128 width = plan.post - plan.pre + 1;
    const __int128 limit = max_window_rows();
    if (releases == 0 || (width <= limit && width * static_cast<__int128>(releases) <= limit)) return;
    nb::object pre_int = nb::steal(PyNumber_Long(pre_obj.ptr()));
    if (!pre_int.is_valid()) throw nb::python_error();
    nb::object post_int = nb::steal(PyNumber_Long(post_obj.ptr()));
    if (!post_int.is_valid()) throw nb::python_error();
    nb::object minutes = post_int - pre_int + nb::int_(1);
    glue::raise(PyExc_MemoryError,
                "event windows of " + std::to_string(releases) + " releases x " + glue::to_str(minutes) +
                    " minutes (pre_event_window=" + glue::to_str(pre_int) + ", post_event_window=" +
                    glue::to_str(post_int) + ") cannot be held in memory");
}

// Runs before either road. A window table too long to ever be held raises MemoryError, and a
// window minute outside the range of its time unit raises pandas' own error for it, both at once
// (building either table first would take minutes and all memory before failing).
void check_windows(const glue::Call &c, const WindowPlan &plan, nb::handle pre_obj, nb::handle post_obj) {
    check_window_memory(plan, pre_obj, post_obj);
    // Bounds that fit int64 from here on: a window of 2^64 minutes or more was refused above, and
    // one of bounds both beyond int64 (on the same side) fails at its first minute in the steps.
    int64_t pre = 0, post = 0;
    if (!small_int(pre_obj, pre) || !small_int(post_obj, post)) return;

    // The unit of the window minutes the pandas steps build, found on the first release.
    I64Array raw = i64_view(plan.raw);
    nb::object timedelta = glue::import("datetime").attr("timedelta");
    auto first = std::find_if(plan.releases.begin(), plan.releases.end(),
                              [&](int64_t r) { return raw.data()[r] != INT64_MIN; });
    if (first == plan.releases.end()) return;
    nb::object times = plan.times.attr("array");
    const std::string target = datetime_unit(inferred_dtype(add(times[nb::int_(*first)], timedelta())));
    const int64_t from = per_second(plan.unit), to = per_second(target);
    if (to == 0 || to < from) return;
    const __int128 factor = to / from, minute = static_cast<__int128>(60) * to;
    const __int128 lo = static_cast<__int128>(INT64_MIN) + 1, hi = INT64_MAX;
    for (int64_t r : plan.releases) {
        const int64_t v = raw.data()[r];
        if (v == INT64_MIN) continue;
        __int128 t = static_cast<__int128>(v) * factor;
        __int128 floor = t / minute * minute;
        if (floor > t) floor -= minute;
        const bool low_out = floor + pre * minute < lo || floor + pre * minute > hi;
        const bool high_out = floor + post * minute < lo || floor + post * minute > hi;
        if (!low_out && !high_out) continue;
        // Let pandas raise its own error for this minute, as the row-by-row steps would.
        nb::object release = c.global("round_event_datetime")(times[nb::int_(r)], "round_down"_a = true);
        nb::object at = add(release, timedelta("minutes"_a = low_out ? pre : post));
        inferred_dtype(at);
        glue::raise(PyExc_OverflowError, "the event window minute " + std::to_string(low_out ? pre : post) +
                                             " of the release at " + glue::to_str(release) +
                                             " is outside the range of datetime64[" + target + "]");
    }
}

// The checks on the plan, then the native windows, or why the inputs go to the pandas steps.
Parsed<Windows> checked_windows(const glue::Call &c, nb::handle calendar, nb::handle pre, nb::handle post) {
    Parsed<WindowPlan> plan = plan_windows(calendar, pre, post);
    if (!plan.ok()) return plan.refusal();
    check_windows(c, plan.value(), pre, post);
    return native_windows(c, plan.value(), pre, post);
}

}  // namespace

nb::object event_metadata(const glue::Call &c, nb::handle calendar, nb::handle pre, nb::handle post) {
    try {
        Parsed<Windows> windows = checked_windows(c, calendar, pre, post);
        if (windows.ok()) return metadata_native(windows.value());
        glue::log_fallback("get_event_metadata takes the pandas steps", windows.refusal().why);
        return metadata_by_pandas(c, calendar, pre, post);
    } catch (nb::python_error &e) {
        explain_window_error(e, nb::handle(), calendar, pre, post);
        throw;
    }
}

nb::object event_bars(const glue::Call &c, nb::handle bars, nb::handle calendar, nb::handle pre, nb::handle post) {
    try {
        Parsed<Windows> windows = checked_windows(c, calendar, pre, post);
        Parsed<nb::object> out = windows.ok() ? event_bars_native(bars, calendar, windows.value())
                                              : Parsed<nb::object>(windows.refusal());
        if (out.ok()) return out.value();
        glue::log_fallback("filter_bars_around_events takes the pandas steps", out.refusal().why);
        return event_bars_by_pandas(c, bars, calendar, pre, post);
    } catch (nb::python_error &e) {
        explain_window_error(e, bars, calendar, pre, post);
        throw;
    }
}

}  // namespace tickbars
