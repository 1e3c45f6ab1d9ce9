// The chunked gzip CSV read, natively where the file is plain enough to be sure of pandas' answer.
//
// pandas reads each chunk with its C parser and concatenates the chunks. For a plain file (see
// core/plain_csv.hpp) that gives, column by column: int64 when every cell is an integer, float64
// when there are decimals or missing cells, text otherwise (NaN where missing), and a RangeIndex.
// A chunk of a float64 column without decimals is read as integers first, so its "-0" becomes 0.0;
// only a chunk with a decimal in that column keeps -0.0.
// Text comes in the form read_csv gives it under pandas' future.infer_string option at the time of
// the call: object arrays of str, or the `str` dtype on pyarrow large_string. A chunk whose cells of
// a text column are all missing is read as float64; concatenating it with `str` chunks gives object
// on pandas 3, while pandas 2 leaves the all-missing chunk out of the choice of dtype (keeping `str`)
// and warns that it will stop doing so. This unit builds that frame from the decompressed bytes in
// one scan and one conversion pass, stepping the progress bar once per chunk of `chunksize` rows.
// Every other file, a pandas whose text form is another, and a replaced `pd` or `gzip` take
// pandas' own road.
#include "bucketio_texts.hpp"

#include "core/gzip_member.hpp"
#include "core/parallel.hpp"
#include "core/plain_csv.hpp"
#include "glue/arrays.hpp"
#include "glue/pandas_options.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

using namespace nb::literals;
namespace plain_csv = orvane::core::plain_csv;
namespace gzip_member = orvane::core::gzip_member;
using orvane::core::DistinctTexts;

