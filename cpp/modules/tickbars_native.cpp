// The native steps of the event windows: window minutes, the join of minutes with bars, the order of
// the event bars and the join with the calendar, over int64 nanosecond time stamps in
// core/event_windows; pandas hands over the columns and builds the result.
#include "tickbars_windows.hpp"

#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"

#include "core/distinct_texts.hpp"
#include "core/event_windows.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace nb::literals;
namespace core = orvane::core;

namespace tickbars {

namespace {

using glue::add;
using glue::builtin;
using glue::contains;
using glue::item;
using glue::truthy;

using I64Array = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Why the last native attempt on this thread left the inputs to the pandas steps.
thread_local const char *t_reason = "";

// Records the reason and answers "no native road" (false, or an invalid object).
bool pandas_steps(const char *why) {
    t_reason = why;
    return false;
}
nb::object pandas_steps_for(const char *why) {
    t_reason = why;
    return nb::object();
}

}  // namespace

// ---- numpy buffers and dtypes, shared with the checks ---------------------------------------

nb::object as_i64(nb::handle array_like) {
    return np().attr("ascontiguousarray")(array_like, "dtype"_a = np().attr("int64"));
}

I64Array i64_view(nb::handle contiguous) { return nb::cast<I64Array>(contiguous); }

// ---- the native steps ---------------------------------------------------------------------

bool small_int(nb::handle v, int64_t &out) {
    if (!PyLong_Check(v.ptr())) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow || (x == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = x;
    return true;
}

// "datetime64[us, UTC]" -> "us"; empty for anything that is not a numpy-style datetime64 dtype.
std::string datetime_unit(nb::handle dtype) {
    std::string text = glue::to_str(dtype);
    if (text.rfind("datetime64[", 0) != 0) return {};
    size_t end = text.find_first_of(",]", 11);
    return end == std::string::npos ? std::string{} : text.substr(11, end - 11);
}

int64_t per_second(const std::string &unit) {
    if (unit == "s") return 1;
    if (unit == "ms") return 1'000;
    if (unit == "us") return 1'000'000;
    if (unit == "ns") return 1'000'000'000;
    return 0;
}

// Both naive, or zones that pandas itself takes for the same (pandas 2 tells a pytz zone from the
// zoneinfo zone of the same name, and its join then falls back to UTC).
bool same_zone(nb::handle a, nb::handle b) {
    nb::object ta = nb::getattr(a, "tz", nb::none()), tb = nb::getattr(b, "tz", nb::none());
    if (ta.is_none() || tb.is_none()) return ta.is_none() && tb.is_none();
    nb::object tz_dtype = pd().attr("DatetimeTZDtype");
    return glue::equals(tz_dtype("ns", ta), tz_dtype("ns", tb));
}

// Text columns the native path reads: object, the default string dtype and pyarrow strings (the
// names themselves are checked to be text once they are factorised).
bool text_dtype(nb::handle dtype) {
    return truthy(pd().attr("api").attr("types").attr("is_string_dtype")(dtype));
}

// Time stamps as int64 nanoseconds, or an invalid object when they do not fit.
nb::object ns_values(nb::handle datetimes) {
    nb::object values = datetimes.attr("array");
    if (datetime_unit(values.attr("dtype")) != "ns") {
        try {
            values = values.attr("as_unit")("ns");
        } catch (nb::python_error &) {
            return {};  // beyond the nanosecond range: the pandas steps handle it
        }
    }
    return as_i64(values.attr("asi8"));
}

// The column a DataFrame built from rows holding `values` gets, as the pandas steps build it (the
// installed pandas decides dtype and time unit by inference).
nb::object inferred_column(nb::handle values) {
    nb::list rows;
    for (nb::handle v : values) rows.append(nb::make_tuple(v));
    return item(pd().attr("DataFrame")(rows), nb::int_(0)).attr("array");
}

nb::object inferred_dtype(nb::handle value) {
    nb::list one;
    one.append(value);
    return inferred_column(one).attr("dtype");
}

namespace {

nb::object datetimes_from_ns(std::vector<int64_t> &&ns, nb::handle dtype) {
    nb::object values = glue::numpy_of(std::move(ns)).attr("view")("M8[ns]");
    nb::object tz = nb::getattr(dtype, "tz", nb::none());
    nb::object index = pd().attr("DatetimeIndex")(values);
    if (!tz.is_none()) index = index.attr("tz_localize")("UTC").attr("tz_convert")(tz);
    const std::string unit = datetime_unit(dtype);
    if (unit != "ns") index = index.attr("as_unit")(unit.c_str());
    return index.attr("array");
}

// inferred_column for Timestamps that all share one type, zone and unit, the common case of rounded
// release times: the column then has the dtype that one of them infers, and the values are
// converted at once (pandas 3 converts aware Timestamps one by one, a few microseconds each).
// Anything else takes the inference itself.
nb::object timestamps_column(nb::handle values) {
    const size_t n = nb::len(values);
    if (n == 0) return inferred_column(values);
    nb::object first = values[0];
    if (!nb::isinstance(first, pd().attr("Timestamp"))) return inferred_column(values);
    nb::object tz = first.attr("tz"), unit = first.attr("unit");
    std::vector<int64_t> ns(n);
    for (size_t i = 0; i < n; ++i) {
        nb::object v = values[i];
        if (!v.type().is(first.type()) || !v.attr("tz").is(tz) || !glue::equals(v.attr("unit"), unit))
            return inferred_column(values);
        try {
            ns[i] = nb::cast<int64_t>(v.attr("value"));
        } catch (nb::python_error &) {
            return inferred_column(values);  // beyond the nanosecond range
        }
    }
    nb::object dtype = inferred_dtype(first);
    if (datetime_unit(dtype) != nb::cast<std::string>(unit)) return inferred_column(values);
    return datetimes_from_ns(std::move(ns), dtype);
}

}  // namespace

bool native_windows(const glue::Call &c, nb::handle df_calendar, nb::handle pre_obj, nb::handle post_obj,
                    Windows &w) {
    int64_t pre = 0, post = 0;
    if (!small_int(pre_obj, pre) || !small_int(post_obj, post) || pre > post)
        return pandas_steps("window bounds that are not small integers in order");
    nb::object columns = df_calendar.attr("columns");
    if (!contains(columns, nb::str("EVENT_NAME")) || !contains(columns, nb::str("event_datetime")) ||
        !truthy(columns.attr("is_unique")))
        return pandas_steps("calendar columns missing or repeated");
    nb::object names = item(df_calendar, nb::str("EVENT_NAME"));
    nb::object times = item(df_calendar, nb::str("event_datetime"));
    if (!text_dtype(names.attr("dtype")) || per_second(datetime_unit(times.attr("dtype"))) == 0)
        return pandas_steps("event names that are not text or release times that are not datetime64");

    nb::object factorized = pd().attr("factorize")(names);
    nb::object uniques = factorized[1];
    for (nb::handle u : uniques)
        if (!PyUnicode_Check(u.ptr())) return pandas_steps("an event name that is not a str");
    w.event_codes = as_i64(factorized[0]);
    w.cal_ns = ns_values(times);
    if (!w.cal_ns.is_valid()) return pandas_steps("release times beyond the nanosecond range");
    I64Array codes = i64_view(w.event_codes), cal_ns = i64_view(w.cal_ns);
    const size_t n = codes.shape(0);

    std::vector<int64_t> rows;
    {
        nb::gil_scoped_release unlocked;
        rows = core::distinct_releases(codes.data(), cal_ns.data(), n);
    }
    if (rows.empty()) return pandas_steps("an empty calendar");
    for (int64_t r : rows)
        if (cal_ns.data()[r] == INT64_MIN) return pandas_steps("a missing release time");

    nb::object round_event_datetime = c.global("round_event_datetime");
    nb::object originals = times.attr("array").attr("take")(glue::numpy_of(std::vector<int64_t>(rows)));
    nb::list rounded;
    for (nb::handle t : originals) rounded.append(round_event_datetime(t, "round_down"_a = true));
    // Dtypes and units as the row-by-row construction gives them on the installed pandas.
    w.release_times = timestamps_column(rounded);
    w.minute_dtype = inferred_dtype(add(rounded[0], glue::import("datetime").attr("timedelta")()));
    w.name_dtype = inferred_dtype(uniques[0]);
    if (per_second(datetime_unit(w.release_times.attr("dtype"))) == 0 ||
        per_second(datetime_unit(w.minute_dtype)) == 0)
        return pandas_steps("rounded release times that are not datetime64");
    nb::object rel_ns = ns_values(pd().attr("Series")(w.release_times));
    if (!rel_ns.is_valid()) return pandas_steps("rounded release times beyond the nanosecond range");
    I64Array rel = i64_view(rel_ns);
    w.release_ns.assign(rel.data(), rel.data() + rel.shape(0));
    for (int64_t t : w.release_ns)
        if (t == INT64_MIN) return pandas_steps("a missing rounded release time");
    w.release_event.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) w.release_event[i] = codes.data()[rows[i]];
    bool fits;
    {
        nb::gil_scoped_release unlocked;
        fits = core::window_minutes(w.release_ns.data(), w.release_ns.size(), pre, post, w.minutes);
    }
    if (!fits) return pandas_steps("window minutes beyond the nanosecond range");
    w.event_names = np().attr("asarray")(uniques, "dtype"_a = "object");
    w.pre = pre;
    w.width = post - pre + 1;
    return true;
}

namespace {

// An object ndarray stays object in the result (a DataFrame built from a bare one would infer
// pandas 3's string dtype for text, unlike the join that the pandas steps make).
nb::object keep_object(nb::object values) {
    if (!nb::hasattr(values, "__array_interface__") || !glue::equals(values.attr("dtype"), nb::str("object")))
        return values;
    return pd().attr("Series")(values, "dtype"_a = "object", "copy"_a = false);
}

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

int64_t buffer_address(nb::handle buffer) { return nb::cast<int64_t>(buffer.attr("address")); }

// The chunks of a pandas array held as pyarrow string or large_string without missing values.
bool text_chunks(nb::handle values, nb::object &chunked, TextChunks &out) {
    chunked = nb::getattr(values, "_pa_array", nb::none());
    if (chunked.is_none() || !nb::hasattr(values, "_from_pyarrow_array")) return false;
    if (nb::cast<int64_t>(chunked.attr("null_count")) != 0) return false;
    return glue::arrow_texts(chunked, out) && !out.chunks.empty();
}

// A new pyarrow buffer of `size` bytes and where to write it.
nb::object new_buffer(int64_t size, unsigned char *&data) {
    nb::object buffer = glue::import("pyarrow").attr("allocate_buffer")(size);
    data = reinterpret_cast<unsigned char *>(buffer_address(buffer));
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

// `take(values, rows, allow_fill=True)` for text held by pyarrow (-1: missing), or an invalid
// object when the values are not in the plain layout (the caller takes pandas' road then).
nb::object take_text(nb::handle values, const int64_t *rows, size_t n) {
    try {
        nb::object chunked;
        TextChunks src;
        if (!text_chunks(values, chunked, src)) return {};
        std::vector<TextRun> runs;
        const size_t width = src.large ? 8 : 4;
        unsigned char *offsets = nullptr, *bytes = nullptr, *valid = nullptr;
        nb::object offsets_buffer = new_buffer(static_cast<int64_t>((n + 1) * width), offsets);
        int64_t total = 0, missing = 0;
        bool fits;
        {
            nb::gil_scoped_release unlocked;
            fits = text_runs(src, rows, n, runs) &&
                   (src.large ? gather_offsets<int64_t>(src, runs, offsets, total, missing)
                              : gather_offsets<int32_t>(src, runs, offsets, total, missing) && total <= INT32_MAX);
        }
        if (!fits) return {};
        nb::object bytes_buffer = new_buffer(total, bytes);
        nb::object validity = nb::none();
        if (missing > 0) {
            validity = new_buffer(static_cast<int64_t>((n + 7) / 8), valid);
            std::memset(valid, 0, (n + 7) / 8);
        }
        {
            nb::gil_scoped_release unlocked;
            gather_bytes(runs, bytes, valid);
        }

        // pyarrow.Array.from_buffers, wrapped in the pandas array type the way its take wraps.
        nb::list buffers;
        buffers.append(validity);
        buffers.append(offsets_buffer);
        buffers.append(bytes_buffer);
        nb::object array = glue::import("pyarrow").attr("Array").attr("from_buffers")(
            chunked.attr("type"), n, buffers, "null_count"_a = missing);
        nb::object out = values.attr("_from_pyarrow_array")(array);
        if (!out.type().is(values.type()) || !glue::equals(out.attr("dtype"), values.attr("dtype"))) return {};
        return out;
    } catch (nb::python_error &) {
        return {};
    }
}

// `pd.factorize(take(values, rows), sort=True)[0]` for text held by pyarrow without missing
// values, read from the chunks' bytes without gathering them: each row's text numbered in order
// of first appearance, then the distinct texts ranked in byte order (the order in which pyarrow,
// and so pandas, sorts str). False when the values are not in that layout.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, std::vector<int64_t> &codes) {
    try {
        nb::object chunked;
        TextChunks src;
        if (!text_chunks(values, chunked, src)) return false;
        const int64_t length = src.first_row.back();
        bool ok = true;
        nb::gil_scoped_release unlocked;
        core::DistinctTexts distinct;
        codes.resize(n);
        // Rows are scattered over the column: a row's chunk is found and its offsets fetched
        // kAhead rows before it is read, its bytes kAhead / 2 rows before.
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
        for (size_t i = 0; i < std::min(n, kAhead); ++i) ahead[i] = place(i);
        for (size_t i = 0; i < n && ok; ++i) {
            if (i + kAhead / 2 < n) {
                const Place &p = ahead[(i + kAhead / 2) % kAhead];
                if (p.chunk) {
                    const int64_t from = src.offset(*p.chunk, p.local);
                    if (from >= 0 && from < p.chunk->byte_count) __builtin_prefetch(p.chunk->bytes + from);
                }
            }
            const Place p = ahead[i % kAhead];
            if (i + kAhead < n) ahead[i % kAhead] = place(i + kAhead);
            std::string_view text;
            ok = p.chunk && src.text(*p.chunk, p.local, text);
            if (ok) codes[i] = distinct.code(text);
        }
        if (!ok) return false;
        std::vector<uint32_t> order(distinct.size());
        for (uint32_t k = 0; k < order.size(); ++k) order[k] = k;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return distinct.text(a) < distinct.text(b); });
        std::vector<int64_t> rank(order.size());
        for (size_t k = 0; k < order.size(); ++k) rank[order[k]] = static_cast<int64_t>(k);
        for (int64_t &code : codes) code = rank[static_cast<size_t>(code)];
        return true;
    } catch (nb::python_error &) {
        return false;
    }
}

