// Native reading and cleaning of local CSV bar files, and the (field, date) x ticker reshape.
//
// The reader decides only what it can decide exactly as pandas' default read_csv would (lines
// ending in LF or CRLF); on anything else (quotes, control bytes such as a lone CR, non-ASCII
// bytes, blank or ragged lines, values that pandas might read differently, dtypes it cannot
// settle) it answers `false`, and the caller hands the ticker to pandas instead of guessing.
#pragma once

#include "core/csv_window.hpp"
#include "core/files.hpp"
#include "core/parsed.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::core {

enum class CsvKind : uint8_t { Int, Float, Text, Time };

// A column's values live in one of its three vectors, whose memory comes from the resource the
// column is made with (the heap by default; a cleaned ticker's block, see ColumnBlock).
struct CsvColumn {
    CsvColumn() = default;
    explicit CsvColumn(std::pmr::memory_resource *memory) : ints(memory), floats(memory), texts(memory) {}

    std::string name;
    CsvKind kind = CsvKind::Text;
    std::pmr::vector<int64_t> ints;            // Int, Time (nanoseconds since the epoch)
    std::pmr::vector<double> floats;           // Float (NaN where missing)
    std::pmr::vector<std::string_view> texts;  // Text (a null data() where missing)
};

struct Frame {
    std::vector<CsvColumn> cols;
    size_t rows = 0;
    bool complete = false;  // known to have no missing cell
    int find(std::string_view name) const;
};

// How the installed pandas reads what the reader must match, fixed for one query.
struct CsvOptions {
    // Decimal text converted correctly rounded (pandas 3's read_csv), else as pandas 2's default
    // converter does.
    bool correct_rounding = false;
};

// Parses one data file held in `bytes` (flat or grouped layout; for the grouped layout the
// principal group's bars with the "time_key" column first). Text values point into `bytes`.
Parsed<Frame> parse_data_file(std::string_view bytes, const CsvOptions &options);

// The memory of a cleaned ticker's columns, taken as one block of `bytes` and asked to be backed
// by 2 MiB pages: the columns of millions of rows are otherwise faulted in 4 KiB at a time, which
// costs more than filling them. Allocations beyond the block go to the heap.
class ColumnBlock {
public:
    explicit ColumnBlock(size_t bytes);
    ColumnBlock(const ColumnBlock &) = delete;
    ColumnBlock &operator=(const ColumnBlock &) = delete;
    std::pmr::memory_resource *memory() { return &resource_; }

private:
    struct Release {
        size_t mapped = 0;  // the length of the block's own map, 0 for a block from the heap
        void operator()(std::byte *p) const;
    };
    static std::unique_ptr<std::byte, Release> take(size_t bytes);
    std::unique_ptr<std::byte, Release> block_;
    std::pmr::monotonic_buffer_resource resource_;
};

// A ticker's cleaned bars; their text values point into `buffers`, their columns' memory is
// `block`'s (declared first, so that it goes last).
struct Bars {
    Bars() = default;
    Bars(Bars &&) = default;
    Bars &operator=(Bars &&other) noexcept {
        frame = std::move(other.frame);  // the old columns go while their block is still there
        buffers = std::move(other.buffers);
        block = std::move(other.block);
        return *this;
    }

    std::unique_ptr<ColumnBlock> block;
    Frame frame;
    std::vector<std::string> buffers;
};

// One ticker's bars from its data files' bytes, in order: stacked, kept where their time keys lie
// in `window`, sorted by time key when `sort`, converted to timestamps, rows with a missing cell
// dropped, roll-adjusted when a "ticker" column is present. A refusal names the first file at
// fault by its position.
Parsed<Bars> clean_ticker(const std::vector<std::string_view> &files, bool sort, const Window &window,
                          const CsvOptions &options);

// How the cleaners get a file's bytes: the file named `name` read whole into `out`; false when it
// cannot be read. Called on the cleaning threads, so it must be safe to call from several at once.
using ReadFile = std::function<bool(const std::string &name, FileBytes &out)>;

// One ticker's files and what clean_tickers makes of them.
struct TickerJob {
    std::vector<std::string> files;  // names given to the ReadFile
    bool sort = false;
    Window window;
    Parsed<Bars> result{Refusal{"not cleaned"}};
};

// clean_ticker for every job, on up to `threads` native threads: the files of all jobs are read
// (by `read`) and parsed in parallel, and the thread that parses a job's last file cleans that
// job. Each job ends as clean_ticker would end it, whatever the number of threads or the order
// of completion; a file `read` cannot read is refused as "the file cannot be read".
void clean_tickers(std::vector<TickerJob> &jobs, const CsvOptions &options, unsigned threads, const ReadFile &read);

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
