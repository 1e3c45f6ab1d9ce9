// orvane_data.from_localcsv.api: historical bars from a tree of local CSV files.
//
// A daily tree ("K_1D" in its path) holds one ohlcv.csv per ticker directory; an intraday tree
// holds day files named ...YYYY-MM-DD.csv. Files are flat (one header row with "open") or grouped
// (two header rows, groups of columns per contract; the group with the most volume supplies the
// bars). The query keeps the bars inside a window of times, cleans them, back-adjusts prices across
// futures rolls and returns the long bar table or a (field, date) x ticker table.
#include "api.hpp"
#include "glue/pandas_options.hpp"
#include "glue/threads.hpp"
#include "api_notes.hpp"

using namespace nb::literals;

namespace api {

namespace {

const std::vector<std::string> kIntradayFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"};
const std::vector<std::string> kDailyFields = {"PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"};
const char *const kFormats[] = {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d %H", "%Y-%m-%d"};
const std::pair<const char *, const char *> kRename[] = {
    {"time_key", "DATE"}, {"generic_ticker", "ID"}, {"ticker", "TICKER"}, {"value", "VALUE"},
    {"open", "PX_OPEN"},  {"high", "PX_HIGH"},      {"low", "PX_LOW"},    {"close", "PX_LAST"},
    {"volume", "PX_VOLUME"}, {"num_trds", "NUM_TRDS"}};

QueryOptions query_options() {
    QueryOptions o;
    o.threads = thread_count();
    // The dtype pandas gives text now: its "str" dtype under future.infer_string (pandas 3's
    // default, pandas 2's opt-in), object otherwise; the option may change between calls.
    o.text_dtype = glue::text_dtype();
    o.text_is_object = glue::equals(o.text_dtype, builtin("object"));
    // pandas 3 gives microsecond timestamps for these time keys and rounds decimal text correctly;
    // pandas 2 gives nanoseconds.
    const bool pandas3 = glue::pandas_major(glue::import("pandas")) >= 3;
    o.microseconds = pandas3;
    o.csv.correct_rounding = pandas3;
    return o;
}

nb::list str_list(const std::vector<std::string> &items) {
    nb::list out;
    for (const std::string &s : items) out.append(nb::str(s.c_str()));
    return out;
}

}  // namespace

void log_fallback(const std::string &where, const char *why) { glue::log_fallback("pandas reads " + where, why); }

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

nb::object historical(nb::handle tickers, nb::handle flds, nb::handle start, nb::handle end, nb::handle csv_path,
                      nb::handle bar_convention, bool return_ohlcv) {
    nb::object pd = glue::import("pandas");
    const bool daily = contains(csv_path, nb::str("K_1D"));
    const std::vector<std::string> &fields = daily ? kDailyFields : kIntradayFields;
    nb::list measure = str_list(fields);
    nb::object set = builtin("set");
    if (!truthy(set(flds).attr("issubset")(set(measure)))) {
        try {
            glue::raise(PyExc_ValueError, "Only the following params are allow in `flds`: " + glue::to_str(measure) + ".");
        } catch (nb::python_error &e) {
            api_notes::unknown_fields(e, flds, measure, daily);
            throw;
        }
    }

    // The bounds are read before any file is: a bound that cannot be read stops the query at once.
    const QueryWindow window = read_window(start, end, bar_convention);

    const QueryOptions options = query_options();
    std::vector<TickerBars> all = all_ticker_bars(tickers, window, csv_path, daily, options);

    if (!return_ohlcv && !all.empty()) {
        nb::object table = native_table(all, flds, fields, options);
        if (table.is_valid()) return table;
        log_fallback("the (field, date) table", "some ticker's bars are outside what the native reshape reproduces");
    }

    nb::list frames;
    for (TickerBars &t : all) frames.append(frame_of(t, options));
    nb::dict rename;
    for (auto &[from, to] : kRename) rename[from] = to;
    nb::object bars;
    try {
        bars = pd.attr("concat")(frames);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) && nb::len(frames) == 0) api_notes::no_tickers(e);
        throw;
    }
    bars = bars.attr("rename")("columns"_a = rename);
    if (return_ohlcv) return bars;

    nb::list id_vars;
    id_vars.append("DATE");
    id_vars.append("ID");
    nb::object columns = bars.attr("columns");
    for (const char *c : {"TICKER", "VALUE"})
        if (contains(columns, nb::str(c))) id_vars.append(c);
    nb::object longform;
    try {
        longform = bars.attr("melt")("id_vars"_a = id_vars, "value_vars"_a = measure, "var_name"_a = "FLDS",
                                     "value_name"_a = "ActualValue");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyError)) api_notes::missing_columns(e, bars, fields, kSourceField, all[0].first_file);
        throw;
    }
    nb::list index;
    index.append("FLDS");
    index.append("DATE");
    nb::object table = longform.attr("pivot_table")("index"_a = index, "columns"_a = "ID", "values"_a = "ActualValue");
    table = table.attr("reindex")(measure, "level"_a = 0);
    try {
        return table.attr("loc")[flds];
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyError) && nb::len(table) == 0) api_notes::empty_window(e, start, end);
        throw;
    }
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
    "        The requested multi-index dataframe (rows the (flds, dates), columns the tickers).\n"
    "        start and end are read as times (YYYY-MM-DD, optionally with HH, HH:MM or HH:MM:SS) and\n"
    "        the bars whose time keys lie within [start, end] are kept, both ends included; an end\n"
    "        without a time is that day's midnight, so pass 'YYYY-MM-DD 23:59:59' for the whole day.\n";