nb::object take_text(nb::handle values, nb::handle rows) {
    I64Array r = i64_view(rows);
    return take_text(values, r.data(), r.shape(0));
}

// Names as the pandas steps type them (object on pandas 2, the default string dtype on 3).
nb::object names_column(Windows &w, std::vector<int64_t> &&codes) {
    nb::object codes_array = glue::numpy_of(std::move(codes));
    if (glue::equals(w.name_dtype, nb::str("object"))) return keep_object(w.event_names.attr("take")(codes_array));
    // Typed once per distinct name, then gathered (codes are never -1 here).
    nb::object typed = pd().attr("array")(w.event_names, "dtype"_a = w.name_dtype);
    nb::object gathered = take_text(typed, codes_array);
    return gathered.is_valid() ? gathered : typed.attr("take")(codes_array);
}


}  // namespace

nb::object metadata_native(Windows &w) {
    const size_t rows = w.minutes.size();
    std::vector<int64_t> event(rows), release(rows), diff(rows);
    for (size_t i = 0; i < rows; ++i) {
        size_t r = i / static_cast<size_t>(w.width);
        release[i] = static_cast<int64_t>(r);
        event[i] = w.release_event[r];
        diff[i] = w.pre + static_cast<int64_t>(i % static_cast<size_t>(w.width));
    }
    nb::dict cols;
    cols["EVENT_NAME"] = names_column(w, std::move(event));
    cols["event_datetime"] = w.release_times.attr("take")(glue::numpy_of(std::move(release)));
    cols["datetime"] = datetimes_from_ns(std::move(w.minutes), w.minute_dtype);
    cols["time_diff"] = glue::numpy_of(std::move(diff));
    return pd().attr("DataFrame")(cols);
}

