// SPLC's date columns: pd.to_datetime(col).dt.date over a snapshot's start and end dates, parsing
// each distinct text once.
#include "shelfsets_splc.hpp"

#include "core/text_factors.hpp"
#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

using namespace nb::literals;
using orvane::core::TextFactors;

namespace shelfsets {

namespace {

constexpr uint32_t kMissing = TextFactors::kMissing;

// What pd.factorize(col) answers: each row's code and the distinct texts, in order of first
// appearance, as a pandas Index. The codes are pandas' own (a numpy array, -1 where the cell is
// missing) or, when factorized here, `native` (kMissing where the cell is missing).
struct Factors {
    nb::object codes;
    nb::object distinct;
    std::vector<uint32_t> native;
};

// An object column of str with missing cells (None, NaN): Index(distinct, dtype=object). A cell is
// looked up by its address first (the reader makes one str per distinct text), by its text only
// when that address is new. nullopt for any other cell: pandas factorizes the column.
std::optional<Factors> factorize_object_texts(nb::handle pd, nb::handle col) {
    auto cells = object_cells(col);
    if (!cells) return std::nullopt;
    const size_t n = nb::len(cells->first);
    std::vector<uint32_t> codes(n);
    nb::dict by_text;  // str -> code
    nb::list distinct;
    // Open addressing on the str's address: {address, code}, at most half full.
    std::vector<std::pair<PyObject *, uint32_t>> by_address(1024, {nullptr, 0});
    size_t addresses = 0;
    auto slot_of = [](std::vector<std::pair<PyObject *, uint32_t>> &table, PyObject *v) -> auto & {
        size_t at = (size_t(uintptr_t(v) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & (table.size() - 1);
        while (table[at].first && table[at].first != v) at = (at + 1) & (table.size() - 1);
        return table[at];
    };
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = cells->second[i];
        if (!PyUnicode_CheckExact(v)) {
            if (v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
                codes[i] = kMissing;
                continue;
            }
            return std::nullopt;
        }
        auto &known = slot_of(by_address, v);
        if (known.first) {
            codes[i] = known.second;
            continue;
        }
        PyObject *code = PyDict_GetItemWithError(by_text.ptr(), v);  // borrowed
        if (!code && PyErr_Occurred()) throw nb::python_error();
        uint32_t c;
        if (code) {
            c = uint32_t(PyLong_AsSsize_t(code));
        } else {
            c = uint32_t(nb::len(distinct));
            by_text[nb::handle(v)] = nb::int_(c);
            distinct.append(nb::handle(v));
        }
        known = {v, c};
        codes[i] = c;
        if (++addresses * 2 > by_address.size()) {
            std::vector<std::pair<PyObject *, uint32_t>> bigger(by_address.size() * 2, {nullptr, 0});
            for (const auto &entry : by_address)
                if (entry.first) slot_of(bigger, entry.first) = entry;
            by_address = std::move(bigger);
        }
    }
    nb::object uniques = glue::object_array(nb::len(distinct), [&](size_t c) { return nb::object(distinct[c]); });
    return Factors{nb::object(), pd.attr("Index")(uniques, "dtype"_a = "object"), std::move(codes)};
}

// The codes of rows [first, last) of pyarrow-held text into `codes` (from its start), numbered by
// `factors`; false where the offsets do not describe the chunk's bytes.
bool code_rows(const glue::ArrowTexts &texts, int64_t first, int64_t last, TextFactors &factors, uint32_t *codes) {
    if (first >= last) return true;
    size_t c = texts.chunk_of(first, 0);
    for (int64_t row = first; row < last; ++row) {
        c = texts.chunk_of(row, c);
        const glue::ArrowTextChunk &chunk = texts.chunks[c];
        const int64_t i = row - texts.first_row[c];
        std::string_view text;
        if (texts.missing(chunk, i)) *codes++ = kMissing;
        else if (texts.text(chunk, i, text)) *codes++ = factors.code(text);
        else return false;
    }
    return true;
}

// Every row's code, read from the buffers with the interpreter left free: the two halves of a
// large column numbered apart on two threads, then joined as one numbering.
bool code_all_rows(const glue::ArrowTexts &texts, std::vector<uint32_t> &codes, TextFactors &factors) {
    const size_t n = codes.size();
    TextFactors later;
    bool ok[2] = {true, true};
    auto rows = [&](size_t from, size_t to) {
        const bool first = from == 0;
        ok[first ? 0 : 1] = code_rows(texts, int64_t(from), int64_t(to), first ? factors : later, codes.data() + from);
    };
    nb::gil_scoped_release released;
    if (!on_halves(n, rows)) return ok[0];
    if (!ok[0] || !ok[1]) return false;
    factors.append(later, codes.data() + n / 2, n - n / 2);
    return true;
}

// A column of pandas' `str` dtype held by pyarrow (string or large_string chunks):
// Index(distinct, dtype=col.dtype), read from the arrow buffers. nullopt for any other layout.
std::optional<Factors> factorize_arrow_texts(nb::handle pd, nb::handle col) {
    nb::object array = col.attr("array");
    if (!glue::has_attr(array, "__arrow_array__")) return std::nullopt;
    nb::object chunked = array.attr("__arrow_array__")();
    glue::ArrowTexts texts;
    if (!nb::isinstance(chunked, glue::import("pyarrow").attr("ChunkedArray")) || !glue::arrow_texts(chunked, texts))
        return std::nullopt;
    const size_t n = nb::len(col);
    if (texts.first_row.back() != static_cast<int64_t>(n)) return std::nullopt;
    std::vector<uint32_t> codes(n);
    TextFactors distinct;
    if (!code_all_rows(texts, codes, distinct)) return std::nullopt;
    nb::object uniques = glue::object_array(distinct.size(), [&](size_t c) {
        const std::string_view text = distinct.text(c);
        PyObject *s = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "strict");
        if (!s) throw nb::python_error();
        return nb::steal(s);
    });
    return Factors{nb::object(), pd.attr("Index")(uniques, "dtype"_a = col.attr("dtype")), std::move(codes)};
}

// pd.factorize(col) itself.
Factors factorize_with_pandas(nb::handle pd, nb::handle col) {
    nb::object pair = pd.attr("factorize")(col);
    return Factors{pair[0], pair[1], {}};
}

// An object array of `n` rows, row i holding day[slot(i)]: each row's slot filled in one pass,
// the references counted per day and added once per day (the rows of a column share a few
// thousand days). `slot` must give an index within [0, k).
template <class Slot>
nb::object spread(PyObject *const *day, size_t k, size_t n, Slot slot) {
    nb::object out = glue::import("numpy").attr("empty")(n, "dtype"_a = "object");
    if (n == 0) return out;
    PyObject **slots = glue::array_data<PyObject *>(out);
    std::vector<Py_ssize_t> uses(k, 0);
    Py_ssize_t nones = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t at = slot(i);
        PyObject *old = slots[i];
        slots[i] = day[at];
        ++uses[at];
        if (old == Py_None) ++nones;
        else Py_XDECREF(old);
    }
    for (size_t j = 0; j < k; ++j)
        if (uses[j]) Py_SET_REFCNT(day[j], Py_REFCNT(day[j]) + uses[j]);
    Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) - nones);
    return out;
}

