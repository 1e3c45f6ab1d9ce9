// The query of orvane_data.from_localcsv.api one pandas step after another, per ticker: the files
// of a ticker in the window, read and cleaned by pandas, back-adjusted across futures rolls.
#include "api.hpp"
#include "api_notes.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

using namespace nb::literals;

namespace api {

// ---- the query, one pandas step after another ----------------------------------------------

namespace {

// Whether the `row`-th record of `path` names a field "open"; a file with fewer records does not.
bool row_has_open(nb::handle path, int row) {
    try {
        return contains(read_row(path, nb::int_(row)), nb::str("open"));
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_StopIteration)) return false;
        throw;
    }
}

[[noreturn]] void unrecognised(nb::handle path) {
    glue::raise(PyExc_ValueError,
                "Unrecognised layout in " + glue::to_str(path) + ": neither row 1 nor row 2 has the field 'open'.");
}

nb::object read_bars(nb::handle p) {
    nb::object pd = glue::import("pandas");
    if (row_has_open(p, 1)) return pd.attr("read_csv")(p);
    if (!row_has_open(p, 2)) unrecognised(p);
    nb::list header, index_col;
    header.append(0);
    header.append(1);
    index_col.append(0);
    nb::object df = pd.attr("read_csv")(p, "header"_a = header, "index_col"_a = index_col);
    nb::object groups = df.attr("columns").attr("get_level_values")(0).attr("unique")();
    nb::object principal, best;
    for (nb::handle g : groups) {
        if (glue::equals(g, nb::str("meta"))) continue;
        nb::object sub = df.attr("xs")(g, "level"_a = 0, "axis"_a = 1).attr("dropna")();
        nb::object total = sub["volume"].attr("sum")();
        if (!principal.is_valid() || glue::holds(total, Py_GT, best)) {
            principal = nb::borrow(g);
            best = total;
        }
    }
    if (!principal.is_valid()) builtin("max")(nb::dict());  // no group but meta: max() of nothing
    return df.attr("xs")(principal, "level"_a = 0, "axis"_a = 1).attr("reset_index")();
}

// A data file's bars. An error of the reader (a truncated, binary or malformed file) reaches the
// caller unchanged, with a note naming the file.
nb::object load_file(nb::handle path) {
    try {
        return read_bars(path);
    } catch (nb::python_error &e) {
        glue::add_note(e, "in the data file " + glue::to_str(path));
        throw;
    }
}

// Ratio back-adjustment across contract changes, in place on a frame numbered 0..n-1.
void roll_adjust(nb::object &full) {
    nb::object t = full["ticker"];
    nb::object switch1 = t.attr("ne")(t.attr("shift")(1)).attr("astype")(builtin("int"));
    nb::object switch2 = t.attr("ne")(t.attr("shift")(-1)).attr("astype")(builtin("int"));
    nb::list rows;
    nb::object flagged = switch1[switch1.attr("gt")(0)].attr("index");
    for (nb::handle idx : flagged) {
        if (glue::equals(idx, nb::int_(0))) continue;
        nb::object prev = nb::borrow(idx) - nb::int_(1);
        if (glue::equals(switch2[prev], nb::int_(1))) {
            rows.append(prev);
            rows.append(idx);
        }
    }
    nb::object roll = full.attr("loc")[rows];
    const size_t n = nb::len(roll);
    if (n % 2 != 0) glue::raise(PyExc_AssertionError, "roll records should be an even number");
    nb::object close = roll["close"].attr("iloc");
    std::vector<std::pair<nb::object, nb::object>> adj;  // (index, factor)
    for (size_t i = 1; i < n; i += 2)
        adj.emplace_back(roll.attr("index")[i - 1], close[i] / close[i - 1]);
    nb::object loc = full.attr("loc");
    for (auto &[idx, factor] : adj) {
        for (const char *col : {"close", "open", "high", "low"}) {
            nb::object key = nb::make_tuple(nb::slice(nb::none(), idx, nb::none()), col);
            glue::set_column(loc, key, loc[key] * factor);
        }
    }
}