namespace bucketio {

namespace {

// Bound at load and kept for the life of the process (never released, so nothing is freed after
// the interpreter has gone); the native road stands in only for these.
PyObject *loaded_pandas = nullptr, *loaded_gzip = nullptr;
int pandas_major = 0;

// read_csv follows the future.infer_string option and then builds StringDtype(na_value=nan), whose
// storage follows the mode.string_storage option: this asks the same. nullopt when the answer is
// a form built here cannot give (python storage, or no pyarrow to hold the text).
std::optional<TextForm> text_form() {
    try {
        if (!glue::infer_string()) return TextForm{};
        nb::object dtype = glue::text_dtype();
        if (glue::to_str(dtype.attr("storage")) != "pyarrow") return std::nullopt;
        glue::import("pyarrow");
        return TextForm{true, dtype};
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return std::nullopt;
    }
}

constexpr const char *kAllMissingChunkWarning =
    "The behavior of DataFrame concatenation with empty or all-NA entries is deprecated. In a future version, "
    "this will no longer exclude empty or all-NA columns when determining the result dtypes. To retain the old "
    "behavior, exclude the relevant entries before the concat operation.";

// The native road's reasons to stand aside, checked in the order read_plain meets them: the loaded
// pandas and gzip, an int chunk size of at least 1 that fits int64, a bytes body. The rows per chunk,
// or nullopt when pandas must read.
std::optional<size_t> native_rows_per_chunk(glue::Call &c, nb::handle pd, nb::handle body, nb::handle chunksize) {
    if (!pandas_major || pd.ptr() != loaded_pandas || c.global("gzip").ptr() != loaded_gzip) return std::nullopt;
    if (!PyLong_CheckExact(chunksize.ptr())) return std::nullopt;
    const long long rows_per_chunk = PyLong_AsLongLong(chunksize.ptr());
    if (rows_per_chunk == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();  // a chunk size beyond int64: pandas' road says what it makes of it
        return std::nullopt;
    }
    if (rows_per_chunk < 1) return std::nullopt;
    if (!PyBytes_Check(body.ptr())) return std::nullopt;
    return (size_t) rows_per_chunk;
}

// gzip.open(...).read() and the scan that decides every column's dtype (see plain_csv.hpp), with
// the GIL released. No table when the file is not plain or the stream is damaged: pandas reads it
// and reports.
struct ScannedFile {
    std::optional<gzip_member::Inflated> raw;
    std::optional<plain_csv::Table> table;
};

ScannedFile inflate_and_scan(std::string_view compressed) {
    ScannedFile file;
    nb::gil_scoped_release released;  // the bytes are held by the caller
    bool again = true;  // inflate and scan one after the other
    if (std::thread::hardware_concurrency() > 1) {
        // Inflating on a second thread while the lines that have come are scanned.
        gzip_member::InflateAhead ahead(compressed);
        file.table = plain_csv::scan_arriving(ahead.data(), [&](size_t seen) { return ahead.wait(seen); });
        if (!file.table) ahead.cancel();
        file.raw = ahead.finish();
        again = ahead.too_large();  // the trailer's size was wrong: its buffer was too small
        if (!file.raw) file.table.reset();
    }
    if (again) {
        file.raw = gzip_member::inflate_single(compressed);
        file.table.reset();
        if (file.raw) file.table = plain_csv::scan(file.raw->text());
    }
    return file;
}

// Text cells waiting to be numbered by a table of distinct texts, a group at a time (so that the
// table's cache misses overlap), each code then written to its row's place.
class PendingTexts {
public:
    explicit PendingTexts(DistinctTexts *table) : table_(table) {}
    void add(std::string_view cell, uint32_t *code) {
        cells_[count_] = cell;
        codes_[count_] = code;
        if (++count_ == kGroup) flush();
    }
    void flush() {
        uint32_t found[kGroup];
        if (count_) table_->codes(cells_, count_, found);
        for (size_t i = 0; i < count_; ++i) *codes_[i] = found[i];
        count_ = 0;
    }

private:
    static constexpr size_t kGroup = 32;
    DistinctTexts *table_;
    std::string_view cells_[kGroup];
    uint32_t *codes_[kGroup];
    size_t count_ = 0;
};

// The columns of a plain file filled chunk by chunk, as read_csv(chunksize=...) reads them, and
// joined into the frame pd.concat gives. A large chunk is shared by two workers: in two halves of
// rows, each converted whole (every column), or, for object text, by columns.
class ChunkedColumns {
public:
    ChunkedColumns(std::string_view text, const plain_csv::Table &table, size_t rows_per_chunk, const TextForm &form);

    size_t chunks() const { return (n_ + rows_per_chunk_ - 1) / rows_per_chunk_; }

    // One chunk of read_csv(chunksize=...): its rows parsed into the columns with the GIL released,
    // then the str objects of texts new to the tables made under the GIL, and the object text cells
    // placed without it.
    void convert(size_t chunk) {
        const size_t first = chunk * rows_per_chunk_;
        const size_t last = std::min(n_, first + rows_per_chunk_);
        const bool shared = std::thread::hardware_concurrency() > 1 && last - first >= kSharedChunkRows;
        // Object text shares its work by columns: a column's distinct texts in one table, whose
        // cache footprint one worker has to itself; every other chunk by halves of rows.
        const bool by_columns = shared && !form_.arrow;
        const size_t split = shared && !by_columns ? first + (last - first) / 2 : last;
        for (int w = 0; w < 2; ++w) {
            std::fill(present_[w].begin(), present_[w].end(), 0);
            std::fill(negative_zero_[w].begin(), negative_zero_[w].end(), 0);
        }
        add_pieces(first, split, last);
        chunk_first_ = first;
        {
            nb::gil_scoped_release released;
            if (by_columns) {
                on_two_workers([&](size_t w) { convert_rows(first, last, int(w), int(w)); });
            } else if (shared) {
                on_two_workers([&](size_t w) {
                    if (w == 0) convert_rows(first, split, 0, kAll);
                    else convert_rows(split, last, 1, kAll);
                });
            } else {
                convert_rows(first, last, 0, kAll);
            }
            integer_zeros(first, last);
        }
        for (auto &o : object_texts_)
            if (o) o->new_strs();
        {
            nb::gil_scoped_release released;
            if (by_columns) {
                on_two_workers([&](size_t w) { place_texts(first, last, split, by_columns, int(w)); });
            } else {
                place_texts(first, last, split, by_columns, kAll);
            }
        }
        for (auto &o : object_texts_)
            if (o) o->settle(nan_);
        // A chunk without any value in a text column is a float64 chunk to pandas.
        for (size_t col = 0; col < width_; ++col)
            if (arrow_texts_[col] && present_[0][col] + present_[1][col] == 0) arrow_texts_[col]->chunk_all_missing = true;
    }