// days[codes] for a 1-D object array `days` whose last item stands for a missing cell. The native
// codes are within range by construction; pandas' codes are spread the same way when they are a
// 1-D intp array within [-1, len(days)) (-1 taking the last day), and given to numpy's take
// otherwise.
nb::object spread_days(nb::handle days, const Factors &factors) {
    const size_t k = nb::len(days);
    PyObject *const *day = glue::array_data<PyObject *const>(days);
    if (!factors.codes.is_valid()) {
        const uint32_t *code = factors.native.data();
        return spread(day, k, factors.native.size(),
                      [&](size_t i) { return code[i] == kMissing ? k - 1 : size_t(code[i]); });
    }
    nb::handle codes = factors.codes;
    nb::object np = glue::import("numpy");
    nb::object intp = np.attr("dtype")("intp");
    if (!nb::isinstance(codes, np.attr("ndarray")) || !codes.attr("dtype").equal(intp) ||
        nb::len(nb::object(codes.attr("shape"))) != 1)
        return days[codes];
    nb::object held = np.attr("ascontiguousarray")(codes);
    const size_t n = nb::len(held);
    const intptr_t *code = glue::array_data<const intptr_t>(held);
    for (size_t i = 0; i < n; ++i)
        if (code[i] < -1 || code[i] >= intptr_t(k)) return days[codes];
    return spread(day, k, n, [&](size_t i) { return code[i] < 0 ? k - 1 : size_t(code[i]); });
}

}  // namespace

// pd.to_datetime(col).dt.date, parsing each distinct text once: snapshot date columns repeat a few
// thousand days over a million rows. pd.factorize (natively for object columns of str and
// pyarrow-held `str` columns) lists the distinct texts in order of first appearance, so
// pd.to_datetime infers its format from the same first text as on the whole column and parses
// every text alike; the codes then spread the days over the rows (-1, a missing cell, picks the
// NaT put after the last day). A
// column that is not text, has no text, or does not parse to datetime64 goes through pandas whole
// (which also raises its own error, if any).
nb::object calendar_dates(nb::handle pd, nb::handle col) {
    auto whole = [&]() -> nb::object { return pd.attr("to_datetime")(col).attr("dt").attr("date"); };
    nb::object dtype = col.attr("dtype");
    const bool object = truthy(pd.attr("api").attr("types").attr("is_object_dtype")(dtype));
    if (!object && !nb::isinstance(dtype, pd.attr("StringDtype"))) return whole();
    std::optional<Factors> factors = object ? factorize_object_texts(pd, col) : factorize_arrow_texts(pd, col);
    if (!factors) factors = factorize_with_pandas(pd, col);
    if (nb::len(factors->distinct) == 0) return whole();
    nb::object parsed;
    try {
        parsed = pd.attr("to_datetime")(factors->distinct);
    } catch (nb::python_error &e) {
        // texts pandas cannot parse as dates: the whole column raises pandas' own error for them
        if (!glue::expected(e, {PyExc_ValueError, PyExc_TypeError, PyExc_OverflowError})) throw;
        return whole();
    }
    if (!truthy(pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(parsed))) return whole();
    const size_t k = nb::len(factors->distinct);
    nb::object np = glue::import("numpy");
    nb::object days = np.attr("empty")(k + 1, "dtype"_a = "object");  // the days, then NaT for code -1
    days[nb::slice((Py_ssize_t) 0, (Py_ssize_t) k, (Py_ssize_t) 1)] = parsed.attr("date");  // DatetimeIndex.date
    days[nb::int_(k)] = pd.attr("NaT");
    return pd.attr("Series")(spread_days(days, *factors), "index"_a = col.attr("index"),
                             "name"_a = col.attr("name"),
                             "dtype"_a = "object", "copy"_a = false);
}

}  // namespace shelfsets
