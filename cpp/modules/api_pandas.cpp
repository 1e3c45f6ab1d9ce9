// The query of orvane_data.from_localcsv.api one pandas step after another, per ticker: the files
// of a ticker in the window, read and cleaned by pandas, back-adjusted across futures rolls.
#include "api.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

using namespace nb::literals;

namespace api {

// ---- the query, one pandas step after another ----------------------------------------------

// Whether the `row`-th record of `path` names a field "open"; a file with fewer records does not.
bool row_has_open(nb::handle path, int row) {
    try {
        return contains(read_row(path, nb::int_(row)), nb::str("open"));
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_StopIteration)) return false;
        throw;
    }
}

[[noreturn]] void unrecognised(const std::string &path) {
    glue::raise(PyExc_ValueError,
                "Unrecognised layout in " + path + ": neither row 1 nor row 2 has the field 'open'.");
}

nb::object read_bars(const std::string &path);

// A data file's bars. An error of the reader (a truncated, binary or malformed file) reaches the
// caller unchanged, with a note naming the file.
nb::object load_file(const std::string &path) {
    try {
        return read_bars(path);
    } catch (nb::python_error &e) {
        nb::handle value = e.value();
        if (nb::hasattr(value, "add_note")) {
            const std::string note = "in the data file " + path;
            nb::object text = nb::steal(PyUnicode_FromStringAndSize(note.data(), (Py_ssize_t) note.size()));
            PyObject *r = text.is_valid() ? PyObject_CallMethod(value.ptr(), "add_note", "O", text.ptr()) : nullptr;
            if (r) Py_DECREF(r);
            else PyErr_Clear();
        }
        throw;
    }
}

nb::object read_bars(const std::string &path) {
    nb::object pd = glue::import("pandas");
    nb::str p(path.data(), path.size());
    if (row_has_open(p, 1)) return pd.attr("read_csv")(p);
    if (!row_has_open(p, 2)) unrecognised(path);
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

Located locate(nb::handle ticker, nb::handle start, nb::handle end, const std::string &csv_path, bool daily) {
    nb::object os = glue::import("os");
    Located loc;
    loc.data_path = os.attr("path").attr("join")(os.attr("path").attr("normpath")(csv_path), ticker);
    loc.dir = nb::cast<std::string>(loc.data_path);
    if (daily) return loc;
    nb::object names = get_data_files(loc.data_path);
    nb::object lo, hi;  // start's and end's dates, parsed when first needed
    for (nb::handle name : names) {
        if (!lo.is_valid()) lo = flex_strptime(start).attr("date")();
        int y = 0, m = 0, d = 0;
        nb::object day = name_date(name, y, m, d);
        if (!day.is_valid()) day = glue::import("datetime").attr("date")(y, m, d);
        if (!glue::holds(lo, Py_LE, day)) continue;
        if (!hi.is_valid()) hi = flex_strptime(end).attr("date")();
        if (glue::holds(day, Py_LE, hi)) loc.kept.append(name);
    }
    loc.kept.sort();
    return loc;
}

// The window's lower bound: `start`, or one minute before it for bar_convention "start".
nb::object window_lower(nb::handle start, nb::handle bar_convention) {
    if (!glue::equals(bar_convention, nb::str("start"))) return nb::borrow(start);
    nb::object minute = glue::import("datetime").attr("timedelta")("minutes"_a = 1);
    return (flex_strptime(start) - minute).attr("strftime")("%Y-%m-%d %H:%M:%S");
}

// One ticker's cleaned bars through pandas, step by step: loaded, windowed, converted, dropped,
// renumbered, adjusted.
nb::object pandas_ticker(nb::handle ticker, const Located &loc, nb::handle start, nb::handle end, bool daily,
                         nb::handle bar_convention) {
    nb::object pd = glue::import("pandas");
    nb::object full;
    if (daily) {
        full = load_file(loc.dir + "/ohlcv.csv");
    } else {
        full = pd.attr("DataFrame")();
        for (nb::handle name : loc.kept) {
            nb::list parts;
            parts.append(full);
            parts.append(load_file(loc.dir + "/" + nb::cast<std::string>(name)));
            full = pd.attr("concat")(parts);
        }
        if (truthy(full.attr("empty")))
            glue::raise(PyExc_ValueError, "There is no historical data for " + glue::to_str(ticker) +
                                              " within time range: [" + glue::to_str(start) + " - " +
                                              glue::to_str(end) + "]!");
        full = full.attr("sort_values")("time_key");
    }
    nb::object lower = window_lower(start, bar_convention);
    nb::object key = full["time_key"];
    full = full[glue::ge(key, lower) & glue::le(key, end)].attr("copy")();
    glue::set_column(full, nb::str("time_key"), pd.attr("to_datetime")(full["time_key"]));
    full = full.attr("dropna")();
    full = full.attr("reset_index")("drop"_a = true);
    if (contains(full.attr("columns"), nb::str("ticker"))) roll_adjust(full);
    glue::set_column(full, nb::str("generic_ticker"), ticker);
    return full.attr("copy")();
}

}  // namespace api