    nb::object frame(nb::handle pd);

private:
    static constexpr size_t kSharedChunkRows = 2048;  // below this, one worker
    static constexpr int kAll = -1;                    // every column

    // work(0) and work(1) side by side (both on this thread when no other can be had), every
    // thread joined before a failure of either reaches the caller.
    template <class Work>
    static void on_two_workers(Work &&work) {
        orvane::core::parallel_for(2, 2, work);
    }
    void add_pieces(size_t first, size_t split, size_t last);
    void convert_rows(size_t first, size_t last, int worker, int owner);
    void integer_zeros(size_t first, size_t last);
    // The chunk's object text cells into their arrays, for the columns of `owner` (every column
    // for kAll): the rows before `split` were numbered by worker 0.
    void place_texts(size_t first, size_t last, size_t split, bool by_columns, int owner) {
        for (size_t col = 0; col < width_; ++col) {
            if (!object_texts_[col] || (owner != kAll && owner_[col] != owner)) continue;
            const size_t own_split = !by_columns ? split : owner_[col] == 0 ? last : first;
            object_texts_[col]->place(first, last, own_split, nan_.ptr());
        }
    }
    nb::object text_column(size_t col, nb::handle pd);

    std::string_view text_;
    const plain_csv::Table &table_;
    const TextForm &form_;
    const size_t n_, width_, rows_per_chunk_;
    std::vector<std::vector<int64_t>> ints_;
    std::vector<std::vector<double>> doubles_;
    std::vector<std::optional<ArrowText>> arrow_texts_;
    std::vector<std::optional<ObjectText>> object_texts_;
    std::vector<size_t> present_[2];          // the chunk's values in a text column, by worker
    std::vector<uint8_t> negative_zero_[2];   // a float64 column's chunk holds -0.0, by worker
    size_t piece_base_ = 0;                   // the current chunk's first piece in each ArrowText
    size_t chunk_first_ = 0;                  // the current chunk's first row
    std::vector<int> owner_;                  // the worker of each column, when shared by columns
    nb::object nan_;
};

ChunkedColumns::ChunkedColumns(std::string_view text, const plain_csv::Table &table, size_t rows_per_chunk,
                               const TextForm &form)
    : text_(text), table_(table), form_(form), n_(table.rows()), width_(table.names.size()),
      rows_per_chunk_(rows_per_chunk), ints_(width_), doubles_(width_), arrow_texts_(width_), object_texts_(width_),
      present_{std::vector<size_t>(width_), std::vector<size_t>(width_)},
      negative_zero_{std::vector<uint8_t>(width_), std::vector<uint8_t>(width_)} {
    for (size_t col = 0; col < width_; ++col) {
        switch (table_.kinds[col]) {
            case plain_csv::ColumnKind::Int: ints_[col].resize(n_); break;
            case plain_csv::ColumnKind::Float: doubles_[col].resize(n_); break;
            case plain_csv::ColumnKind::Text:
                if (form_.arrow) {
                    arrow_texts_[col].emplace();
                } else {
                    ObjectText &o = object_texts_[col].emplace();
                    o.array = glue::import("numpy").attr("empty")(n_, "dtype"_a = glue::builtin("object"));
                    o.slots = glue::array_data<PyObject *>(o.array);
                    o.codes.resize(std::min(n_, rows_per_chunk_));
                }
                break;
        }
    }
    nan_ = glue::import("numpy").attr("nan");
    // By columns, the text columns alternate between the workers and the numbers go with the second.
    owner_.assign(width_, 1);
    for (size_t col = 0, texts = 0; col < width_; ++col)
        if (table_.kinds[col] == plain_csv::ColumnKind::Text) owner_[col] = int(texts++ % 2);
}

// The pieces of each pyarrow text column for the chunk's halves [first, split) and [split, last)
// (the second empty when one worker converts the chunk), each with room for its rows' text.
void ChunkedColumns::add_pieces(size_t first, size_t split, size_t last) {
    auto line_start = [&](size_t row) { return row < n_ ? table_.line_starts[row] : text_.size(); };
    for (auto &a : arrow_texts_) {
        if (!a) continue;
        piece_base_ = a->pieces.size();
        a->pieces.emplace_back(first, split - first, line_start(split) - line_start(first));
        if (split < last) a->pieces.emplace_back(split, last - split, line_start(last) - line_start(split));
    }
}

// Rows [first, last) into the columns of `owner` (every column for kAll), by worker `worker` (0 or
// 1): into its own piece of a pyarrow text column, and numbered by its own table in an object text
// column, whose str objects are made afterwards.
void ChunkedColumns::convert_rows(size_t first, size_t last, int worker, int owner) {
    std::vector<std::string_view> cells;
    std::vector<ArrowPiece *> pieces(width_, nullptr);
    for (size_t col = 0; col < width_; ++col)
        if (arrow_texts_[col]) pieces[col] = &arrow_texts_[col]->pieces[piece_base_ + size_t(worker)];
    size_t *present = present_[worker].data();
    const char *const text_end = text_.data() + text_.size();
    uint8_t *negative_zero = negative_zero_[worker].data();
    std::vector<PendingTexts> pending;
    for (size_t col = 0; col < width_; ++col)
        pending.emplace_back(object_texts_[col] ? &object_texts_[col]->distinct[worker] : nullptr);
    for (size_t row = first; row < last; ++row) {
        plain_csv::split_row(text_, table_, row, cells);
        for (size_t col = 0; col < width_; ++col) {
            if (owner != kAll && owner_[col] != owner) continue;
            const std::string_view cell = cells[col];
            switch (table_.kinds[col]) {
                case plain_csv::ColumnKind::Int: ints_[col][row] = plain_csv::to_int(cell); break;
                case plain_csv::ColumnKind::Float: {
                    const double value = plain_csv::to_double(cell);
                    doubles_[col][row] = value;
                    if (value == 0 && std::signbit(value)) negative_zero[col] = 1;
                    break;
                }
                case plain_csv::ColumnKind::Text:
                    if (pieces[col]) {
                        present[col] += pieces[col]->add(row, cell, text_end);
                    } else {
                        uint32_t &code = object_texts_[col]->codes[row - chunk_first_];
                        if (orvane::core::cells::is_na_word(cell)) code = DistinctTexts::kMissing;
                        else pending[col].add(cell, &code);
                    }
                    break;
            }
        }
    }
    for (PendingTexts &p : pending) p.flush();
}

// A chunk of a float64 column without a decimal is integers to pandas' parser, and its -0 the
// integer 0: +0.0 once the column is float64.
void ChunkedColumns::integer_zeros(size_t first, size_t last) {
    std::vector<std::string_view> cells;
    for (size_t col = 0; col < width_; ++col) {
        if (!negative_zero_[0][col] && !negative_zero_[1][col]) continue;
        bool decimal = false;
        for (size_t row = first; row < last && !decimal; ++row) {
            plain_csv::split_row(text_, table_, row, cells);
            decimal = plain_csv::is_decimal(cells[col]);
        }
        if (decimal) continue;
        for (size_t row = first; row < last; ++row)
            if (doubles_[col][row] == 0) doubles_[col][row] = 0.0;
    }
}

// A text column as pd.concat(chunks) gives it. Object text is handed over as an object Series,
// which the frame keeps as it is (a bare array of str would be inferred as `str` where that is the
// default). pandas 2 warns once for each `str` column whose dtype it chose without its all-missing
// chunks.
nb::object ChunkedColumns::text_column(size_t col, nb::handle pd) {
    auto object_column = [&](nb::handle values) {
        return pd.attr("Series")(values, "dtype"_a = glue::builtin("object"), "copy"_a = false);
    };
    const bool concat_skips_all_missing = pandas_major == 2;
    if (object_texts_[col]) return object_column(object_texts_[col]->array);
    if (arrow_texts_[col]->chunk_all_missing && !concat_skips_all_missing)
        return object_column(arrow_texts_[col]->objects(n_));
    if (arrow_texts_[col]->chunk_all_missing)
        glue::import("warnings").attr("warn")(kAllMissingChunkWarning, glue::builtin("FutureWarning"));
    return arrow_texts_[col]->strings(form_, pandas_major);
}

// pd.concat(chunks): the columns side by side, in file order, over a RangeIndex.
nb::object ChunkedColumns::frame(nb::handle pd) {
    nb::dict columns;
    for (size_t col = 0; col < width_; ++col) {
        nb::str name(table_.names[col].data(), table_.names[col].size());
        switch (table_.kinds[col]) {
            case plain_csv::ColumnKind::Int: columns[name] = glue::numpy_of(std::move(ints_[col])); break;
            case plain_csv::ColumnKind::Float: columns[name] = glue::numpy_of(std::move(doubles_[col])); break;
            case plain_csv::ColumnKind::Text: columns[name] = text_column(col, pd); break;
        }
    }
    return pd.attr("DataFrame")(columns, "copy"_a = false);
}

// One step of the progress bar per chunk, as the chunk reader gives them (no total known), each
// step converting the next chunk.
void convert_with_progress(glue::Call &c, ChunkedColumns &columns) {
    const size_t chunks = columns.chunks();
    nb::object steps = glue::builtin("iter")(glue::builtin("range")(chunks));
    nb::dict progress_options = glue::tqdm_options_from_env();
    progress_options["unit"] = " chunks";
    nb::object progress = c.global("tqdm")(steps, **progress_options);
    size_t next = 0;  // chunks converted so far (a replaced tqdm may yield anything, or stop early)
    for (nb::handle step : progress) {
        (void) step;
        if (next < chunks) columns.convert(next++);
    }
    while (next < chunks) columns.convert(next++);
}

}  // namespace

void bind_loaded(nb::handle pd, nb::handle gzip) {
    loaded_pandas = nb::borrow(pd).release().ptr();
    loaded_gzip = nb::borrow(gzip).release().ptr();
    const int major = glue::pandas_major(pd);
    pandas_major = major == 2 || major == 3 ? major : 0;
}

nb::object read_plain(glue::Call &c, nb::handle body, nb::handle chunksize) {
    nb::object pd = c.global("pd");
    const std::optional<size_t> rows_per_chunk = native_rows_per_chunk(c, pd, body, chunksize);
    if (!rows_per_chunk) return {};
    const std::optional<TextForm> form = text_form();
    if (!form) return {};
    const std::string_view compressed(PyBytes_AS_STRING(body.ptr()), (size_t) PyBytes_GET_SIZE(body.ptr()));
    const ScannedFile file = inflate_and_scan(compressed);
    if (!file.table) return {};
    ChunkedColumns columns(file.raw->text(), *file.table, *rows_per_chunk, *form);
    convert_with_progress(c, columns);
    return columns.frame(pd);
}

}  // namespace bucketio
