// The columns of the event bar table gathered from the bars and the calendar: text held by pyarrow,
// float64 / int64 numpy columns and datetimes through the core's gathers, several columns at once
// on native threads, object columns by reference; any other column through pandas' take. Also the
// ranking of the bars' keys straight from pyarrow. This unit holds the source buffers and makes the
// results' memory; the core reads and writes them without the GIL.
#include "tickbars_gather.hpp"
#include "tickbars_dtypes.hpp"

#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"
#include "glue/threads.hpp"

#include "core/gather.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
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

// `take(values, rows, allow_fill=True)` for a float64 or int64 numpy column, or for datetimes
// (naive or zoned, any unit): the result's array made with the GIL, filled without it. An int64
// column becomes float64 where a row is missing, or everywhere when `as_if_missing`, as pandas
// promotes it; datetimes hold NaT there and keep their dtype.
class NumberGather {
  public:
    bool prepare(nb::handle values, const int64_t *rows, size_t n, const core::RowSpan &span, bool as_if_missing) {
        if (nb::isinstance(values, pd().attr("arrays").attr("DatetimeArray"))) {
            if (!bind<int64_t, int64_t, true>(values.attr("asi8"), rows, n, span, "int64")) return false;
            stamps_dtype_ = values.attr("dtype");
            return true;
        }
        if (!nb::isinstance(values, np().attr("ndarray"))) return false;
        nb::object dtype = values.attr("dtype");
        if (glue::equals(dtype, nb::str("float64"))) return bind<double, double>(values, rows, n, span, "float64");
        if (!glue::equals(dtype, nb::str("int64"))) return false;
        return as_if_missing || span.lowest == -1 ? bind<int64_t, double>(values, rows, n, span, "float64")
                                                  : bind<int64_t, int64_t>(values, rows, n, span, "int64");
    }
    void fill() { fill_(*this); }
    nb::object result() const { return stamps_dtype_.is_valid() ? datetimes_of(out_, stamps_dtype_) : out_; }

  private:
    template <class From, class To, bool Stamps = false>
    bool bind(nb::handle values, const int64_t *rows, size_t n, const core::RowSpan &span, const char *dtype) {
        using Source = nb::ndarray<const From, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        using Result = nb::ndarray<To, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        Source src;
        if (!nb::try_cast(values, src, false)) return false;
        const int64_t length = static_cast<int64_t>(src.shape(0));
        const int64_t lowest = std::is_floating_point_v<To> || Stamps ? -1 : 0;
        if (n > 0 && (span.lowest < lowest || span.highest >= length)) return false;
        source_ = nb::borrow(values);
        out_ = np().attr("empty")(n, "dtype"_a = dtype);
        from_ = src.data();
        to_ = nb::cast<Result>(out_).data();
        rows_ = rows;
        n_ = n;
        fill_ = [](NumberGather &g) {
            const auto *from = static_cast<const From *>(g.from_);
            if constexpr (Stamps)
                core::take_stamps(from, g.rows_, g.n_, static_cast<To *>(g.to_));
            else
                core::take_numbers(from, g.rows_, g.n_, static_cast<To *>(g.to_));
        };
        return true;
    }
    nb::object source_, out_, stamps_dtype_;
    const void *from_ = nullptr;
    void *to_ = nullptr;
    const int64_t *rows_ = nullptr;
    size_t n_ = 0;
    void (*fill_)(NumberGather &) = nullptr;
};

// ---- object columns (pandas 2's text) -----------------------------------------------------------

// The memory of a 1-D, C-contiguous object ndarray of `length` elements, or null for anything else.
PyObject *const *object_slots(nb::handle values, int64_t &length) {
    if (!nb::isinstance(values, np().attr("ndarray")) || !glue::equals(values.attr("dtype"), nb::str("object")) ||
        nb::cast<int64_t>(values.attr("ndim")) != 1 || !glue::truthy(values.attr("flags").attr("c_contiguous")))
        return nullptr;
    length = static_cast<int64_t>(nb::len(values));
    return length == 0 ? nullptr : glue::array_data<PyObject *const>(values);
}

