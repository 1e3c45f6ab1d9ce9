// The columns of the event bar table gathered from the bars and the calendar: text held by pyarrow
// and float64 / int64 numpy columns through the core's gathers, several columns at once on native
// threads; any other column through pandas' take. Also the ranking of the bars' keys straight from
// pyarrow. This unit holds the source buffers and makes the results' memory; the core reads and
// writes them without the GIL.
#include "tickbars_gather.hpp"

#include "glue/arrow_text.hpp"

#include "core/gather.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <type_traits>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

using glue::item;

nb::object as_i64(nb::handle array_like) {
    return np().attr("ascontiguousarray")(array_like, "dtype"_a = np().attr("int64"));
}

I64Array i64_view(nb::handle contiguous) { return nb::cast<I64Array>(contiguous); }

// An object ndarray stays object in the result (a DataFrame built from a bare one would infer
// pandas 3's string dtype for text, unlike the join that the pandas steps make).
nb::object keep_object(nb::object values) {
    if (!glue::has_attr(values, "__array_interface__") || !glue::equals(values.attr("dtype"), nb::str("object")))
        return values;
    return pd().attr("Series")(values, "dtype"_a = "object", "copy"_a = false);
}

namespace {

// ---- text held by pyarrow ---------------------------------------------------------------------
//
// pandas 3 keeps text in pyarrow string chunks, and `take` on them copies every string through
// pyarrow's take (after `one_chunk` has combined the chunks of a concatenated table into a new
// buffer of the whole column). On pandas 2 the same text is an object array and `take` is a numpy
// gather of pointers. Here the rows are read straight from the chunks' offsets and bytes and
// written into one new chunk of the same pyarrow type, without the GIL. Only the plain layout is
// handled (string or large_string chunks without missing values, and a pandas that wraps a pyarrow
// result as its own take does); anything else goes to pandas' take.

// The errors of a pyarrow or pandas array in another layout (pyarrow's errors derive from these).
bool other_layout(nb::python_error &e) {
    return glue::expected(e, {PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError, PyExc_NotImplementedError});
}

// The chunks of a pandas array held as pyarrow string or large_string without missing values.
bool text_chunks(nb::handle values, nb::object &chunked, core::TextChunks &out) {
    chunked = glue::arrow_data(values);
    if (chunked.is_none()) return false;
    if (nb::cast<int64_t>(chunked.attr("null_count")) != 0) return false;
    return glue::arrow_texts(chunked, out) && !out.chunks.empty();
}

// A new pyarrow buffer of `size` bytes and where to write it.
nb::object new_buffer(int64_t size, unsigned char *&data) {
    nb::object buffer = glue::import("pyarrow").attr("allocate_buffer")(size);
    data = glue::buffer_data<unsigned char>(buffer);
    core::advise_huge_pages(data, static_cast<size_t>(size));
    return buffer;
}

// `take(values, rows, allow_fill=True)` for text held by pyarrow (-1: missing), in steps: with the
// GIL the source is read and the offsets' buffer made; without it the runs and offsets; with it the
// bytes' buffer; without it the bytes; with it the pyarrow array wrapped as pandas' take wraps it.
// A step that meets something other than the plain layout ends the gather (pandas' take follows).
class TextGather {
  public:
    bool prepare(nb::handle values, const int64_t *rows, size_t n) {
        rows_ = rows;
        n_ = n;
        try {
            if (!text_chunks(values, chunked_, src_)) return false;
            values_ = nb::borrow(values);
            offsets_buffer_ = new_buffer(static_cast<int64_t>((n + 1) * (src_.large ? 8 : 4)), offsets_);
            return true;
        } catch (nb::python_error &e) {
            if (!other_layout(e)) throw;
            return false;
        }
    }
    bool plan() { return take_.plan(src_, rows_, n_, offsets_); }
    bool allocate() {
        try {
            bytes_buffer_ = new_buffer(take_.bytes(), bytes_);
            validity_ = nb::none();
            if (take_.missing() > 0) validity_ = new_buffer(static_cast<int64_t>((n_ + 7) / 8), valid_);
            return true;
        } catch (nb::python_error &e) {
            // a size pyarrow refuses; running out of memory is the caller's to see
            if (!glue::expected(e, {PyExc_ValueError, PyExc_OverflowError})) throw;
            return false;
        }
    }
    void copy() { take_.copy(bytes_, valid_); }
    // pyarrow.Array.from_buffers in the values' own pandas array type, or an invalid object.
    nb::object result() {
        try {
            nb::list buffers;
            buffers.append(validity_);
            buffers.append(offsets_buffer_);
            buffers.append(bytes_buffer_);
            nb::object array = glue::import("pyarrow").attr("Array").attr("from_buffers")(
                chunked_.attr("type"), n_, buffers, "null_count"_a = take_.missing());
            nb::object out = glue::array_from_arrow(array, values_.attr("dtype"));
            if (out.type().is(values_.type()) && glue::equals(out.attr("dtype"), values_.attr("dtype"))) return out;
        } catch (nb::python_error &e) {
            if (!other_layout(e)) throw;  // a pandas whose arrays wrap pyarrow otherwise
        }
        return {};
    }