// A day file's name ends in "YYYY-MM-DD.csv": its date is read from these last characters.
constexpr size_t kDayFileTail = 14;

// The date of a day-file name: natively (y, m, d set, invalid object returned) when its tail is
// a plain YYYY-MM-DD, else by strptime, which also gives the interpreter's own error.
nb::object name_date(nb::handle name, int &y, int &m, int &d) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!text) throw nb::python_error();
    std::string_view s(text, (size_t) size);
    if (PyUnicode_GET_LENGTH(name.ptr()) == size && s.size() >= kDayFileTail) {
        std::string tail(s.substr(s.size() - kDayFileTail));
        for (size_t p; (p = tail.find(".csv")) != std::string::npos;) tail.erase(p, 4);
        auto digits = [&](size_t a, size_t n) {
            int v = 0;
            for (size_t i = a; i < a + n; ++i) {
                if (tail[i] < '0' || tail[i] > '9') return -1;
                v = v * 10 + (tail[i] - '0');
            }
            return v;
        };
        if (tail.size() == 10 && tail[4] == '-' && tail[7] == '-') {
            y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
            if (y >= 1 && m >= 1 && m <= 12 && d >= 1 && d <= core::days_in_month(y, m)) return nb::object();
        }
    }
    nb::object tail = nb::borrow(name)[nb::slice(nb::int_(-(Py_ssize_t) kDayFileTail), nb::none(), nb::none())].attr("replace")(".csv", "");
    return glue::import("datetime").attr("datetime").attr("strptime")(tail, "%Y-%m-%d").attr("date")();
}

}  // namespace

QueryWindow read_window(nb::handle start, nb::handle end, nb::handle bar_convention) {
    QueryWindow w;
    w.start = nb::borrow(start);
    w.end = nb::borrow(end);
    nb::object lower, upper;
    try {
        lower = flex_strptime(start);
        upper = flex_strptime(end);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError)) api_notes::undashed_dates(e, start, end);
        throw;
    }
    w.first_day = lower.attr("date")();
    w.last_day = upper.attr("date")();
    w.lower_text = w.start;
    if (glue::equals(bar_convention, nb::str("start"))) {
        lower = lower - glue::import("datetime").attr("timedelta")("minutes"_a = 1);
        w.lower_text = lower.attr("strftime")("%Y-%m-%d %H:%M:%S");
    }
    auto moment = [](nb::handle t) {
        auto part = [&](const char *name) { return nb::cast<int>(t.attr(name)); };
        return core::Moment{part("year"), part("month"), part("day"), part("hour"), part("minute"), part("second")};
    };
    w.window = core::Window(moment(lower), moment(upper), glue::to_str(w.lower_text), glue::to_str(end));
    return w;
}

namespace {

// The path of the file `name` in a ticker's folder.
nb::object file_path(nb::handle data_path, nb::handle name) { return glue::add(glue::add(data_path, nb::str("/")), name); }

// A note for a name in a ticker's folder that holds ".csv" but does not end in a date.
void explain_day_file_name(nb::python_error &e, nb::handle data_path, nb::handle name) {
    nb::object path = file_path(data_path, name);
    glue::add_note(e, glue::repr_of(path) +
                          " is taken for a day file, as its name holds '.csv', but a day file's name must end in "
                          "the date and '.csv' (..._YYYY-MM-DD.csv): rename or move it out of the ticker's folder.");
}

}  // namespace

Located locate(nb::handle ticker, const QueryWindow &w, nb::handle csv_path, bool daily) {
    nb::object os = glue::import("os");
    Located loc;
    loc.data_path = os.attr("path").attr("join")(os.attr("path").attr("normpath")(csv_path), ticker);
    if (daily) {
        loc.files.append(file_path(loc.data_path, nb::str("ohlcv.csv")));
        return loc;
    }
    nb::list kept;
    for (nb::handle name : get_data_files(loc.data_path)) {
        int y = 0, m = 0, d = 0;
        nb::object day;
        try {
            day = name_date(name, y, m, d);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_ValueError)) {
                if (glue::equals(name, "ohlcv.csv"))
                    api_notes::daily_layout_without_k1d(e, csv_path);
                else
                    explain_day_file_name(e, loc.data_path, name);
            }
            throw;
        }
        if (!day.is_valid()) day = glue::import("datetime").attr("date")(y, m, d);
        if (glue::holds(w.first_day, Py_LE, day) && glue::holds(day, Py_LE, w.last_day)) kept.append(name);
    }
    kept.sort();
    for (nb::handle name : kept) loc.files.append(file_path(loc.data_path, name));
    return loc;
}

