// SPLC's queries, natively: the rows of a date window and of the chosen FIGIs and kind, read from
// the object columns' cells, and the frame of the rows kept. Each answers only where it is sure of
// pandas' answer; the caller lets pandas compute the rest.
#include "shelfsets_splc.hpp"

#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"

#include <datetime.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

using namespace nb::literals;

namespace shelfsets {

// The elements of a 1-D object column (a contiguous array the caller keeps alive). nullopt for
// other dtypes, which would have to be converted first (pandas' `str`, for one).
std::optional<std::pair<nb::object, PyObject **>> object_cells(nb::handle col) {
    nb::object np = glue::import("numpy");
    nb::object dtype = col.attr("dtype");
    if (!nb::isinstance(dtype, np.attr("dtype")) || glue::to_str(dtype.attr("kind")) != "O") return std::nullopt;
    nb::object values = np.attr("ascontiguousarray")(col.attr("to_numpy")());
    if (glue::to_str(values.attr("dtype").attr("kind")) != "O" || nb::len(nb::object(values.attr("shape"))) != 1) return std::nullopt;
    PyObject **slots = glue::array_data<PyObject *>(values);
    return std::make_pair(values, slots);
}

namespace {

// What pandas makes of one cell of a date column beside a date bound: missing (isna: None, NaN,
// NaT), a plain date (compared field by field, as date's own comparison does), or anything else.
enum class DateCell { Missing, Date, Other };
DateCell date_cell(PyObject *v, PyObject *nat) {
    if (v == Py_None || v == nat) return DateCell::Missing;
    if (PyFloat_CheckExact(v)) return std::isnan(PyFloat_AS_DOUBLE(v)) ? DateCell::Missing : DateCell::Other;
    return PyDate_CheckExact(v) ? DateCell::Date : DateCell::Other;
}
long day_number(PyObject *d) {  // orders dates as date's comparison does
    return (long) PyDateTime_GET_YEAR(d) * 512 + PyDateTime_GET_MONTH(d) * 32 + PyDateTime_GET_DAY(d);
}

}  // namespace

// ((start <= end_day) | start.isna()) & ((end >= start_day) | end.isna()), each side only when its
// day is given, in one pass over two object columns of dates: what pandas computes element by
// element with date comparisons. nullopt when a column or a bound is not plainly made of dates
// and missing cells: pandas then computes it.
std::optional<std::vector<uint8_t>> window_mask(nb::handle pd, nb::handle starts, nb::handle ends, nb::handle end_day, nb::handle start_day) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    for (nb::handle day : {end_day, start_day})
        if (!day.is_none() && !PyDate_CheckExact(day.ptr())) return std::nullopt;
    auto first = object_cells(starts), second = object_cells(ends);
    if (!first || !second) return std::nullopt;
    const size_t n = nb::len(first->first);
    if (nb::len(second->first) != n) return std::nullopt;
    nb::object nat = pd.attr("NaT");
    const bool by_end = !end_day.is_none(), by_start = !start_day.is_none();
    const long hi = by_end ? day_number(end_day.ptr()) : 0, lo = by_start ? day_number(start_day.ptr()) : 0;
    std::vector<uint8_t> keep(n, 1);
    std::atomic<bool> other{false};  // a cell that is neither a date nor missing
    PyObject *const *starts_at = first->second, *const *ends_at = second->second;
    auto rows = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            if (by_end) {
                PyObject *v = starts_at[i];
                switch (date_cell(v, nat.ptr())) {
                    case DateCell::Missing: break;
                    case DateCell::Date: keep[i] = day_number(v) <= hi; break;
                    case DateCell::Other: other.store(true, std::memory_order_relaxed); return;
                }
            }
            if (by_start) {
                PyObject *v = ends_at[i];
                switch (date_cell(v, nat.ptr())) {
                    case DateCell::Missing: break;
                    case DateCell::Date: keep[i] &= uint8_t(day_number(v) >= lo); break;
                    case DateCell::Other: other.store(true, std::memory_order_relaxed); return;
                }
            }
        }
    };
    on_halves(n, rows);  // the interpreter lock kept: the cells can neither change nor go away
    if (other.load(std::memory_order_relaxed)) return std::nullopt;
    return keep;
}
namespace {

// The rows of a column of pandas' `str` (missing cells NaN) held by pyarrow, read in place; the
// returned object keeps the buffers alive. nullopt for any other dtype or layout.
std::optional<std::pair<nb::object, glue::ArrowTexts>> str_texts(nb::handle col, size_t rows) {
    nb::object pd = glue::import("pandas");
    nb::object dtype = col.attr("dtype");
    if (!nb::isinstance(dtype, pd.attr("StringDtype"))) return std::nullopt;
    nb::object na = dtype.attr("na_value");
    if (!PyFloat_CheckExact(na.ptr()) || !std::isnan(PyFloat_AS_DOUBLE(na.ptr()))) return std::nullopt;
    nb::object chunked = glue::arrow_data(col.attr("array"));
    glue::ArrowTexts texts;
    if (chunked.is_none() || !nb::isinstance(chunked, glue::import("pyarrow").attr("ChunkedArray")) ||
        !glue::arrow_texts(chunked, texts) || texts.first_row.back() != int64_t(rows))
        return std::nullopt;
    return std::make_pair(std::move(chunked), std::move(texts));
}

// The UTF-8 bytes of an exact str; nullopt for anything else (or a str UTF-8 cannot hold).
std::optional<std::string> utf8_of(nb::handle v) {
    if (!PyUnicode_CheckExact(v.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
    if (!bytes) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(bytes, size_t(size));
}

// a == b for short texts such as identifiers: both ends compared as 8-byte words, no call.
inline bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const size_t n = a.size();
    if (n < 8 || n > 16) return a == b;
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8), std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8), std::memcpy(&b1, b.data() + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Each text of rows [from, to), in order, to `visit(text)`, whose answer `keep` takes; missing
// rows and rows `keep` has cleared are skipped. false where the offsets do not describe a chunk's
// bytes.
template <class Visit>
bool each_kept_text(const glue::ArrowTexts &texts, std::vector<uint8_t> &keep, size_t from, size_t to, Visit visit) {
    size_t c = 0;  // a hint: the first row looked up finds its chunk
    for (size_t row = from; row < to; ++row) {
        if (!keep[row]) continue;
        c = texts.chunk_of(int64_t(row), c);
        const glue::ArrowTextChunk &chunk = texts.chunks[c];
        const int64_t i = int64_t(row) - texts.first_row[c];
        std::string_view text;
        if (texts.missing(chunk, i)) keep[row] = 0;  // a missing cell matches no str
        else if (!texts.text(chunk, i, text)) return false;
        else keep[row] = uint8_t(visit(text));
    }
    return true;
}

// keep_chosen for columns of pandas' `str` held by pyarrow, compared by their UTF-8 bytes.
bool keep_chosen_arrow(nb::handle ids, nb::handle figis, nb::handle kinds, nb::handle kind, std::vector<uint8_t> &keep) {
    auto id_texts = str_texts(ids, keep.size());
    if (!id_texts) return false;
    std::vector<std::string> wanted;
    for (nb::handle figi : figis) {
        auto text = utf8_of(figi);
        if (!text) return false;
        wanted.push_back(std::move(*text));
    }
    std::optional<std::pair<nb::object, glue::ArrowTexts>> kind_texts;
    std::optional<std::string> kind_text;
    if (!kind.is_none()) {
        kind_texts = str_texts(kinds, keep.size());
        kind_text = utf8_of(kind);
        if (!kind_texts || !kind_text) return false;
    }
    constexpr size_t kScanned = 8;  // up to this many FIGIs compared one by one, more looked up
    std::unordered_set<std::string_view> lookup;
    if (wanted.size() > kScanned) lookup.insert(wanted.begin(), wanted.end());
    auto is_wanted = [&](std::string_view t) {
        if (wanted.size() > kScanned) return lookup.count(t) != 0;
        for (const std::string &w : wanted)
            if (same_text(t, w)) return true;
        return false;
    };
    std::atomic<bool> broken{false};  // offsets that do not describe their bytes
    auto rows = [&](size_t from, size_t to) {
        const bool read =
            (!kind_text || each_kept_text(kind_texts->second, keep, from, to,
                                          [&](std::string_view t) { return same_text(t, *kind_text); })) &&
            each_kept_text(id_texts->second, keep, from, to, is_wanted);
        if (!read) broken.store(true, std::memory_order_relaxed);
    };
    on_halves(keep.size(), rows);  // the text buffers held by id_texts and kind_texts
    return !broken.load(std::memory_order_relaxed);
}

}  // namespace

// df["ID_BB_GLOBAL"].isin(figis) & (df["RELATIONSHIP"] == kind) (the second only for a kind
// given) on the rows `keep` holds, cleared on the others: what pandas computes element by element
// on object columns of str and missing cells (which match nothing), with str figis and kind.
// false, `keep` possibly changed, for anything else: pandas then computes it.
bool keep_chosen(nb::handle ids, nb::handle figis, nb::handle kinds, nb::handle kind, std::vector<uint8_t> &keep) {
    auto id_cells = object_cells(ids), kind_cells = object_cells(kinds);
    if (!id_cells && !kind_cells) return keep_chosen_arrow(ids, figis, kinds, kind, keep);
    if (!id_cells || !kind_cells || nb::len(id_cells->first) != keep.size() || nb::len(kind_cells->first) != keep.size())
        return false;
    if (!kind.is_none() && !PyUnicode_CheckExact(kind.ptr())) return false;
    nb::object wanted = nb::steal(PySet_New(nullptr));
    if (!wanted.is_valid()) throw nb::python_error();
    for (nb::handle figi : figis) {
        if (!PyUnicode_CheckExact(figi.ptr())) return false;
        if (PySet_Add(wanted.ptr(), figi.ptr()) < 0) throw nb::python_error();
    }
    auto missing = [](PyObject *v) {
        return v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)));
    };
    PyObject *same_kind = nullptr, *other_kind = nullptr;  // the last cells found equal and unequal to kind
    for (size_t i = 0; i < keep.size(); ++i) {
        if (!keep[i]) continue;
        if (!kind.is_none()) {
            PyObject *v = kind_cells->second[i];
            if (v != same_kind && v != other_kind) {
                if (!PyUnicode_CheckExact(v)) {
                    if (!missing(v)) return false;
                    keep[i] = 0;
                    continue;
                }
                const int cmp = PyUnicode_Compare(v, kind.ptr());
                if (cmp == -1 && PyErr_Occurred()) throw nb::python_error();
                (cmp == 0 ? same_kind : other_kind) = v;
            }
            if (v == other_kind) {
                keep[i] = 0;
                continue;
            }
        }
        PyObject *v = id_cells->second[i];
        if (!PyUnicode_CheckExact(v)) {
            if (!missing(v)) return false;
            keep[i] = 0;
            continue;
        }
        const int found = PySet_Contains(wanted.ptr(), v);
        if (found < 0) throw nb::python_error();
        keep[i] = uint8_t(found);
    }
    return true;
}
namespace {

// chunked.take(positions) (ascending positions), each chunk taking its own rows: pyarrow's take
// on a whole ChunkedArray of text first joins every chunk into one.
nb::object chunk_rows(nb::handle chunked, nb::handle positions) {
    nb::object np = glue::import("numpy"), pa = glue::import("pyarrow");
    nb::list pieces;
    int64_t first = 0;
    for (nb::handle chunk : chunked.attr("chunks")) {
        const auto last = first + int64_t(nb::len(chunk));
        nb::object bounds = np.attr("searchsorted")(positions, nb::make_tuple(first, last));
        const auto from = nb::cast<Py_ssize_t>(bounds[nb::int_(0)]), to = nb::cast<Py_ssize_t>(bounds[nb::int_(1)]);
        if (to > from) pieces.append(chunk.attr("take")(positions[nb::slice(from, to, (Py_ssize_t) 1)] - nb::int_(first)));
        first = last;
    }
    return pa.attr("chunked_array")(pieces, "type"_a = chunked.attr("type"));
}

}  // namespace