// `take(values, rows, allow_fill=True)` for an object ndarray: references copied, NaN for -1 (an
// object column keeps its dtype where the join fills it). Invalid for other values.
nb::object take_objects(nb::handle values, const int64_t *rows, size_t n, const core::RowSpan &span) {
    int64_t length = 0;
    PyObject *const *slots = object_slots(values, length);
    if (!slots || (n > 0 && (span.lowest < -1 || span.highest >= length))) return {};
    nb::object nan = np().attr("nan");
    nb::object out = np().attr("empty")(n, "dtype"_a = glue::builtin("object"));
    if (n == 0) return keep_object(out);
    // The rows reach across the whole column: the slot a few rows ahead is fetched while this one is
    // copied. References are counted inline (under the GIL, which this holds throughout).
    PyObject **dst = glue::array_data<PyObject *>(out);
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n && rows[i + kAhead] >= 0) __builtin_prefetch(slots + rows[i + kAhead]);
        PyObject *o = rows[i] < 0 ? nan.ptr() : slots[rows[i]];
        Py_INCREF(o);
        PyObject *old = dst[i];
        dst[i] = o;
        Py_XDECREF(old);
    }
    return keep_object(out);
}

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
        const core::RowSpan *span = nullptr;
        TextGather text;
        NumberGather number;
    };
    std::vector<Job> jobs(columns.size());
    // The span of each distinct rows array (several columns share one), found on the threads.
    struct Span {
        const int64_t *rows;
        size_t n;
        core::RowSpan span;
    };
    std::vector<Span> spans;
    std::vector<size_t> span_of(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        jobs[i].rows = i64_view(columns[i].rows);
        const int64_t *rows = jobs[i].rows.data();
        auto known = std::find_if(spans.begin(), spans.end(), [&](const Span &s) { return s.rows == rows; });
        span_of[i] = static_cast<size_t>(known - spans.begin());
        if (known == spans.end()) spans.push_back({rows, jobs[i].rows.shape(0), {}});
    }
    {
        nb::gil_scoped_release unlocked;
        core::parallel_for(spans.size(), threads, [&](size_t k) { spans[k].span = core::RowSpan(spans[k].rows, spans[k].n); });
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        Job &job = jobs[i];
        const int64_t *rows = job.rows.data();
        const size_t n = job.rows.shape(0);
        job.span = &spans[span_of[i]].span;
        if (job.text.prepare(columns[i].values, rows, n))
            job.kind = kText;
        else if (job.number.prepare(columns[i].values, rows, n, *job.span, columns[i].as_if_missing))
            job.kind = kNumber;
    }
    // Object columns are gathered by reference under the GIL while the numbers fill on other threads.
    glue::beside_held(
        jobs.size(), threads,
        [&](size_t i) {
            if (jobs[i].kind == kText && !jobs[i].text.plan()) jobs[i].kind = kPandas;
            if (jobs[i].kind == kNumber) jobs[i].number.fill();
        },
        [&] {
            for (size_t i = 0; i < columns.size(); ++i)
                if (jobs[i].kind == kPandas)
                    columns[i].result = take_objects(columns[i].values, jobs[i].rows.data(), jobs[i].rows.shape(0), *jobs[i].span);
        });
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
        if (col.result.is_valid()) continue;
        if (jobs[i].kind == kText) col.result = jobs[i].text.result();
        if (jobs[i].kind == kNumber) col.result = jobs[i].number.result();
        if (!col.result.is_valid())
            col.result = take_objects(col.values, jobs[i].rows.data(), jobs[i].rows.shape(0), *jobs[i].span);
        if (!col.result.is_valid()) col.result = take_values(one_chunk(col.values), col.rows, col.as_if_missing);
    }
}

namespace {

// Distinct objects by address, numbered in order of first appearance.
class DistinctObjects {
  public:
    int64_t code(PyObject *o) {
        size_t at = slot(o);
        for (; keys_[at]; at = (at + 1) & (keys_.size() - 1))
            if (keys_[at] == o) return codes_[at];
        keys_[at] = o;
        codes_[at] = static_cast<int64_t>(objects_.size());
        objects_.push_back(o);
        if (objects_.size() * 2 > keys_.size()) grow();
        return codes_[at];
    }
    const std::vector<PyObject *> &objects() const { return objects_; }

  private:
    size_t slot(PyObject *o) const {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(o) >> 4) * 0x9E3779B97F4A7C15ULL >> 20) &
               (keys_.size() - 1);
    }
    void grow() {
        std::vector<PyObject *> keys(keys_.size() * 2, nullptr);
        std::vector<int64_t> codes(keys.size());
        keys.swap(keys_);
        codes.swap(codes_);
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i]) {
                size_t at = slot(keys[i]);
                while (keys_[at]) at = (at + 1) & (keys_.size() - 1);
                keys_[at] = keys[i];
                codes_[at] = codes[i];
            }
    }
    std::vector<PyObject *> keys_ = std::vector<PyObject *>(1024, nullptr);
    std::vector<int64_t> codes_ = std::vector<int64_t>(1024);
    std::vector<PyObject *> objects_;
};

// pd.factorize(take(values, rows), sort=True)[0] for an object ndarray of str, None and NaN: each
// distinct object once, its text ranked in code-point order (UTF-8's byte order), None and NaN
// coded -1. False for any other element (pandas then decides how it compares).
bool rank_object_rows(nb::handle values, const int64_t *rows, size_t n, std::vector<int64_t> &codes) {
    int64_t length = 0;
    PyObject *const *slots = object_slots(values, length);
    if (!slots) return false;
    DistinctObjects distinct;
    codes = core::large_vector<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
        if (rows[i] < 0 || rows[i] >= length) return false;
        codes[i] = distinct.code(slots[rows[i]]);
    }
    const std::vector<PyObject *> &objects = distinct.objects();
    std::vector<std::pair<std::string_view, size_t>> texts;
    std::vector<int64_t> rank(objects.size(), -1);
    for (size_t k = 0; k < objects.size(); ++k) {
        PyObject *o = objects[k];
        if (o == Py_None || (PyFloat_CheckExact(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) continue;
        if (!PyUnicode_CheckExact(o)) return false;
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (!utf8) {
            nb::python_error e;  // a str with lone surrogates has no UTF-8
            if (!glue::expected(e, {PyExc_UnicodeError})) throw e;
            return false;
        }
        texts.emplace_back(std::string_view(utf8, static_cast<size_t>(size)), k);
    }
    std::sort(texts.begin(), texts.end());
    int64_t current = -1;
    for (size_t j = 0; j < texts.size(); ++j) {
        if (j == 0 || texts[j].first != texts[j - 1].first) ++current;
        rank[texts[j].second] = current;
    }
    for (int64_t &c : codes) c = rank[static_cast<size_t>(c)];
    return true;
}

}  // namespace

// The keys' ranks read in place: from pyarrow's chunks without the GIL, or from an object array's
// distinct objects.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, unsigned threads, std::vector<int64_t> &codes) {
    nb::object chunked;
    core::TextChunks src;
    try {
        if (!text_chunks(values, chunked, src)) return rank_object_rows(values, rows, n, codes);
    } catch (nb::python_error &e) {
        if (!other_layout(e)) throw;
        return false;
    }
    nb::gil_scoped_release unlocked;
    return core::rank_text_rows(src, rows, n, threads, codes);
}

}  // namespace tickbars
