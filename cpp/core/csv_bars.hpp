// Native reading and cleaning of local CSV bar files, and the (field, date) x ticker reshape.
//
// The reader decides only what it can decide exactly as pandas' default read_csv would (lines
// ending in LF or CRLF); on anything else (quotes, control bytes such as a lone CR, non-ASCII
// bytes, blank or ragged lines, values that pandas might read differently, dtypes it cannot
// settle) it answers `false`, and the caller hands the ticker to pandas instead of guessing.
#pragma once

#include "core/csv_window.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::core {

enum class CsvKind : uint8_t { Int, Float, Text, Time };

struct CsvColumn {
    std::string name;
    CsvKind kind = CsvKind::Text;
    std::vector<int64_t> ints;            // Int, Time (nanoseconds since the epoch)
    std::vector<double> floats;           // Float (NaN where missing)
    std::vector<std::string_view> texts;  // Text (a null data() where missing)
};

struct Frame {
    std::vector<CsvColumn> cols;
    size_t rows = 0;
    int find(std::string_view name) const;
};

// Why the last parse_data_file or clean_ticker on this thread answered false: a short phrase for
// the caller's log.
const char *last_refusal();

// Decimal text converted correctly rounded (pandas 3's read_csv) or as pandas 2's default
// converter does (the initial setting). Set once, before any parsing.
void set_correct_rounding(bool on);

// Reads a whole file; false when it cannot be opened or read (or its path holds a NUL byte).
bool read_file(const std::string &path, std::string &out);

// Parses one data file held in `bytes` (flat or grouped layout; for the grouped layout the
// principal group's bars with the "time_key" column first). Text values point into `bytes`.
bool parse_data_file(std::string_view bytes, Frame &out);

// One ticker's bars from its data files, in order: stacked, kept where their time keys lie in `window`,
// sorted by time key when `sort`, converted to timestamps, rows with a missing cell dropped,
// roll-adjusted when a "ticker" column is present. `buffers` keeps the file texts alive.
bool clean_ticker(const std::vector<std::string> &paths, bool sort, const Window &window, std::vector<std::string> &buffers,
                  Frame &out);

// One ticker's files and what clean_ticker makes of them.
struct TickerJob {
    std::vector<std::string> paths;
    bool sort = false;
    Window window;
    // Filled in by clean_tickers:
    bool ok = false;
    const char *refusal = "";  // why not, when !ok
    int refusal_file = -1;     // the position in `paths` of the first file at fault, or -1
    std::vector<std::string> buffers;
    Frame frame;
};

// clean_ticker for every job, on up to `threads` native threads: the files of all jobs are read
// and parsed in parallel, and the thread that parses a job's last file cleans that job. Each job
// ends as clean_ticker would end it, whatever the number of threads or the order of completion.
void clean_tickers(std::vector<TickerJob> &jobs, unsigned threads);

// Input of the reshape: one ticker's timestamps and, per field, its values.
struct ReshapeInput {
    int column = 0;                         // position of the ticker's id among the sorted ids
    const int64_t *dates = nullptr;
    size_t rows = 0;
    std::vector<const double *> fvalues;    // per field: float values, or null when ints
    std::vector<const int64_t *> ivalues;   // per field: int values when fvalues is null
};

// (field, date) x id table of means, fields in the given order, dates ascending (all dates of
// every ticker), `n_ids` columns; cells without a value are NaN. Column-major output: the
// column of id c is values[c * rows .. (c + 1) * rows). The ids' columns are filled on up to
// `threads` threads.
void reshape_mean(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                  std::vector<int64_t> &dates, std::vector<double> &values, unsigned threads = 1);
// Its two steps, for a caller that provides the table's memory: the dates, ascending, and the
// table of n_fields * dates.size() * n_ids values.
std::vector<int64_t> all_dates(const std::vector<ReshapeInput> &inputs);
void fill_means(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                const std::vector<int64_t> &dates, double *values, unsigned threads);

// Days in month m (1-12) of the proleptic Gregorian year y.
int days_in_month(int y, int m);

}  // namespace orvane::core