// df[keep].reset_index(drop=True), built with one take per column: pandas' own road first
// consolidates the frame's blocks, a copy of every row of every column of a kind.
nb::object rows_where(nb::handle pd, nb::handle df, std::vector<uint8_t> &&keep) {
    nb::object mask = glue::numpy_of(std::move(keep)).attr("view")("bool");
    nb::object columns = df.attr("columns");
    if (nb::cast<int>(columns.attr("nlevels")) != 1 || !truthy(columns.attr("is_unique"))) return renumbered(df, mask);
    nb::object positions = glue::import("numpy").attr("flatnonzero")(mask);
    nb::dict taken;
    for (nb::handle name : columns) {  // a Series of the column's dtype: a bare object array would be inferred
        nb::object col = df[name];
        nb::object values = col.attr("array");
        nb::object chunked = glue::arrow_data(values);
        nb::object rows = chunked.is_none() ? values.attr("take")(positions)
                                            : glue::array_from_arrow(chunk_rows(chunked, positions), col.attr("dtype"));
        taken[name] = pd.attr("Series")(rows, "dtype"_a = col.attr("dtype"), "copy"_a = false);
    }
    nb::object out = pd.attr("DataFrame")(taken, "columns"_a = columns, "copy"_a = false);
    return out.attr("__finalize__")(df);
}

}  // namespace shelfsets
