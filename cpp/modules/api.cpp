// orvane_data.from_localcsv.api: historical bars from a tree of local CSV files.
//
// A daily tree ("K_1D" in its path) holds one ohlcv.csv per ticker directory; an intraday tree
// holds day files named ...YYYY-MM-DD.csv. Files are flat (one header row with "open") or grouped
// (two header rows, groups of columns per contract; the group with the most volume supplies the
// bars). The query keeps the bars inside a text window, cleans them, back-adjusts prices across
// futures rolls and returns the long bar table or a (field, date) x ticker table.
#include "glue/glue.hpp"

#include <nanobind/stl/vector.h>

#include <climits>
#include <string>
#include <vector>

using namespace nb::literals;

namespace {

const std::vector<std::string> kIntradayFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"};
const std::vector<std::string> kDailyFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"};
const char *kFormats[] = {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d %H", "%Y-%m-%d"};
const std::pair<const char *, const char *> kRename[] = {
    {"time_key", "DATE"}, {"generic_ticker", "ID"}, {"ticker", "TICKER"}, {"value", "VALUE"},
    {"open", "PX_OPEN"},  {"high", "PX_HIGH"},      {"low", "PX_LOW"},    {"close", "PX_LAST"},
    {"volume", "PX_VOLUME"}, {"num_trds", "NUM_TRDS"}};

nb::object builtin(const char *name) { return glue::import("builtins").attr(name); }

bool truthy(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// obj[key] = value. pandas guesses "chained assignment" from the target's reference count, which is
// lower when the assignment comes from native code than from a Python local; hold the references a
// Python caller would so that a plain assignment is not mistaken for one.
void set_item(nb::handle obj, nb::handle key, nb::handle value) {
    nb::object local = nb::borrow(obj), extra = nb::borrow(obj);
    if (PyObject_SetItem(local.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

nb::list str_list(const std::vector<std::string> &items) {
    nb::list out;
    for (const std::string &s : items) out.append(nb::str(s.c_str()));
    return out;
}

// ---- file-level helpers ------------------------------------------------------------------

// The `row`-th record (from 1) of a CSV file, read with the csv module's default dialect.
nb::object read_row(nb::handle filename, nb::handle row) {
    if (compare(row, nb::int_(1), Py_LT)) glue::raise(PyExc_ValueError, "row must be 1 or greater");
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

nb::object load_file(const std::string &path) {
    nb::object pd = glue::import("pandas");
    nb::str p(path.c_str());
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
        if (compare(g, nb::str("meta"), Py_EQ)) continue;
        nb::object sub = df.attr("xs")(g, "level"_a = 0, "axis"_a = 1).attr("dropna")();
        nb::object total = sub["volume"].attr("sum")();
        if (!principal.is_valid() || compare(total, best, Py_GT)) {
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
        if (compare(idx, nb::int_(0), Py_EQ)) continue;
        nb::object prev = nb::borrow(idx) - nb::int_(1);
        if (compare(switch2[prev], nb::int_(1), Py_EQ)) {
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
            set_item(loc, key, loc[key] * factor);
        }
    }
}

// One ticker's cleaned bars: located, loaded, windowed, converted, dropped, renumbered, adjusted.
nb::object ticker_frame(nb::handle ticker, nb::handle start, nb::handle end, const std::string &csv_path,
                        bool daily, nb::handle bar_convention) {
    nb::object pd = glue::import("pandas");
    nb::object os = glue::import("os");
    nb::object data_path = os.attr("path").attr("join")(os.attr("path").attr("normpath")(csv_path), ticker);
    const std::string dp = nb::cast<std::string>(data_path);
    nb::object full;
    if (daily) {
        full = load_file(dp + "/ohlcv.csv");
    } else {
        nb::object names = get_data_files(data_path);
        nb::object strptime = glue::import("datetime").attr("datetime").attr("strptime");
        nb::list kept;
        for (nb::handle name : names) {
            nb::object lo = flex_strptime(start).attr("date")();
            std::string s = nb::cast<std::string>(name);
            std::string tail = s.size() > 14 ? s.substr(s.size() - 14) : s;
            for (size_t p; (p = tail.find(".csv")) != std::string::npos;) tail.erase(p, 4);
            nb::object day = strptime(tail, "%Y-%m-%d").attr("date")();
            if (compare(lo, day, Py_LE) && compare(day, flex_strptime(end).attr("date")(), Py_LE)) kept.append(name);
        }
        kept.sort();
        full = pd.attr("DataFrame")();
        for (nb::handle name : kept) {
            nb::list parts;
            parts.append(full);
            parts.append(load_file(dp + "/" + nb::cast<std::string>(name)));
            full = pd.attr("concat")(parts);
        }
        if (truthy(full.attr("empty")))
            glue::raise(PyExc_ValueError, "There is no historical data for " + glue::to_str(ticker) +
                                              " within time range: [" + glue::to_str(start) + " - " +
                                              glue::to_str(end) + "]!");
        full = full.attr("sort_values")("time_key");
    }
    nb::object lower = nb::borrow(start);
    if (compare(bar_convention, nb::str("start"), Py_EQ)) {
        nb::object minute = glue::import("datetime").attr("timedelta")("minutes"_a = 1);
        lower = (flex_strptime(start) - minute).attr("strftime")("%Y-%m-%d %H:%M:%S");
    }
    nb::object key = full["time_key"];
    full = full[key.attr("__ge__")(lower) & key.attr("__le__")(end)].attr("copy")();
    set_item(full, nb::str("time_key"), pd.attr("to_datetime")(full["time_key"]));
    full = full.attr("dropna")();
    full = full.attr("reset_index")("drop"_a = true);
    if (contains(full.attr("columns"), nb::str("ticker"))) roll_adjust(full);
    set_item(full, nb::str("generic_ticker"), ticker);
    return full.attr("copy")();
}

nb::object historical(nb::handle tickers, nb::handle flds, nb::handle start, nb::handle end, nb::handle csv_path,
                      nb::handle bar_convention, bool return_ohlcv) {
    nb::object pd = glue::import("pandas");
    const std::string path = nb::cast<std::string>(csv_path);
    const bool daily = path.find("K_1D") != std::string::npos;
    nb::list measure = str_list(daily ? kDailyFields : kIntradayFields);
    nb::object set = builtin("set");
    if (!truthy(set(flds).attr("issubset")(set(measure))))
        glue::raise(PyExc_ValueError, "Only the following params are allow in `flds`: " + glue::to_str(measure) + ".");

    nb::list frames;
    for (nb::handle ticker : tickers) frames.append(ticker_frame(ticker, start, end, path, daily, bar_convention));

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
    nb::object table = longform.attr("pivot_table")("index"_a = index,
                                                    "columns"_a = "ID", "values"_a = "ActualValue");
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

NB_MODULE(api, m) {
    m.attr("os") = glue::import("os");
    m.attr("csv") = glue::import("csv");
    m.attr("List") = glue::import("typing").attr("List");
    nb::object datetime_mod = glue::import("datetime");
    m.attr("datetime") = datetime_mod.attr("datetime");
    m.attr("timedelta") = datetime_mod.attr("timedelta");
    m.attr("pd") = glue::import("pandas");

    glue::def(m, "_read_row_from_csv(filename: str, row: int) -> List[str]", "Read the `row`-th row into a list.",
              [](glue::Call &c) -> nb::object { return read_row(c[0], c[1]); });

    glue::def(m, "_get_data_files(data_path) -> List[str]", "Fetch csv files",
              [](glue::Call &c) -> nb::object { return get_data_files(c[0]); });

    glue::def(m, "_flex_strptime(date_string: str) -> datetime",
              "Parses a date string with varying levels of precision.\n"
              "    Tries formats from most specific to least specific.",
              [](glue::Call &c) -> nb::object { return flex_strptime(c[0]); });

    glue::def(m, "get_data(tickers: List[str], flds: List[str]) -> pd.DataFrame", kGetDataDoc,
              [](glue::Call &) -> nb::object {
                  glue::raise(PyExc_NotImplementedError, "`get_data` is not available in `localcsv`.");
              });

    glue::def(m,
              "get_historical_data(tickers: List[str], flds: List[str], start: str, end: str, csv_path: str, "
              "bar_convention: str = 'end', return_ohlcv: bool = False) -> pd.DataFrame",
              kHistoricalDoc, [](glue::Call &c) -> nb::object {
                  return historical(c[0], c[1], c[2], c[3], c[4], c[5], truthy(c[6]));
              });
}
