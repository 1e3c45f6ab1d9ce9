// orvane_data.from_localcsv.api: historical bars from a tree of local CSV files.
//
// A daily tree ("K_1D" in its path) holds one ohlcv.csv per ticker directory; an intraday tree
// holds day files named ...YYYY-MM-DD.csv. Files are flat (one header row with "open") or grouped
// (two header rows, groups of columns per contract; the group with the most volume supplies the
// bars). The query keeps the bars inside a text window, cleans them, back-adjusts prices across
// futures rolls and returns the long bar table or a (field, date) x ticker table.
#include "glue/arrays.hpp"
#include "glue/glue.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include "core/csv_bars.hpp"
#include "api_notes.hpp"

#include <algorithm>
#include <memory>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

using namespace nb::literals;
namespace core = orvane::core;

namespace {

using glue::truthy;
using glue::contains;
using glue::builtin;
using glue::numpy_of;
using glue::object_array;

const std::vector<std::string> kIntradayFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"};
const std::vector<std::string> kDailyFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"};
const char *kFormats[] = {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d %H", "%Y-%m-%d"};
const std::pair<const char *, const char *> kRename[] = {
    {"time_key", "DATE"}, {"generic_ticker", "ID"}, {"ticker", "TICKER"}, {"value", "VALUE"},
    {"open", "PX_OPEN"},  {"high", "PX_HIGH"},      {"low", "PX_LOW"},    {"close", "PX_LAST"},
    {"volume", "PX_VOLUME"}, {"num_trds", "NUM_TRDS"}};




// Decided once at load from the installed pandas: pandas 3 reads text as its "str" dtype, gives
// microsecond timestamps for these time keys and rounds decimal text correctly; pandas 2 gives
// object text and nanoseconds.
bool g_pandas3 = false;
PyObject *g_log = nullptr;  // logging.getLogger("orvane_data"), kept for the module's lifetime

// The dtype of text columns and labels that pandas' own steps give.
nb::object text_dtype() { return g_pandas3 ? nb::object(nb::str("str")) : builtin("object"); }

// A DEBUG record naming the file (or ticker) and why it leaves the native road; nothing is
// formatted unless the logger is enabled for DEBUG.
void log_fallback(const std::string &where, const char *why) {
    if (!g_log) return;
    PyObject *on = PyObject_CallMethod(g_log, "isEnabledFor", "i", 10);
    if (!on) throw nb::python_error();
    const bool enabled = PyObject_IsTrue(on) == 1;
    Py_DECREF(on);
    if (!enabled) return;
    nb::handle(g_log).attr("debug")("pandas reads %s: %s", nb::str(where.data(), where.size()), why);
}

nb::list str_list(const std::vector<std::string> &items) {
    nb::list out;
    for (const std::string &s : items) out.append(nb::str(s.c_str()));
    return out;
}

// ---- file-level helpers ------------------------------------------------------------------

// The `row`-th record (from 1) of a CSV file, read with the csv module's default dialect.
nb::object read_row(nb::handle filename, nb::handle row) {
    if (glue::holds(row, Py_LT, nb::int_(1))) glue::raise(PyExc_ValueError, "row must be 1 or greater");
    long long wanted = PyLong_AsLongLong(row.ptr());
    if (wanted == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
        wanted = LLONG_MAX;  // more records than any file holds: the reader runs out first
    }
    nb::object f = builtin("open")(filename, "r");
    nb::object record;
    try {
        nb::object reader = glue::import("csv").attr("reader")(f);
        nb::object next = builtin("next");
        for (long long i = 0; i < wanted; ++i) record = next(reader);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return record;
}

nb::object get_data_files(nb::handle data_path) {
    nb::object os = glue::import("os");
    if (!truthy(os.attr("path").attr("exists")(data_path)))
        glue::raise(PyExc_FileNotFoundError, "Data was NOT found in " + glue::to_str(data_path) + "!");
    nb::list out;
    nb::str csv(".csv");
    for (nb::handle name : os.attr("listdir")(data_path))
        if (contains(name, csv)) out.append(name);
    return out;
}

nb::object flex_strptime(nb::handle text) {
    nb::object strptime = glue::import("datetime").attr("datetime").attr("strptime");
    for (const char *fmt : kFormats) {
        PyObject *r = PyObject_CallFunction(strptime.ptr(), "Os", text.ptr(), fmt);
        if (r) return nb::steal(r);
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
    }
    glue::raise(PyExc_ValueError,
                "Unable to parse date string: '" + glue::to_str(text) + "' with any of the defined formats.");
}

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
        if (glue::holds(g, Py_EQ, nb::str("meta"))) continue;
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
        if (glue::holds(idx, Py_EQ, nb::int_(0))) continue;
        nb::object prev = nb::borrow(idx) - nb::int_(1);
        if (glue::holds(switch2[prev], Py_EQ, nb::int_(1))) {
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

// Where a ticker's bars are: its directory and, in an intraday tree, the day files in range.
struct Located {
    nb::object data_path;
    std::string dir;
    nb::list kept;  // intraday: names in ascending text order
};

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
    if (!glue::holds(bar_convention, Py_EQ, nb::str("start"))) return nb::borrow(start);
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

// ---- the native road ----------------------------------------------------------------------

struct NativeBars {
    core::Frame frame;
    std::vector<std::string> buffers;  // the file texts that the frame's text values point into
};

struct TickerBars {
    nb::object ticker;
    nb::object df;                       // the pandas road's frame, or
    std::unique_ptr<NativeBars> native;  // the native road's columns
};

std::string fs_path(const std::string &text) {
    nb::object b = glue::import("os").attr("fsencode")(nb::str(text.c_str(), text.size()));
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    return std::string(p, (size_t) n);
}

TickerBars ticker_bars(nb::handle ticker, nb::handle start, nb::handle end, const std::string &csv_path, bool daily,
                       nb::handle bar_convention) {
    TickerBars out;
    out.ticker = nb::borrow(ticker);
    Located loc = locate(ticker, start, end, csv_path, daily);
    std::vector<std::string> paths;
    if (daily) paths.push_back(fs_path(loc.dir + "/ohlcv.csv"));
    for (nb::handle name : loc.kept) paths.push_back(fs_path(loc.dir + "/" + nb::cast<std::string>(name)));
    // A lower bound that cannot be formed is the pandas road's to report, in its own order.
    nb::object lower;
    const char *why = "";
    std::string where = loc.dir;  // the file at fault where one is
    try {
        lower = window_lower(start, bar_convention);
    } catch (nb::python_error &) {
    }
    if (!PyUnicode_CheckExact(ticker.ptr())) {
        why = "a ticker that is not a str";  // its column holds the object itself
    } else if (lower.is_valid() && !paths.empty()) {
        const std::string lo = utf8(lower), hi = utf8(end);
        auto bars = std::make_unique<NativeBars>();
        bool ok;
        {
            nb::gil_scoped_release release;
            ok = core::clean_ticker(paths, !daily, lo, hi, bars->buffers, bars->frame);
        }

        if (ok && g_pandas3 && bars->frame.rows == 0) {
            ok = false;  // pandas 3 converts an empty time column to seconds, not microseconds
            why = "no rows left after the window and cleaning";
        } else if (!ok) {
            why = core::last_refusal();
            const int file = core::last_refusal_file();
            if (file >= 0) where = daily ? loc.dir + "/ohlcv.csv" : loc.dir + "/" + nb::cast<std::string>(loc.kept[file]);
        }
        if (ok) {
            out.native = std::move(bars);
            return out;
        }
    } else {
        why = paths.empty() ? "no day file in range" : "the window's lower bound cannot be formed";
    }
    log_fallback(where, why);
    out.df = pandas_ticker(ticker, loc, start, end, daily, bar_convention);
    return out;
}


nb::object text_array(const std::vector<std::string_view> &texts) {
    nb::object last;
    std::string_view last_text;
    return object_array(texts.size(), [&](size_t i) -> nb::object {
        std::string_view t = texts[i];
        if (!last.is_valid() || t != last_text) {
            last = nb::str(t.data(), t.size());
            last_text = t;
        }
        return last;
    });
}

// Timestamps (nanoseconds) in the unit that pandas' to_datetime gives for these keys.
nb::object stamp_array(const std::vector<int64_t> &ns) {
    if (!g_pandas3) return numpy_of(std::vector<int64_t>(ns)).attr("view")("M8[ns]");
    std::vector<int64_t> us(ns.size());
    for (size_t i = 0; i < ns.size(); ++i) us[i] = ns[i] / 1000;
    return numpy_of(std::move(us)).attr("view")("M8[us]");
}

// An object array of text as a column in pandas' default text dtype.
nb::object text_column(nb::object objects) {
    if (!g_pandas3) return objects;
    return glue::import("pandas").attr("array")(objects, "dtype"_a = "str");
}

nb::object native_frame(NativeBars &bars, nb::handle ticker) {
    core::Frame &f = bars.frame;
    nb::dict cols;
    for (core::CsvColumn &c : f.cols) {
        nb::str name(c.name.c_str(), c.name.size());
        switch (c.kind) {
            case core::CsvKind::Time: cols[name] = stamp_array(c.ints); break;
            case core::CsvKind::Int: cols[name] = numpy_of(std::vector<int64_t>(c.ints)); break;
            case core::CsvKind::Float: cols[name] = numpy_of(std::vector<double>(c.floats)); break;
            case core::CsvKind::Text: cols[name] = text_column(text_array(c.texts)); break;
        }
    }
    cols["generic_ticker"] = text_column(object_array(f.rows, [&](size_t) { return nb::borrow(ticker); }));
    return glue::import("pandas").attr("DataFrame")(cols);
}

nb::object frame_of(TickerBars &t) {
    if (!t.df.is_valid()) t.df = native_frame(*t.native, t.ticker);
    return t.df;
}

const char *kSourceField[] = {"open", "high", "low", "close", "volume", "num_trds"};
const char *kTaken[] = {"DATE",   "ID",      "TICKER",    "VALUE",    "PX_OPEN", "PX_HIGH",
                        "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS", "FLDS",    "ActualValue"};

bool name_taken(std::string_view n) {
    for (const char *t : kTaken)
        if (n == t) return true;
    return false;
}

template <class T>
const T *data_of(nb::handle arr) {
    return nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig>>(arr).data();
}

// Nanoseconds per unit of a naive datetime64 dtype ("datetime64[us]" -> 1000), 0 for others.
int64_t unit_factor(const std::string &dtype) {
    static const std::pair<const char *, int64_t> units[] = {
        {"datetime64[ns]", 1}, {"datetime64[us]", 1000}, {"datetime64[ms]", 1000000}, {"datetime64[s]", 1000000000}};
    for (auto &[name, factor] : units)
        if (dtype == name) return factor;
    return 0;
}

const char *unit_name(int64_t factor) {
    switch (factor) {
        case 1: return "M8[ns]";
        case 1000: return "M8[us]";
        case 1000000: return "M8[ms]";
        default: return "M8[s]";
    }
}

bool all_finite(const double *v, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// The (field, date) x ticker table built natively, or an invalid object when some ticker's bars
// are outside what the native reshape reproduces exactly (then pandas melts and pivots).
nb::object native_table(std::vector<TickerBars> &all, nb::handle flds, const std::vector<std::string> &measure) {
    // Fields to build: flds itself when it lists distinct fields, else all of them, then .loc[flds].
    std::vector<size_t> wanted;
    bool direct = nb::len(flds) > 0;
    for (nb::handle f : flds) {
        std::string name = nb::isinstance<nb::str>(f) ? nb::cast<std::string>(f) : std::string();
        size_t k = (size_t) (std::find(measure.begin(), measure.end(), name) - measure.begin());
        if (k == measure.size() || std::find(wanted.begin(), wanted.end(), k) != wanted.end()) {
            direct = false;
            break;
        }
        wanted.push_back(k);
    }
    if (!direct) {
        wanted.clear();
        for (size_t k = 0; k < measure.size(); ++k) wanted.push_back(k);
    }

    nb::list tick;
    for (TickerBars &t : all) {
        if (!PyUnicode_CheckExact(t.ticker.ptr())) return nb::object();
        tick.append(t.ticker);
    }
    nb::object ids = builtin("sorted")(builtin("set")(tick));
    nb::dict column_of;
    for (size_t i = 0; i < nb::len(ids); ++i) column_of[ids[i]] = nb::int_(i);

    nb::object np = glue::import("numpy");
    std::vector<core::ReshapeInput> inputs;
    std::vector<nb::object> keep_alive;
    std::vector<std::unique_ptr<std::vector<int64_t>>> stamps;  // pandas-road dates in nanoseconds
    bool any_float = false;
    // The stacked DATE column takes the finest unit among the tickers'.
    int64_t out_unit = 1000000000;
    for (TickerBars &t : all) {
        core::ReshapeInput in;
        in.column = nb::cast<int>(column_of[t.ticker]);
        if (t.native) {
            core::Frame &f = t.native->frame;
            for (core::CsvColumn &c : f.cols)
                if (name_taken(c.name)) return nb::object();
            const int key = f.find("time_key");
            if (key < 0 || f.rows == 0) return nb::object();
            in.dates = f.cols[key].ints.data();
            in.rows = f.rows;
            out_unit = std::min<int64_t>(out_unit, g_pandas3 ? 1000 : 1);
            // Every field of the tree takes part in the melt's dtype, not only the wanted ones.
            for (size_t k = 0; k < measure.size(); ++k) {
                const int c = f.find(kSourceField[k]);
                if (c < 0 || f.cols[c].kind == core::CsvKind::Text) return nb::object();
                if (f.cols[c].kind == core::CsvKind::Float) {
                    any_float = true;
                    // pivot_table's mean skips NaN and drops all-NaN rows (a 0/0 roll factor)
                    if (!all_finite(f.cols[c].floats.data(), f.rows)) return nb::object();
                }
            }
            for (size_t k : wanted) {
                core::CsvColumn &col = f.cols[f.find(kSourceField[k])];
                const bool fl = col.kind == core::CsvKind::Float;
                in.fvalues.push_back(fl ? col.floats.data() : nullptr);
                in.ivalues.push_back(fl ? nullptr : col.ints.data());
            }
        } else {
            nb::object df = t.df;
            nb::object columns = df.attr("columns");
            for (nb::handle c : columns)
                if (!nb::isinstance<nb::str>(c) || name_taken(nb::cast<std::string>(c))) return nb::object();
            if (!truthy(columns.attr("is_unique")) || !contains(columns, nb::str("time_key")) || nb::len(df) == 0)
                return nb::object();
            nb::object key = df["time_key"];
            const int64_t factor = unit_factor(glue::to_str(key.attr("dtype")));
            if (factor == 0) return nb::object();
            out_unit = std::min(out_unit, factor);
            nb::object dates = np.attr("ascontiguousarray")(key.attr("to_numpy")().attr("view")("i8"));
            keep_alive.push_back(dates);
            const size_t n = nb::len(df);
            const int64_t *raw = data_of<int64_t>(dates);
            auto ns = std::make_unique<std::vector<int64_t>>(n);
            for (size_t i = 0; i < n; ++i)
                if (__builtin_mul_overflow(raw[i], factor, &(*ns)[i])) return nb::object();
            in.dates = ns->data();
            stamps.push_back(std::move(ns));
            in.rows = n;
            std::vector<bool> is_float(measure.size());
            for (size_t k = 0; k < measure.size(); ++k) {
                if (!contains(columns, nb::str(kSourceField[k]))) return nb::object();
                const std::string dtype = glue::to_str(df[kSourceField[k]].attr("dtype"));
                if (dtype != "float64" && dtype != "int64") return nb::object();
                is_float[k] = dtype == "float64";
                any_float = any_float || is_float[k];
            }
            for (size_t k = 0; k < measure.size(); ++k) {
                if (!is_float[k]) continue;
                nb::object arr = np.attr("ascontiguousarray")(df[kSourceField[k]].attr("to_numpy")());
                if (!all_finite(data_of<double>(arr), in.rows)) return nb::object();
            }
            for (size_t k : wanted) {
                nb::object arr = np.attr("ascontiguousarray")(df[kSourceField[k]].attr("to_numpy")());
                keep_alive.push_back(arr);
                in.fvalues.push_back(is_float[k] ? data_of<double>(arr) : nullptr);
                in.ivalues.push_back(is_float[k] ? nullptr : data_of<int64_t>(arr));
            }
        }
        inputs.push_back(std::move(in));
    }
    if (!any_float || inputs.empty()) return nb::object();  // all-integer values: pandas keeps ints

    std::vector<int64_t> dates;
    std::vector<double> values;
    const size_t n_ids = nb::len(ids);
    {
        nb::gil_scoped_release release;
        core::reshape_mean(inputs, wanted.size(), n_ids, dates, values);
    }
    const size_t nd = dates.size();
    for (int64_t &d : dates) d /= out_unit;  // exact: every stamp is a whole number of that unit
    nb::object pd = glue::import("pandas");
    nb::list names;
    for (size_t k : wanted) names.append(nb::str(measure[k].c_str()));
    // The index from its levels and codes: no factorising of repeated labels.
    nb::list levels, codes, index_names;
    levels.append(pd.attr("Index")(names, "dtype"_a = text_dtype()));
    levels.append(pd.attr("DatetimeIndex")(numpy_of(std::move(dates)).attr("view")(unit_name(out_unit))));
    nb::object field_codes = np.attr("arange")(wanted.size());
    nb::object date_codes = np.attr("arange")(nd);
    codes.append(np.attr("repeat")(field_codes, nd));
    codes.append(np.attr("tile")(date_codes, wanted.size()));
    index_names.append("FLDS");
    index_names.append("DATE");
    nb::object index = pd.attr("MultiIndex")("levels"_a = levels, "codes"_a = codes, "names"_a = index_names,
                                             "verify_integrity"_a = false);
    nb::object columns = pd.attr("Index")(ids, "dtype"_a = text_dtype(), "name"_a = "ID");
    // Column-major, so that the frame takes each ticker's column as it is.
    nb::object matrix = numpy_of(std::move(values)).attr("reshape")(n_ids, wanted.size() * nd).attr("T");
    nb::object table = pd.attr("DataFrame")(matrix, "index"_a = index, "columns"_a = columns);
    if (!direct) table = table.attr("loc")[flds];
    return table;
}

nb::object historical(nb::handle tickers, nb::handle flds, nb::handle start, nb::handle end, nb::handle csv_path,
                      nb::handle bar_convention, bool return_ohlcv) {
    nb::object pd = glue::import("pandas");
    const std::string path = nb::cast<std::string>(csv_path);
    const bool daily = path.find("K_1D") != std::string::npos;
    const std::vector<std::string> &fields = daily ? kDailyFields : kIntradayFields;
    nb::list measure = str_list(fields);
    nb::object set = builtin("set");
    if (!truthy(set(flds).attr("issubset")(set(measure))))
        glue::raise(PyExc_ValueError, "Only the following params are allow in `flds`: " + glue::to_str(measure) + ".");

    std::vector<TickerBars> all;
    for (nb::handle ticker : tickers) all.push_back(ticker_bars(ticker, start, end, path, daily, bar_convention));

    if (!return_ohlcv && !all.empty()) {
        nb::object table = native_table(all, flds, fields);
        if (table.is_valid()) return table;
        log_fallback("the (field, date) table", "some ticker's bars are outside what the native reshape reproduces");
    }

    nb::list frames;
    for (TickerBars &t : all) frames.append(frame_of(t));
    nb::dict rename;
    for (auto &[from, to] : kRename) rename[from] = to;
    nb::object bars = pd.attr("concat")(frames).attr("rename")("columns"_a = rename);
    if (return_ohlcv) return bars;

    nb::list id_vars;
    id_vars.append("DATE");
    id_vars.append("ID");
    nb::object columns = bars.attr("columns");
    for (const char *c : {"TICKER", "VALUE"})
        if (contains(columns, nb::str(c))) id_vars.append(c);
    nb::object longform = bars.attr("melt")("id_vars"_a = id_vars, "value_vars"_a = measure, "var_name"_a = "FLDS",
                                            "value_name"_a = "ActualValue");
    nb::list index;
    index.append("FLDS");
    index.append("DATE");
    nb::object table = longform.attr("pivot_table")("index"_a = index, "columns"_a = "ID", "values"_a = "ActualValue");
    table = table.attr("reindex")(measure, "level"_a = 0);
    return table.attr("loc")[flds];
}

const char *kHistoricalDoc =
    "Get historical data.\n"
    "\n"
    "    Args:\n"
    "        tickers: The list of tickers.\n"
    "        flds: The list of data fields.\n"
    "        start: The requested start date.\n"
    "        end: The requested end date.\n"
    "        csv_path: The directory path to csv files ('K_1D' in the path will indicate daily data).\n"
    "        bar_convention: Either 'start' or 'end'(default).\n"
    "        return_ohlcv: Return original ohlcv dataframe if true.\n"
    "\n"
    "    Returns:\n"
    "        The requested multi-index dataframe (rows the (flds, dates), columns the tickers).\n";

const char *kGetDataDoc =
    "Get current snapshot data.\n"
    "\n"
    "    Args:\n"
    "        tickers: The list of tickers.\n"
    "        flds: The list of data fields.\n"
    "\n"
    "    Returns:\n"
    "        The requested dataframe (rows the flds, columns the tickers).\n";

}  // namespace

ORVANE_MODULE(api, m) {
    {
        nb::object version = glue::import("pandas").attr("__version__");
        g_pandas3 = nb::cast<int>(builtin("int")(version.attr("split")(".")[0])) >= 3;
        core::set_correct_rounding(g_pandas3);
        g_log = glue::import("logging").attr("getLogger")("orvane_data").release().ptr();
    }
    m.attr("os") = glue::import("os");
    m.attr("csv") = glue::import("csv");
    m.attr("List") = glue::import("typing").attr("List");
    nb::object datetime_mod = glue::import("datetime");
    m.attr("datetime") = datetime_mod.attr("datetime");
    m.attr("timedelta") = datetime_mod.attr("timedelta");
    m.attr("pd") = glue::import("pandas");

    static constexpr glue::Signature kReadRowFromCsv =
        "_read_row_from_csv(filename: str, row: int) -> List[str]";
    glue::def(m, kReadRowFromCsv, "Read the `row`-th row into a list.",
              [](glue::Call &c) -> nb::object {
                  return read_row(c[kReadRowFromCsv["filename"]], c[kReadRowFromCsv["row"]]);
              });

    static constexpr glue::Signature kGetDataFiles =
        "_get_data_files(data_path) -> List[str]";
    glue::def(m, kGetDataFiles, "Fetch csv files",
              [](glue::Call &c) -> nb::object { return get_data_files(c[kGetDataFiles["data_path"]]); });

    static constexpr glue::Signature kFlexStrptime =
        "_flex_strptime(date_string: str) -> datetime";
    glue::def(m, kFlexStrptime,
              "Parses a date string with varying levels of precision.\n"
              "    Tries formats from most specific to least specific.",
              [](glue::Call &c) -> nb::object { return flex_strptime(c[kFlexStrptime["date_string"]]); });

    static constexpr glue::Signature kGetData =
        "get_data(tickers: List[str], flds: List[str]) -> pd.DataFrame";
    glue::def(m, kGetData, kGetDataDoc,
              [](glue::Call &) -> nb::object {
                  glue::raise(PyExc_NotImplementedError, "`get_data` is not available in `localcsv`.");
              });

    static constexpr glue::Signature kGetHistoricalData =
        "get_historical_data(tickers: List[str], flds: List[str], start: str, end: str, csv_path: str, "
        "bar_convention: str = 'end', return_ohlcv: bool = False) -> pd.DataFrame";
    glue::def(m, kGetHistoricalData,
              kHistoricalDoc, [](glue::Call &c) -> nb::object {
                  nb::handle tickers = c[kGetHistoricalData["tickers"]], flds = c[kGetHistoricalData["flds"]];
                  nb::handle start = c[kGetHistoricalData["start"]], end = c[kGetHistoricalData["end"]];
                  nb::handle csv_path = c[kGetHistoricalData["csv_path"]];
                  nb::handle bar_convention = c[kGetHistoricalData["bar_convention"]];
                  try {
                      return historical(tickers, flds, start, end, csv_path, bar_convention,
                                        truthy(c[kGetHistoricalData["return_ohlcv"]]));
                  } catch (nb::python_error &e) {
                      api_notes::explain(e, tickers, start, end, csv_path);
                      throw;
                  }
              });
}
