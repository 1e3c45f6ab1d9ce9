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
#include "bucketio.hpp"

#include "core/distinct_texts.hpp"
#include "core/gzip_member.hpp"
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

// How read_csv gives a text column in the running pandas.
struct TextForm {
    bool arrow = false;  // false: an object array of str, NaN where missing
    nb::object dtype;    // arrow: StringDtype(storage="pyarrow", na_value=nan), pandas' `str`
};

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

nb::object text_cell(std::string_view cell) {
    PyObject *s = PyUnicode_New((Py_ssize_t) cell.size(), 127);  // ASCII, checked by the scan
    if (!s) throw nb::python_error();
    std::memcpy(PyUnicode_DATA(s), cell.data(), cell.size());
    return nb::steal(s);
}

// An object text column being filled: the numpy array's slots, the codes of the chunk being
// converted, and one str per distinct text made so far.
struct ObjectText {
    nb::object array;
    PyObject **slots = nullptr;
    DistinctTexts distinct;
    std::vector<uint32_t> codes;  // the current chunk's rows, from its first
    std::vector<nb::object> strs;  // strs[code]
};

// A text column as pyarrow's large_string layout: offsets, the bytes, and a validity bitmap.
struct ArrowText {
    struct Free {
        void operator()(uint8_t *p) const noexcept { std::free(p); }
    };
    std::vector<int64_t> offsets;  // n + 1
    std::unique_ptr<uint8_t, Free> bytes;  // `used` of them written
    size_t used = 0;
    std::vector<uint8_t> valid;    // bit i set: row i has a value
    size_t missing = 0;
    bool chunk_all_missing = false;  // some chunk has no value in this column

    // `most`: an upper bound of the bytes (the whole text), allocated once: pages never written
    // are never committed, and the buffer never moves.
    ArrowText(size_t n, size_t most)
        : offsets(n + 1, 0), bytes(static_cast<uint8_t *>(std::malloc(std::max<size_t>(most, 1)))), valid((n + 7) / 8, 0) {
        if (!bytes) throw std::bad_alloc();
    }
    // Row `row` (rows come in order); false for a missing cell.
    bool add(size_t row, std::string_view cell) {
        const bool value = !plain_csv::is_missing(cell);
        if (value) {
            valid[row / 8] |= uint8_t(1u << (row % 8));
            std::memcpy(bytes.get() + used, cell.data(), cell.size());
            used += cell.size();
        } else {
            ++missing;
        }
        offsets[row + 1] = (int64_t) used;
        return value;
    }
    bool present(size_t row) const { return valid[row / 8] >> (row % 8) & 1; }
    std::string_view cell(size_t row) const {
        return {reinterpret_cast<const char *>(bytes.get()) + offsets[row], size_t(offsets[row + 1] - offsets[row])};
    }
    // The bytes written, as a numpy array that owns them.
    nb::object take_bytes() {
        nb::capsule owner(bytes.get(), [](void *p) noexcept { std::free(p); });
        size_t shape[1] = {used};
        uint8_t *data = bytes.release();  // now the capsule's
        return nb::cast(nb::ndarray<nb::numpy, uint8_t, nb::ndim<1>>(data, 1, shape, owner));
    }
};

// The column as pandas' `str` array: pa.LargeStringArray.from_buffers over the buffers (no copy).
nb::object arrow_strings(ArrowText &&col, size_t n, const TextForm &form) {
    nb::object pa = glue::import("pyarrow");
    const size_t missing = col.missing;
    nb::object validity = missing ? pa.attr("py_buffer")(glue::numpy_of(std::move(col.valid))) : nb::none();
    nb::object values = pa.attr("LargeStringArray").attr("from_buffers")(
        n, pa.attr("py_buffer")(glue::numpy_of(std::move(col.offsets))),
        pa.attr("py_buffer")(col.take_bytes()), validity, missing);
    nb::object array_type = form.dtype.attr("construct_array_type")();
    if (pandas_major >= 3) return array_type(values, "dtype"_a = form.dtype);
    return array_type(values);  // pandas 2's class fixes its own dtype
}

// The same cells as the object column concatenating a float64 chunk gives: str, NaN where missing.
nb::object object_strings(const ArrowText &col, size_t n) {
    nb::object missing = glue::import("numpy").attr("nan");
    return glue::object_array(n, [&](size_t row) { return col.present(row) ? text_cell(col.cell(row)) : missing; });
}

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

// The columns of a plain file filled chunk by chunk, as read_csv(chunksize=...) reads them, and
// joined into the frame pd.concat gives.
class ChunkedColumns {
public:
    ChunkedColumns(std::string_view text, const plain_csv::Table &table, size_t rows_per_chunk, const TextForm &form);

    size_t chunks() const { return (n_ + rows_per_chunk_ - 1) / rows_per_chunk_; }

    // One chunk of read_csv(chunksize=...): its rows parsed into the columns with the GIL released,
    // then its object text cells made, under the GIL.
    void convert(size_t chunk) {
        const size_t first = chunk * rows_per_chunk_;
        const size_t last = std::min(n_, first + rows_per_chunk_);
        std::fill(present_.begin(), present_.end(), 0);
        std::fill(negative_zero_.begin(), negative_zero_.end(), 0);
        {
            nb::gil_scoped_release released;
            parse(first, last);
            integer_zeros(first, last);
        }
        fill_object_texts(first, last);
        // A chunk without any value in a text column is a float64 chunk to pandas.
        for (size_t col = 0; col < width_; ++col)
            if (arrow_texts_[col] && present_[col] == 0) arrow_texts_[col]->chunk_all_missing = true;
    }

