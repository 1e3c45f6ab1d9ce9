// The columns of the event bar table gathered from the bars and the calendar: text held by pyarrow
// and float64 / int64 numpy columns read here, several columns at once on native threads; any
// other column through pandas' take. Also the ranking of the bars' keys straight from pyarrow.
#include "tickbars_windows.hpp"

#include "glue/arrow_text.hpp"

#include "core/distinct_texts.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

using glue::item;

// An object ndarray stays object in the result (a DataFrame built from a bare one would infer
// pandas 3's string dtype for text, unlike the join that the pandas steps make).
nb::object keep_object(nb::object values) {
    if (!glue::has_attr(values, "__array_interface__") || !glue::equals(values.attr("dtype"), nb::str("object")))
        return values;
    return pd().attr("Series")(values, "dtype"_a = "object", "copy"_a = false);
}

namespace {

// ---- text held by pyarrow: the gather of `take` done here ---------------------------------
//
// pandas 3 keeps text in pyarrow string chunks, and `take` on them copies every string through
// pyarrow's take (after `one_chunk` has combined the chunks of a concatenated table into a new
// buffer of the whole column). On pandas 2 the same text is an object array and `take` is a numpy
// gather of pointers. Here the rows are read straight from the chunks' offsets and bytes and
// written into one new chunk of the same pyarrow type, without the GIL. Only the plain layout is
// handled (string or large_string chunks without missing values, and a pandas that wraps a pyarrow
// result as its own take does); anything else goes to pandas' take.

using TextChunk = glue::ArrowTextChunk;
using TextChunks = glue::ArrowTexts;

// The chunks of a pandas array held as pyarrow string or large_string without missing values.
bool text_chunks(nb::handle values, nb::object &chunked, TextChunks &out) {
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

template <class Offset>
int64_t load(const unsigned char *offsets, int64_t i) {
    Offset v;
    std::memcpy(&v, offsets + sizeof(Offset) * static_cast<size_t>(i), sizeof(Offset));
    return v;
}

template <class Offset>
void store(unsigned char *offsets, size_t i, int64_t v) {
    const Offset o = static_cast<Offset>(v);
    std::memcpy(offsets + sizeof(Offset) * i, &o, sizeof(Offset));
}

// A stretch of result rows written at once: source rows that follow each other in one chunk, one
// source row repeated (a gather from a few distinct rows mostly repeats them), or missing rows.
struct TextRun {
    enum Kind : uint8_t { kFollowing, kRepeated, kMissing };
    Kind kind = kMissing;
    uint32_t chunk = 0;
    int64_t local = 0;             // chunk row of the first source row
    int64_t count = 0;             // result rows
    const char *bytes = nullptr;   // the stretch's source bytes (following) or its one row's (repeated)
    int64_t size = 0;              // their length
};

// How many runs ahead the source is fetched into the cache: the rows of a gather are scattered
// over a column far larger than the cache, so each run would otherwise wait for memory.
constexpr size_t kRunsAhead = 8;

// The runs of `rows` (-1: missing); false for a row outside the column.
bool text_runs(const TextChunks &src, const int64_t *rows, size_t n, std::vector<TextRun> &runs) {
    const int64_t length = src.first_row.back();
    size_t c = 0;
    for (size_t i = 0, j = 0; i < n; i = j) {
        TextRun run;
        j = i + 1;
        if (rows[i] == -1) {
            while (j < n && rows[j] == -1) ++j;
        } else {
            if (rows[i] < 0 || rows[i] >= length) return false;
            c = src.chunk_of(rows[i], c);
            run.chunk = static_cast<uint32_t>(c);
            run.local = rows[i] - src.first_row[c];
            if (j < n && rows[j] == rows[i]) {
                run.kind = TextRun::kRepeated;
                while (j < n && rows[j] == rows[i]) ++j;
            } else {
                run.kind = TextRun::kFollowing;
                while (j < n && rows[j] == rows[j - 1] + 1 && rows[j] < src.first_row[c + 1]) ++j;
            }
        }
        run.count = static_cast<int64_t>(j - i);
        runs.push_back(run);
    }
    return true;
}

// The result's offsets, run by run, and each run's source bytes; `total` is the result's byte
// count and `missing` its missing rows. False for offsets that do not describe bytes of their chunk.
template <class Offset>
bool gather_offsets(const TextChunks &src, std::vector<TextRun> &runs, unsigned char *out, int64_t &total,
                    int64_t &missing) {
    total = missing = 0;
    size_t k = 0;  // result row
    for (size_t r = 0; r < runs.size(); ++r) {
        if (r + kRunsAhead < runs.size() && runs[r + kRunsAhead].kind != TextRun::kMissing) {
            const TextRun &ahead = runs[r + kRunsAhead];
            __builtin_prefetch(src.chunks[ahead.chunk].offsets + sizeof(Offset) * static_cast<size_t>(ahead.local));
        }
        TextRun &run = runs[r];
        if (run.kind == TextRun::kMissing) {
            for (int64_t i = 0; i < run.count; ++i) store<Offset>(out, k++, total);
            missing += run.count;
            continue;
        }
        const TextChunk &chunk = src.chunks[run.chunk];
        const int64_t from = load<Offset>(chunk.offsets, run.local);
        if (from < 0) return false;
        int64_t at = from;
        if (run.kind == TextRun::kRepeated) {
            at = load<Offset>(chunk.offsets, run.local + 1);
            if (at < from) return false;
            for (int64_t i = 0; i < run.count; ++i) store<Offset>(out, k++, total + i * (at - from));
        } else {
            for (int64_t i = 0; i < run.count; ++i) {
                store<Offset>(out, k++, total + (at - from));
                const int64_t next = load<Offset>(chunk.offsets, run.local + i + 1);
                if (next < at) return false;
                at = next;
            }
        }
        if (at > chunk.byte_count) return false;
        run.bytes = chunk.bytes + from;
        run.size = at - from;
        total += run.kind == TextRun::kRepeated ? run.size * run.count : run.size;
    }
    store<Offset>(out, k, total);
    return true;
}

// The result's bytes, and the validity bits when some rows are missing; the runs were checked by
// gather_offsets.
void gather_bytes(const std::vector<TextRun> &runs, unsigned char *out, unsigned char *valid) {
    int64_t at = 0;
    size_t k = 0;  // result row
    for (size_t r = 0; r < runs.size(); ++r) {
        if (r + kRunsAhead < runs.size()) __builtin_prefetch(runs[r + kRunsAhead].bytes);
        const TextRun &run = runs[r];
        if (run.kind == TextRun::kMissing) {
            k += static_cast<size_t>(run.count);
            continue;
        }
        if (valid)
            for (size_t i = k; i < k + static_cast<size_t>(run.count); ++i)
                valid[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        k += static_cast<size_t>(run.count);
        if (run.size == 0) continue;
        unsigned char *to = out + at;
        std::memcpy(to, run.bytes, static_cast<size_t>(run.size));
        if (run.kind == TextRun::kRepeated) {
            // The text once, then what is written so far copied after itself until the run is full.
            const int64_t whole = run.size * run.count;
            for (int64_t done = run.size; done < whole; done *= 2)
                std::memcpy(to + done, to, static_cast<size_t>(std::min(done, whole - done)));
            at += whole;
        } else {
            at += run.size;
        }
    }
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
            // another array layout (pyarrow's Arrow errors derive from these)
            if (!glue::expected(e, {PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError, PyExc_NotImplementedError})) throw;
            return false;
        }
    }
    bool plan() {
        return text_runs(src_, rows_, n_, runs_) &&
               (src_.large ? gather_offsets<int64_t>(src_, runs_, offsets_, total_, missing_)
                           : gather_offsets<int32_t>(src_, runs_, offsets_, total_, missing_) && total_ <= INT32_MAX);
    }
    bool allocate() {
        try {
            bytes_buffer_ = new_buffer(total_, bytes_);
            validity_ = nb::none();
            if (missing_ > 0) {
                validity_ = new_buffer(static_cast<int64_t>((n_ + 7) / 8), valid_);
                std::memset(valid_, 0, (n_ + 7) / 8);
            }
            return true;
        } catch (nb::python_error &e) {
            // a size pyarrow refuses; running out of memory is the caller's to see
            if (!glue::expected(e, {PyExc_ValueError, PyExc_OverflowError})) throw;
            return false;
        }
    }
    void copy() { gather_bytes(runs_, bytes_, valid_); }
    // pyarrow.Array.from_buffers in the values' own pandas array type, or an invalid object.
    nb::object result() {
        try {
            nb::list buffers;
            buffers.append(validity_);
            buffers.append(offsets_buffer_);
            buffers.append(bytes_buffer_);
            nb::object array = glue::import("pyarrow").attr("Array").attr("from_buffers")(
                chunked_.attr("type"), n_, buffers, "null_count"_a = missing_);
            nb::object out = glue::array_from_arrow(array, values_.attr("dtype"));
            if (out.type().is(values_.type()) && glue::equals(out.attr("dtype"), values_.attr("dtype"))) return out;
        } catch (nb::python_error &e) {
            // a pandas whose arrays wrap pyarrow otherwise
            if (!glue::expected(e, {PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError, PyExc_NotImplementedError})) throw;
        }
        return {};
    }

  private:
    const int64_t *rows_ = nullptr;
    size_t n_ = 0;
    nb::object values_, chunked_, offsets_buffer_, bytes_buffer_, validity_;
    TextChunks src_;
    std::vector<TextRun> runs_;
    unsigned char *offsets_ = nullptr, *bytes_ = nullptr, *valid_ = nullptr;
    int64_t total_ = 0, missing_ = 0;
};

// `take(values, rows, allow_fill=True)` for a float64 or int64 numpy column: the result's array
// made with the GIL, filled without it. The rows are scattered over a column far larger than the
// cache, so each value is fetched a few rows before it is read. An int64 column becomes float64
// where a row is missing, or everywhere when `as_if_missing`, as pandas promotes it.
// The smallest and largest of a gather's rows, found once for all the columns that share them.
struct RowSpan {
    int64_t lowest = INT64_MAX, highest = INT64_MIN;
    RowSpan(const int64_t *rows, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            lowest = std::min(lowest, rows[i]);
            highest = std::max(highest, rows[i]);
        }
    }
};