namespace {

// Arrow-backed values in one chunk: a gather across the many chunks that a concatenated table
// holds costs several times as much as combining them once and gathering from one buffer. Any
// surprise (another array layout) keeps the values as they are.
nb::object one_chunk(nb::object values) {
    nb::object chunks = nb::getattr(values, "_pa_array", nb::none());
    if (chunks.is_none() || !nb::hasattr(chunks, "num_chunks") || nb::cast<int64_t>(chunks.attr("num_chunks")) <= 1)
        return values;
    try {
        nb::object pa = glue::import("pyarrow");
        nb::list single;
        single.append(chunks.attr("combine_chunks")());
        nb::object combined = pa.attr("chunked_array")(single);
        nb::object out;
        try {
            out = nb::borrow(values.type())(combined, "dtype"_a = values.attr("dtype"));
        } catch (nb::python_error &) {
            out = nb::borrow(values.type())(combined);
        }
        if (glue::equals(out.attr("dtype"), values.attr("dtype")) && nb::len(out) == nb::len(values)) return out;
    } catch (nb::python_error &) {
    }
    return values;
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

// The event bar table natively, or an invalid object when the inputs need the pandas steps.
const char *native_refusal() { return t_reason; }

nb::object event_bars_native(const glue::Call &c, nb::handle df_bars, nb::handle df_calendar, nb::handle pre,
                             nb::handle post) {
    Windows w;
    if (!native_windows(c, df_calendar, pre, post, w)) return {};
    nb::object bar_columns = df_bars.attr("columns");
    if (!truthy(bar_columns.attr("is_unique")) || !contains(bar_columns, nb::str("datetime")) ||
        !contains(bar_columns, nb::str("key")))
        return pandas_steps_for("bar columns missing or repeated");
    for (const char *name : {"EVENT_NAME", "event_datetime", "time_diff"})
        if (contains(bar_columns, nb::str(name))) return pandas_steps_for("a bar column named like a result column");
    nb::object bar_times = item(df_bars, nb::str("datetime"));
    // Naive and aware stamps (or two zones) are left to pandas, which decides how they compare.
    if (per_second(datetime_unit(bar_times.attr("dtype"))) == 0 ||
        !same_zone(bar_times.attr("dtype"), w.release_times.attr("dtype")))
        return pandas_steps_for("bar times that are not datetime64 in the releases' zone");

    nb::object calendar =
        df_calendar.attr("reset_index")().attr("set_index")(str_list({"EVENT_NAME", "event_datetime"}));
    nb::object cal_columns = calendar.attr("columns");
    if (!truthy(cal_columns.attr("is_unique"))) return pandas_steps_for("repeated calendar columns");
    for (nb::handle col : cal_columns)
        if (glue::equals(col, nb::str("time_diff")) || glue::equals(col, nb::str("datetime")) || contains(bar_columns, col))
            return pandas_steps_for("a calendar column that clashes with the bars'");

    nb::object bar_ns_obj = ns_values(bar_times);
    if (!bar_ns_obj.is_valid()) return pandas_steps_for("bar times beyond the nanosecond range");
    I64Array bar_ns = i64_view(bar_ns_obj);
    core::WindowMatches matches;
    {
        nb::gil_scoped_release unlocked;
        matches = core::match_window_bars(w.minutes.data(), w.minutes.size(), bar_ns.data(), bar_ns.shape(0));
    }

    // Bars without a key are dropped (factorize codes them -1); the rest are ranked by key as a
    // sort would order them.
    nb::object key_values = item(df_bars, nb::str("key")).attr("_values");
    std::vector<int64_t> key_codes;
    const int64_t *codes = nullptr;
    nb::object codes_obj;
    if (rank_text_rows(key_values, matches.bar_row.data(), matches.bar_row.size(), key_codes)) {
        codes = key_codes.data();
    } else {
        key_values = one_chunk(key_values);
        nb::object keys = pd().attr("api").attr("extensions").attr("take")(
            key_values, glue::numpy_of(std::vector<int64_t>(matches.bar_row)), "allow_fill"_a = true);
        codes_obj = as_i64(pd().attr("factorize")(keys, "sort"_a = true)[0]);
        codes = i64_view(codes_obj).data();
    }
    std::vector<int64_t> win_row, bar_row, key_rank;
    win_row.reserve(matches.window_row.size());
    bar_row.reserve(matches.bar_row.size());
    key_rank.reserve(matches.bar_row.size());
    for (size_t k = 0; k < matches.window_row.size(); ++k)
        if (codes[k] >= 0) {
            win_row.push_back(matches.window_row[k]);
            bar_row.push_back(matches.bar_row[k]);
            key_rank.push_back(codes[k]);
        }
    if (win_row.empty()) return pandas_steps_for("no bar on a window minute");

    nb::object event_rank_obj = as_i64(pd().attr("factorize")(w.event_names, "sort"_a = true)[0]);
    I64Array event_rank = i64_view(event_rank_obj);
    const size_t releases = w.release_ns.size(), rows = win_row.size();
    const int64_t *cal_codes = i64_view(w.event_codes).data();
    I64Array cal_ns = i64_view(w.cal_ns);
    const size_t cal_rows = cal_ns.shape(0);

    std::vector<int64_t> order, sorted_event, sorted_time, final_rows, final_cal;
    {
        nb::gil_scoped_release unlocked;
        std::vector<int64_t> rel_rank(releases);
        for (size_t r = 0; r < releases; ++r) rel_rank[r] = event_rank.data()[w.release_event[r]];
        size_t groups = 0;
        std::vector<int64_t> rel_group = core::release_ranks(rel_rank.data(), w.release_ns.data(), releases, groups);
        std::vector<int64_t> group(rows), time(rows);
        for (size_t k = 0; k < rows; ++k) {
            group[k] = rel_group[static_cast<size_t>(win_row[k] / w.width)];
            time[k] = bar_ns.data()[bar_row[k]];
        }
        order = core::order_event_bars(group.data(), key_rank.data(), time.data(), rows, groups);
        sorted_event.resize(rows);
        sorted_time.resize(rows);
        for (size_t k = 0; k < rows; ++k) {
            size_t r = static_cast<size_t>(win_row[static_cast<size_t>(order[k])] / w.width);
            sorted_event[k] = w.release_event[r];
            sorted_time[k] = w.release_ns[r];
        }
        core::CalendarRows joined =
            core::join_calendar(sorted_event.data(), sorted_time.data(), rows, cal_codes, cal_ns.data(), cal_rows);
        final_rows = std::move(joined.row);
        final_cal = std::move(joined.calendar);
    }

    const size_t out_rows = final_rows.size();
    std::vector<int64_t> out_event(out_rows), out_release(out_rows), out_diff(out_rows), out_bar(out_rows),
        out_minute(out_rows);
    for (size_t i = 0; i < out_rows; ++i) {
        size_t k = static_cast<size_t>(order[static_cast<size_t>(final_rows[i])]);
        size_t r = static_cast<size_t>(win_row[k] / w.width);
        out_event[i] = w.release_event[r];
        out_release[i] = static_cast<int64_t>(r);
        out_diff[i] = w.pre + win_row[k] % w.width;
        out_bar[i] = bar_row[k];
        out_minute[i] = w.minutes[static_cast<size_t>(win_row[k])];
    }
    nb::object bar_rows = glue::numpy_of(std::move(out_bar));
    nb::object cal_rows_obj = glue::numpy_of(std::move(final_cal));

    nb::dict cols;
    cols["EVENT_NAME"] = names_column(w, std::move(out_event));
    cols["event_datetime"] = w.release_times.attr("take")(glue::numpy_of(std::move(out_release)));
    cols["time_diff"] = glue::numpy_of(std::move(out_diff));
    // The window minute (equal to the bar's stamp) in the unit of the window table.
    cols["datetime"] = datetimes_from_ns(std::move(out_minute), w.minute_dtype);
    const bool filled = matches.unmatched > 0;
    for (nb::handle col : bar_columns) {
        if (glue::equals(col, nb::str("datetime"))) continue;
        nb::object values = glue::equals(col, nb::str("key")) ? key_values : item(df_bars, col).attr("_values");
        nb::object gathered = take_text(values, bar_rows);
        cols[col] = gathered.is_valid() ? gathered : take_values(one_chunk(values), bar_rows, filled);
    }
    for (nb::handle col : cal_columns) {
        nb::object values = item(calendar, col).attr("_values");
        nb::object gathered = take_text(values, cal_rows_obj);
        cols[col] = gathered.is_valid() ? gathered : take_values(one_chunk(values), cal_rows_obj, false);
    }
    return pd().attr("DataFrame")(cols, "copy"_a = false);
}

}  // namespace tickbars