  private:
    const int64_t *rows_ = nullptr;
    size_t n_ = 0;
    nb::object values_, chunked_, offsets_buffer_, bytes_buffer_, validity_;
    core::TextChunks src_;
    core::TextTake take_;
    unsigned char *offsets_ = nullptr, *bytes_ = nullptr, *valid_ = nullptr;
};

// `take(values, rows, allow_fill=True)` for a float64 or int64 numpy column: the result's array
// made with the GIL, filled without it. An int64 column becomes float64 where a row is missing, or
// everywhere when `as_if_missing`, as pandas promotes it.
class NumberGather {
  public:
    bool prepare(nb::handle values, const int64_t *rows, size_t n, const core::RowSpan &span, bool as_if_missing) {
        if (!nb::isinstance(values, np().attr("ndarray"))) return false;
        nb::object dtype = values.attr("dtype");
        if (glue::equals(dtype, nb::str("float64"))) return bind<double, double>(values, rows, n, span, "float64");
        if (!glue::equals(dtype, nb::str("int64"))) return false;
        return as_if_missing || span.lowest == -1 ? bind<int64_t, double>(values, rows, n, span, "float64")
                                                  : bind<int64_t, int64_t>(values, rows, n, span, "int64");
    }
    void fill() { fill_(*this); }
    nb::object result() const { return out_; }

  private:
    template <class From, class To>
    bool bind(nb::handle values, const int64_t *rows, size_t n, const core::RowSpan &span, const char *dtype) {
        using Source = nb::ndarray<const From, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        using Result = nb::ndarray<To, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        Source src;
        if (!nb::try_cast(values, src, false)) return false;
        const int64_t length = static_cast<int64_t>(src.shape(0)), lowest = std::is_floating_point_v<To> ? -1 : 0;
        if (n > 0 && (span.lowest < lowest || span.highest >= length)) return false;
        source_ = nb::borrow(values);
        out_ = np().attr("empty")(n, "dtype"_a = dtype);
        from_ = src.data();
        to_ = nb::cast<Result>(out_).data();
        rows_ = rows;
        n_ = n;
        fill_ = [](NumberGather &g) {
            core::take_numbers(static_cast<const From *>(g.from_), g.rows_, g.n_, static_cast<To *>(g.to_));
        };
        return true;
    }
    nb::object source_, out_;
    const void *from_ = nullptr;
    void *to_ = nullptr;
    const int64_t *rows_ = nullptr;
    size_t n_ = 0;
    void (*fill_)(NumberGather &) = nullptr;
};

// Values of a column at `rows` (-1: missing), promoted as a left join promotes them when
// `as_if_missing` says that the join filled rows that were dropped later.
nb::object take_values(nb::handle values, nb::handle rows, bool as_if_missing) {
    nb::object take = pd().attr("api").attr("extensions").attr("take");
    nb::object out;
    if (!as_if_missing) {
        out = take(values, rows, "allow_fill"_a = true);
    } else {
        nb::object padded = np().attr("append")(rows, -1);
        out = item(take(values, padded, "allow_fill"_a = true),
                   nb::steal(PySlice_New(nullptr, nb::int_(-1).ptr(), nullptr)));
    }
    return keep_object(out);
}

}  // namespace