namespace {

// Why a ticker of an intraday tree has no bars: no day file at all, or none in the window.
std::string no_data_note(const Located &loc, const QueryWindow &w) {
    nb::list names = nb::borrow<nb::list>(builtin("sorted")(get_data_files(loc.data_path)));
    const std::string folder = glue::repr_of(loc.data_path);
    if (nb::len(names) == 0)
        return folder + " holds no day files (names ending in _YYYY-MM-DD.csv).";
    if (nb::len(loc.files) > 0)
        return "The day files in range hold no rows.";
    return folder + " has day files from " + glue::to_str(names[0]) + " to " + glue::to_str(names[nb::len(names) - 1]) +
           "; none is dated from " + glue::to_str(w.first_day) + " to " + glue::to_str(w.last_day) + ".";
}

// Rows whose time key lies in the window. Keys that are not texts of the two forms keep the
// comparison with the bounds' texts (whose errors, for keys that cannot be compared with text,
// reach the caller); the others are compared as times.
nb::object window_mask(nb::handle key, const QueryWindow &w) {
    nb::object by_text = glue::ge(key, w.lower_text) & glue::le(key, w.end);
    nb::object values = key.attr("to_numpy")("dtype"_a = builtin("object"));
    nb::object mask = by_text.attr("to_numpy")("dtype"_a = builtin("bool"), "copy"_a = true);
    auto keep = nb::cast<nb::ndarray<bool, nb::ndim<1>, nb::c_contig>>(mask);
    const size_t n = nb::len(values);
    for (size_t i = 0; i < n; ++i) {
        nb::object v = values[i];
        if (!PyUnicode_Check(v.ptr())) continue;
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
        if (!text) {  // a lone surrogate: a text of another shape
            PyErr_Clear();
            continue;
        }
        const std::string_view k(text, (size_t) size);
        core::Moment unused;
        if (core::read_key(k, unused)) keep.data()[i] = w.window.contains(k);
    }
    return glue::import("pandas").attr("Series")(mask, "index"_a = key.attr("index"));
}

}  // namespace

// One ticker's cleaned bars through pandas, step by step: loaded, windowed, converted, dropped,
// renumbered, adjusted.
nb::object pandas_ticker(nb::handle ticker, const Located &loc, const QueryWindow &w, bool daily) {
    nb::object pd = glue::import("pandas");
    nb::object full;
    if (daily) {
        full = load_file(loc.files[0]);
    } else {
        full = pd.attr("DataFrame")();
        for (nb::handle path : loc.files) {
            nb::list parts;
            parts.append(full);
            parts.append(load_file(path));
            full = pd.attr("concat")(parts);
        }
        if (truthy(full.attr("empty"))) {
            try {
                glue::raise(PyExc_ValueError, "There is no historical data for " + glue::to_str(ticker) +
                                                  " within time range: [" + glue::to_str(w.start) + " - " +
                                                  glue::to_str(w.end) + "]!");
            } catch (nb::python_error &e) {
                glue::add_note(e, no_data_note(loc, w));
                throw;
            }
        }
        full = full.attr("sort_values")("time_key");
    }
    full = full[window_mask(full["time_key"], w)].attr("copy")();
    glue::set_column(full, nb::str("time_key"), pd.attr("to_datetime")(full["time_key"]));
    full = full.attr("dropna")();
    full = full.attr("reset_index")("drop"_a = true);
    if (contains(full.attr("columns"), nb::str("ticker"))) roll_adjust(full);
    glue::set_column(full, nb::str("generic_ticker"), ticker);
    return full.attr("copy")();
}

}  // namespace api