class NumberGather {
  public:
    bool prepare(nb::handle values, const int64_t *rows, size_t n, const RowSpan &span, bool as_if_missing) {
        if (!nb::isinstance(values, np().attr("ndarray"))) return false;
        span_ = &span;
        nb::object dtype = values.attr("dtype");
        if (glue::equals(dtype, nb::str("float64"))) return bind<double, double>(values, rows, n, "float64");
        if (!glue::equals(dtype, nb::str("int64"))) return false;
        return as_if_missing || span.lowest == -1 ? bind<int64_t, double>(values, rows, n, "float64")
                                                  : bind<int64_t, int64_t>(values, rows, n, "int64");
    }
    void fill() { fill_(*this); }
    nb::object result() const { return out_; }

  private:
    template <class From, class To>
    bool bind(nb::handle values, const int64_t *rows, size_t n, const char *dtype) {
        using Source = nb::ndarray<const From, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        using Result = nb::ndarray<To, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
        Source src;
        if (!nb::try_cast(values, src, false)) return false;
        const int64_t length = static_cast<int64_t>(src.shape(0)), lowest = std::is_floating_point_v<To> ? -1 : 0;
        if (n > 0 && (span_->lowest < lowest || span_->highest >= length)) return false;
        source_ = nb::borrow(values);
        out_ = np().attr("empty")(n, "dtype"_a = dtype);
        from_ = src.data();
        to_ = nb::cast<Result>(out_).data();
        rows_ = rows;
        n_ = n;
        fill_ = [](NumberGather &g) {
            const From *from = static_cast<const From *>(g.from_);
            To *to = static_cast<To *>(g.to_);
            constexpr size_t kAhead = 16;
            for (size_t i = 0; i < g.n_; ++i) {
                const int64_t *rows = g.rows_;
                if (i + kAhead < g.n_ && rows[i + kAhead] >= 0) __builtin_prefetch(from + rows[i + kAhead]);
                if constexpr (std::is_floating_point_v<To>)
                    to[i] = rows[i] < 0 ? std::numeric_limits<To>::quiet_NaN() : static_cast<To>(from[rows[i]]);
                else
                    to[i] = from[rows[i]];
            }
        };
        return true;
    }
    const RowSpan *span_ = nullptr;
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
        if (!glue::expected(e, {PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError, PyExc_NotImplementedError})) throw;
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
    std::vector<std::pair<const int64_t *, RowSpan>> spans;  // one per distinct rows array
    spans.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        Job &job = jobs[i];
        job.rows = i64_view(columns[i].rows);
        const int64_t *rows = job.rows.data();
        const size_t n = job.rows.shape(0);
        auto span = std::find_if(spans.begin(), spans.end(), [&](const auto &s) { return s.first == rows; });
        if (span == spans.end()) span = spans.emplace(spans.end(), rows, RowSpan(rows, n));
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

namespace {

// Rows [begin, end) numbered by their text in `distinct`, into `codes`. The rows are scattered over
// the column: a row's chunk is found and its offsets fetched kAhead rows before it is read, its
// bytes kAhead / 2 rows before. False for a row outside the column or offsets that do not describe
// bytes of their chunk.
bool number_texts(const TextChunks &src, const int64_t *rows, size_t begin, size_t end, core::DistinctTexts &distinct,
                  int64_t *codes) {
    const int64_t length = src.first_row.back();
    constexpr size_t kAhead = 16;
    struct Place {
        const TextChunk *chunk = nullptr;
        int64_t local = 0;
    };
    Place ahead[kAhead];
    size_t hint = 0;
    auto place = [&](size_t i) {
        if (rows[i] < 0 || rows[i] >= length) return Place{};
        hint = src.chunk_of(rows[i], hint);
        Place p{&src.chunks[hint], rows[i] - src.first_row[hint]};
        __builtin_prefetch(p.chunk->offsets + (src.large ? 8 : 4) * static_cast<size_t>(p.local));
        return p;
    };
    for (size_t i = begin; i < std::min(end, begin + kAhead); ++i) ahead[i % kAhead] = place(i);
    for (size_t i = begin; i < end; ++i) {
        if (i + kAhead / 2 < end) {
            const Place &p = ahead[(i + kAhead / 2) % kAhead];
            if (p.chunk) {
                const int64_t from = src.offset(*p.chunk, p.local);
                if (from >= 0 && from < p.chunk->byte_count) __builtin_prefetch(p.chunk->bytes + from);
            }
        }
        const Place p = ahead[i % kAhead];
        if (i + kAhead < end) ahead[i % kAhead] = place(i + kAhead);
        std::string_view text;
        if (!p.chunk || !src.text(*p.chunk, p.local, text)) return false;
        codes[i] = distinct.code(text);
    }
    return true;
}

}  // namespace

// `pd.factorize(take(values, rows), sort=True)[0]` for text held by pyarrow without missing
// values, read from the chunks' bytes without gathering them: each row's text numbered (in parts,
// on several threads), then the distinct texts ranked in byte order (the order in which pyarrow,
// and so pandas, sorts str). False when the values are not in that layout.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, unsigned threads, std::vector<int64_t> &codes) {
    nb::object chunked;
    TextChunks src;
    try {
        if (!text_chunks(values, chunked, src)) return false;
    } catch (nb::python_error &e) {
        if (!glue::expected(e, {PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError, PyExc_NotImplementedError})) throw;
        return false;
    }
    // The rows in parts, one per thread, each numbering its own texts; then every part's distinct
    // texts ranked together.
    constexpr size_t kRowsPerPart = size_t{1} << 14;
    const size_t parts = std::clamp<size_t>(n / kRowsPerPart, 1, std::max(threads, 1u));
    nb::gil_scoped_release unlocked;
    codes = core::large_vector<int64_t>(n);
    std::vector<core::DistinctTexts> numbered(parts);
    std::vector<char> read(parts, 0);
    core::parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        read[p] = number_texts(src, rows, n * p / parts, n * (p + 1) / parts, numbered[p], codes.data());
    });
    if (std::find(read.begin(), read.end(), 0) != read.end()) return false;
    std::vector<std::string_view> ranked;
    for (const core::DistinctTexts &d : numbered)
        for (size_t k = 0; k < d.size(); ++k) ranked.push_back(d.text(k));
    std::sort(ranked.begin(), ranked.end());
    ranked.erase(std::unique(ranked.begin(), ranked.end()), ranked.end());
    core::parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        const core::DistinctTexts &d = numbered[p];
        std::vector<int64_t> rank(d.size());
        for (size_t k = 0; k < d.size(); ++k)
            rank[k] = std::lower_bound(ranked.begin(), ranked.end(), d.text(k)) - ranked.begin();
        for (size_t i = n * p / parts; i < n * (p + 1) / parts; ++i) codes[i] = rank[static_cast<size_t>(codes[i])];
    });
    return true;
}


}  // namespace tickbars