// Arrow-backed values in one chunk: a gather across the many chunks that a concatenated table
// holds costs several times as much as combining them once and gathering from one buffer. Any
// surprise (another array layout) keeps the values as they are.
nb::object one_chunk(nb::object values) {
    nb::object chunks = glue::arrow_data(values);
    if (chunks.is_none() || !glue::has_attr(chunks, "num_chunks") || nb::cast<int64_t>(chunks.attr("num_chunks")) <= 1)
        return values;
    try {
        nb::object pa = glue::import("pyarrow");
        nb::list single;
        single.append(chunks.attr("combine_chunks")());
        nb::object combined = pa.attr("chunked_array")(single);
        nb::object out;
        try {
            out = nb::borrow(values.type())(combined, "dtype"_a = values.attr("dtype"));
        } catch (nb::python_error &e) {
            if (!glue::expected(e, {PyExc_TypeError})) throw;  // an array type that takes no dtype
            out = nb::borrow(values.type())(combined);
        }
        if (glue::equals(out.attr("dtype"), values.attr("dtype")) && nb::len(out) == nb::len(values)) return out;
    } catch (nb::python_error &e) {
        if (!other_layout(e)) throw;
    }
    return values;
}

void gather_columns(std::vector<ColumnTake> &columns, unsigned threads) {
    enum Kind { kPandas, kText, kNumber };
    struct Job {
        Kind kind = kPandas;
        I64Array rows;
        TextGather text;
        NumberGather number;
    };
    std::vector<Job> jobs(columns.size());
    std::vector<std::pair<const int64_t *, core::RowSpan>> spans;  // one per distinct rows array
    spans.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        Job &job = jobs[i];
        job.rows = i64_view(columns[i].rows);
        const int64_t *rows = job.rows.data();
        const size_t n = job.rows.shape(0);
        auto span = std::find_if(spans.begin(), spans.end(), [&](const auto &s) { return s.first == rows; });
        if (span == spans.end()) span = spans.emplace(spans.end(), rows, core::RowSpan(rows, n));
        if (job.text.prepare(columns[i].values, rows, n))
            job.kind = kText;
        else if (job.number.prepare(columns[i].values, rows, n, span->second, columns[i].as_if_missing))
            job.kind = kNumber;
    }
    {
        nb::gil_scoped_release unlocked;
        core::parallel_for(jobs.size(), threads, [&](size_t i) {
            if (jobs[i].kind == kText && !jobs[i].text.plan()) jobs[i].kind = kPandas;
            if (jobs[i].kind == kNumber) jobs[i].number.fill();
        });
    }
    for (Job &job : jobs)
        if (job.kind == kText && !job.text.allocate()) job.kind = kPandas;
    {
        nb::gil_scoped_release unlocked;
        core::parallel_for(jobs.size(), threads, [&](size_t i) {
            if (jobs[i].kind == kText) jobs[i].text.copy();
        });
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        ColumnTake &col = columns[i];
        if (jobs[i].kind == kText) col.result = jobs[i].text.result();
        if (jobs[i].kind == kNumber) col.result = jobs[i].number.result();
        if (!col.result.is_valid()) col.result = take_values(one_chunk(col.values), col.rows, col.as_if_missing);
    }
}

// The keys' ranks read from pyarrow's chunks in place, without gathering them.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, unsigned threads, std::vector<int64_t> &codes) {
    nb::object chunked;
    core::TextChunks src;
    try {
        if (!text_chunks(values, chunked, src)) return false;
    } catch (nb::python_error &e) {
        if (!other_layout(e)) throw;
        return false;
    }
    nb::gil_scoped_release unlocked;
    return core::rank_text_rows(src, rows, n, threads, codes);
}

}  // namespace tickbars