    nb::object frame(nb::handle pd);

private:
    static constexpr int kAll = -1;
    static constexpr size_t kSharedChunkRows = 20000;  // below this, one worker

    void parse(size_t first, size_t last);
    void convert_rows(size_t first, size_t last, int which);
    void integer_zeros(size_t first, size_t last);
    void fill_object_texts(size_t first, size_t last);
    nb::object text_column(size_t col, nb::handle pd);

    std::string_view text_;
    const plain_csv::Table &table_;
    const TextForm &form_;
    const size_t n_, width_, rows_per_chunk_;
    std::vector<std::vector<int64_t>> ints_;
    std::vector<std::vector<double>> doubles_;
    std::vector<std::optional<ArrowText>> arrow_texts_;
    std::vector<std::optional<ObjectText>> object_texts_;
    std::vector<int> worker_;              // which of the two workers fills the column
    std::vector<size_t> present_;          // the chunk's values in a text column
    std::vector<uint8_t> negative_zero_;   // a float64 column's chunk holds -0.0 (each column one writer)
    nb::object nan_;
};

ChunkedColumns::ChunkedColumns(std::string_view text, const plain_csv::Table &table, size_t rows_per_chunk,
                               const TextForm &form)
    : text_(text), table_(table), form_(form), n_(table.rows()), width_(table.names.size()),
      rows_per_chunk_(rows_per_chunk), ints_(width_), doubles_(width_), arrow_texts_(width_),
      object_texts_(width_), worker_(width_, 1), present_(width_), negative_zero_(width_) {
    for (size_t col = 0; col < width_; ++col) {
        switch (table_.kinds[col]) {
            case plain_csv::ColumnKind::Int: ints_[col].resize(n_); break;
            case plain_csv::ColumnKind::Float: doubles_[col].resize(n_); break;
            case plain_csv::ColumnKind::Text:
                if (form_.arrow) {
                    arrow_texts_[col].emplace(n_, text_.size());
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
    // Two workers on a large chunk, each splitting the rows itself and filling its own columns:
    // the text columns alternate, the numbers go with the second.
    for (size_t col = 0, texts = 0; col < width_; ++col)
        if (table_.kinds[col] == plain_csv::ColumnKind::Text) worker_[col] = int(texts++ % 2);
}

void ChunkedColumns::parse(size_t first, size_t last) {
    if (std::thread::hardware_concurrency() > 1 && last - first >= kSharedChunkRows) {
        std::thread helper([&] { convert_rows(first, last, 1); });
        convert_rows(first, last, 0);
        helper.join();
    } else {
        convert_rows(first, last, kAll);
    }
}

// Rows [first, last) into the columns of worker `which` (all columns for kAll). An object text
// column gets its cells' codes here, and its str objects afterwards.
void ChunkedColumns::convert_rows(size_t first, size_t last, int which) {
    std::vector<std::string_view> cells;
    for (size_t row = first; row < last; ++row) {
        plain_csv::split_row(text_, table_, row, cells);
        for (size_t col = 0; col < width_; ++col) {
            if (which != kAll && worker_[col] != which) continue;
            const std::string_view cell = cells[col];
            switch (table_.kinds[col]) {
                case plain_csv::ColumnKind::Int: ints_[col][row] = plain_csv::to_int(cell); break;
                case plain_csv::ColumnKind::Float: {
                    const double value = plain_csv::to_double(cell);
                    doubles_[col][row] = value;
                    if (value == 0 && std::signbit(value)) negative_zero_[col] = 1;
                    break;
                }
                case plain_csv::ColumnKind::Text:
                    if (arrow_texts_[col]) {
                        present_[col] += arrow_texts_[col]->add(row, cell);
                    } else {
                        ObjectText &o = *object_texts_[col];
                        o.codes[row - first] = plain_csv::is_missing(cell) ? DistinctTexts::kMissing : o.distinct.code(cell);
                    }
                    break;
            }
        }
    }
}

// A chunk of a float64 column without a decimal is integers to pandas' parser, and its -0 the
// integer 0: +0.0 once the column is float64.
void ChunkedColumns::integer_zeros(size_t first, size_t last) {
    std::vector<std::string_view> cells;
    for (size_t col = 0; col < width_; ++col) {
        if (!negative_zero_[col]) continue;
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

// The chunk's object text cells: the str of their text (made once per distinct text), NaN where
// missing.
void ChunkedColumns::fill_object_texts(size_t first, size_t last) {
    for (auto &o : object_texts_) {
        if (!o) continue;
        for (size_t c = o->strs.size(); c < o->distinct.size(); ++c) o->strs.push_back(text_cell(o->distinct.text(c)));
        for (size_t row = first; row < last; ++row) {
            const uint32_t code = o->codes[row - first];
            PyObject *value = code == DistinctTexts::kMissing ? nan_.ptr() : o->strs[code].ptr();
            PyObject *old = o->slots[row];  // None from numpy.empty
            o->slots[row] = Py_NewRef(value);
            Py_XDECREF(old);
        }
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
        return object_column(object_strings(*arrow_texts_[col], n_));
    if (arrow_texts_[col]->chunk_all_missing)
        glue::import("warnings").attr("warn")(kAllMissingChunkWarning, glue::builtin("FutureWarning"));
    return arrow_strings(std::move(*arrow_texts_[col]), n_, form_);
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
