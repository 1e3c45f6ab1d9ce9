// What the units of orvane_data.from_localcsv.api share: the tree's fields and formats, the pandas
// version decided at load, the DEBUG log of hand-overs, and the steps each unit offers the others
// (api_pandas.cpp: the query's pandas steps per ticker; api_native.cpp: the native road;
// api_table.cpp: the table reshaped natively).
#pragma once

#include "glue/arrays.hpp"
#include "glue/glue.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include "core/csv_bars.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace api {

namespace core = orvane::core;

using glue::truthy;
using glue::contains;
using glue::builtin;
using glue::numpy_of;
using glue::object_array;
using glue::utf8;

// What one query works with, made once when it starts and passed down.
struct QueryOptions {
    unsigned threads = 1;         // native threads that read and clean the files
    nb::object text_dtype;        // the dtype pandas gives text now
    bool text_is_object = true;   // ... which is object (no future.infer_string)
    bool microseconds = false;    // the time keys become microseconds (pandas 3), else nanoseconds
    core::CsvOptions csv;         // how the native reader matches the installed pandas
};
// A DEBUG record naming the file (or ticker) and why it leaves the native road.
void log_fallback(const std::string &where, const char *why);

// The file helpers (api.cpp): _read_row_from_csv, _get_data_files, _flex_strptime.
nb::object read_row(nb::handle filename, nb::handle row);
nb::object get_data_files(nb::handle data_path);
nb::object flex_strptime(nb::handle text);

// The window of one query, read before any file is: `start` and `end` by _flex_strptime.
struct QueryWindow {
    nb::object start, end;            // as the caller gave them
    nb::object lower_text;            // start, or for bar_convention "start" one minute earlier as text
    nb::object first_day, last_day;   // the days of start and end: the day files kept
    core::Window window;              // the bars kept
};
QueryWindow read_window(nb::handle start, nb::handle end, nb::handle bar_convention);

// Where a ticker's bars are: its directory and its data files (interpreter strings, so that any
// path the caller gives is handed to the file system as the interpreter would).
struct Located {
    nb::object data_path;
    nb::list files;  // daily: its ohlcv.csv; intraday: the day files in range, ascending
};

struct TickerBars {
    nb::object ticker;
    nb::object first_file;               // the first data file read, if any (for error notes)
    nb::object df;                       // the pandas road's frame, or
    std::unique_ptr<core::Bars> native;  // the native road's columns
};

// ---- the pandas steps (api_pandas.cpp) ----
// Where a ticker's files are: its directory and, for an intraday tree, its day files in the window.
Located locate(nb::handle ticker, const QueryWindow &w, nb::handle csv_path, bool daily);
// One ticker's cleaned bars through pandas, step by step.
nb::object pandas_ticker(nb::handle ticker, const Located &loc, const QueryWindow &w, bool daily);

// ---- the native road (api_native.cpp) ----
// The native threads of one query: set_num_threads' cap (g_num_threads, 0 for none), else
// glue::default_threads(). The cap may be set from any thread.
extern std::atomic<int> g_num_threads;
unsigned thread_count();
// Every ticker's bars, in the tickers' order: files cleaned natively on the options' threads, the
// pandas steps for those the native reader refuses.
std::vector<TickerBars> all_ticker_bars(nb::handle tickers, const QueryWindow &w, nb::handle csv_path, bool daily,
                                        const QueryOptions &options);
// A ticker's bars as a frame (the native road's columns made into one, once).
nb::object frame_of(TickerBars &t, const QueryOptions &options);
// The file column of each field of the tree, in the fields' order.
extern const char *const kSourceField[6];
// ---- the native table (api_table.cpp) ----
// The (field, date) x ticker table built natively, or an invalid object when some ticker's bars
// are outside what the native reshape reproduces exactly.
nb::object native_table(std::vector<TickerBars> &all, nb::handle flds, const std::vector<std::string> &measure,
                        const QueryOptions &options);

}  // namespace api