const char *kGetDataDoc =
    "Get current snapshot data.\n"
    "\n"
    "    Args:\n"
    "        tickers: The list of tickers.\n"
    "        flds: The list of data fields.\n"
    "\n"
    "    Returns:\n"
    "        The requested dataframe (rows the flds, columns the tickers).\n";

// ---- the module's functions, as the interpreter calls them ---------------------------------

constexpr glue::Signature kReadRowFromCsv = "_read_row_from_csv(filename: str, row: int) -> List[str]";
constexpr glue::Signature kGetDataFiles = "_get_data_files(data_path) -> List[str]";
constexpr glue::Signature kFlexStrptime = "_flex_strptime(date_string: str) -> datetime";
constexpr glue::Signature kGetData = "get_data(tickers: List[str], flds: List[str]) -> pd.DataFrame";
constexpr glue::Signature kSetNumThreads = "set_num_threads(n: Optional[int]) -> None";
constexpr glue::Signature kGetNumThreads = "get_num_threads() -> int";
constexpr glue::Signature kGetHistoricalData =
    "get_historical_data(tickers: List[str], flds: List[str], start: str, end: str, csv_path: str, "
    "bar_convention: str = 'end', return_ohlcv: bool = False) -> pd.DataFrame";

const char *kFlexStrptimeDoc =
    "Parses a date string with varying levels of precision.\n"
    "    Tries formats from most specific to least specific.";
const char *kSetNumThreadsDoc =
    "Caps the native threads that read and clean CSV files for get_historical_data.\n"
    "\n"
    "    n: at most this many threads (1 reads on the calling thread alone); None removes\n"
    "    the cap, leaving the environment variable ORVANE_NUM_THREADS or, without it,\n"
    "    every core available to the process. Results do not depend on the number.";
const char *kGetNumThreadsDoc = "The number of native threads the next get_historical_data call reads and cleans with.";

nb::object call_read_row(glue::Call &c) { return read_row(c[kReadRowFromCsv["filename"]], c[kReadRowFromCsv["row"]]); }

nb::object call_get_data_files(glue::Call &c) { return get_data_files(c[kGetDataFiles["data_path"]]); }

nb::object call_flex_strptime(glue::Call &c) { return flex_strptime(c[kFlexStrptime["date_string"]]); }

nb::object call_get_data(glue::Call &) {
    glue::raise(PyExc_NotImplementedError, "`get_data` is not available in `localcsv`.");
}

nb::object call_set_num_threads(glue::Call &c) {
    nb::handle n = c[kSetNumThreads["n"]];
    if (n.is_none()) {
        g_num_threads = 0;
        return nb::none();
    }
    // Any positive whole number, however large, is capped.
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (!overflow && value < 1))
        glue::raise(PyExc_ValueError, "n must be a positive whole number or None, not " + glue::to_str(n));
    g_num_threads = overflow ? glue::kMaxThreads : (int) std::min<long long>(value, glue::kMaxThreads);
    return nb::none();
}

nb::object call_get_num_threads(glue::Call &) { return nb::int_(thread_count()); }

nb::object call_get_historical_data(glue::Call &c) {
    nb::handle tickers = c[kGetHistoricalData["tickers"]], flds = c[kGetHistoricalData["flds"]];
    nb::handle start = c[kGetHistoricalData["start"]], end = c[kGetHistoricalData["end"]];
    nb::handle csv_path = c[kGetHistoricalData["csv_path"]];
    return historical(tickers, flds, start, end, csv_path, c[kGetHistoricalData["bar_convention"]],
                      truthy(c[kGetHistoricalData["return_ohlcv"]]));
}

}  // namespace api

using namespace api;

ORVANE_MODULE(api, m) {
    m.attr("os") = glue::import("os");
    m.attr("csv") = glue::import("csv");
    m.attr("List") = glue::import("typing").attr("List");
    nb::object datetime_mod = glue::import("datetime");
    m.attr("datetime") = datetime_mod.attr("datetime");
    m.attr("timedelta") = datetime_mod.attr("timedelta");
    m.attr("pd") = glue::import("pandas");

    glue::def(m, kReadRowFromCsv, "Read the `row`-th row into a list.", call_read_row);
    glue::def(m, kGetDataFiles, "Fetch csv files", call_get_data_files);
    glue::def(m, kFlexStrptime, kFlexStrptimeDoc, call_flex_strptime);
    glue::def(m, kGetData, kGetDataDoc, call_get_data);
    glue::def(m, kSetNumThreads, kSetNumThreadsDoc, call_set_num_threads);
    glue::def(m, kGetNumThreads, kGetNumThreadsDoc, call_get_num_threads);
    glue::def(m, kGetHistoricalData, kHistoricalDoc, call_get_historical_data);
}
