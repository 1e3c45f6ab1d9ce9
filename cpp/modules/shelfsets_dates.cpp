// SPLC's date columns: pd.to_datetime(col).dt.date over a snapshot's start and end dates, parsing
// each distinct text once.
#include "shelfsets_splc.hpp"

#include "core/distinct_texts.hpp"
#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

using namespace nb::literals;

namespace shelfsets {

namespace {

// pd.factorize(col) for an object column of str with missing cells (None, NaN): the codes in row
// order (-1 where missing) and Index(distinct texts in order of first appearance, dtype=object).
// A cell is looked up by its address first (the reader makes one str per distinct text), by its
// text only when that address is new. nullopt for any other cell: pandas factorizes the column.
std::optional<std::pair<nb::object, nb::object>> factorize_texts(nb::handle pd, nb::handle col) {
    auto cells = object_cells(col);
    if (!cells) return std::nullopt;
    const size_t n = nb::len(cells->first);
    std::vector<intptr_t> codes(n);
    nb::dict by_text;  // str -> code
    nb::list distinct;
    // Open addressing on the str's address: {address, code}, at most half full.
    std::vector<std::pair<PyObject *, intptr_t>> by_address(1024, {nullptr, 0});
    size_t addresses = 0;
    auto slot_of = [](std::vector<std::pair<PyObject *, intptr_t>> &table, PyObject *v) -> auto & {
        size_t at = (size_t(uintptr_t(v) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & (table.size() - 1);
        while (table[at].first && table[at].first != v) at = (at + 1) & (table.size() - 1);
        return table[at];
    };
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = cells->second[i];
        if (!PyUnicode_CheckExact(v)) {
            if (v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
                codes[i] = -1;
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
        intptr_t c;
        if (code) {
            c = PyLong_AsSsize_t(code);
        } else {
            c = (intptr_t) nb::len(distinct);
            by_text[nb::handle(v)] = nb::int_(c);
            distinct.append(nb::handle(v));
        }
        known = {v, c};
        codes[i] = c;
        if (++addresses * 2 > by_address.size()) {
            std::vector<std::pair<PyObject *, intptr_t>> bigger(by_address.size() * 2, {nullptr, 0});
            for (const auto &entry : by_address)
                if (entry.first) slot_of(bigger, entry.first) = entry;
            by_address = std::move(bigger);
        }
    }
    nb::object np = glue::import("numpy");
    nb::object uniques = np.attr("empty")(nb::len(distinct), "dtype"_a = "object");
    for (size_t c = 0; c < nb::len(distinct); ++c) uniques[nb::int_(c)] = distinct[c];
    return std::make_pair(glue::numpy_of(std::move(codes)), pd.attr("Index")(uniques, "dtype"_a = "object"));
}
// pd.factorize(col) for a column of pandas' `str` dtype held by pyarrow (string or large_string
// chunks): the codes (-1 where missing) and Index(distinct texts in order of first appearance,
// dtype=col.dtype), read from the arrow buffers. nullopt for any other layout.
std::optional<std::pair<nb::object, nb::object>> factorize_arrow_texts(nb::handle pd, nb::handle col) {
    nb::object array = col.attr("array");
    if (!glue::has_attr(array, "__arrow_array__")) return std::nullopt;
    nb::object chunked = array.attr("__arrow_array__")();
    glue::ArrowTexts texts;
    if (!nb::isinstance(chunked, glue::import("pyarrow").attr("ChunkedArray")) || !glue::arrow_texts(chunked, texts))
        return std::nullopt;
    const size_t n = nb::len(col);
    if (texts.first_row.back() != static_cast<int64_t>(n)) return std::nullopt;
    std::vector<intptr_t> codes(n);
    orvane::core::DistinctTexts distinct;
    size_t row = 0;
    for (size_t c = 0; c < texts.chunks.size(); ++c) {
        const glue::ArrowTextChunk &chunk = texts.chunks[c];
        for (int64_t i = 0; i < texts.first_row[c + 1] - texts.first_row[c]; ++i, ++row) {
            std::string_view text;
            if (texts.missing(chunk, i)) codes[row] = -1;
            else if (texts.text(chunk, i, text)) codes[row] = distinct.code(text);
            else return std::nullopt;
        }
    }
    nb::object uniques = glue::object_array(distinct.size(), [&](size_t c) {
        const std::string_view text = distinct.text(c);
        PyObject *s = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "strict");
        if (!s) throw nb::python_error();
        return nb::steal(s);
    });
    return std::make_pair(glue::numpy_of(std::move(codes)), pd.attr("Index")(uniques, "dtype"_a = col.attr("dtype")));
}

}  // namespace

// pd.to_datetime(col).dt.date, parsing each distinct text once: snapshot date columns repeat a few
// thousand days over a million rows. pd.factorize (natively for object columns of str and pyarrow-held `str` columns) lists the distinct texts in order of first
// appearance, so pd.to_datetime infers its format from the same first text as on the whole column
// and parses every text alike; the codes then spread the days over the rows (-1, a missing cell,
// picks the NaT put after the last day). A column that is not text, has no text, or does not
// parse to datetime64 goes through pandas whole (which also raises its own error, if any).
nb::object calendar_dates(nb::handle pd, nb::handle col) {
    auto whole = [&]() -> nb::object { return pd.attr("to_datetime")(col).attr("dt").attr("date"); };
    nb::object dtype = col.attr("dtype");
    const bool object = truthy(pd.attr("api").attr("types").attr("is_object_dtype")(dtype));
    if (!object && !nb::isinstance(dtype, pd.attr("StringDtype"))) return whole();
    nb::object codes, distinct;
    if (auto factors = object ? factorize_texts(pd, col) : factorize_arrow_texts(pd, col)) {
        std::tie(codes, distinct) = *factors;
    } else {
        nb::object pair = pd.attr("factorize")(col);
        codes = pair[0];
        distinct = pair[1];
    }
    const size_t k = nb::len(distinct);
    if (k == 0) return whole();
    nb::object parsed;
    try {
        parsed = pd.attr("to_datetime")(distinct);
    } catch (nb::python_error &e) {
        // texts pandas cannot parse as dates: the whole column raises pandas' own error for them
        if (!glue::expected(e, {PyExc_ValueError, PyExc_TypeError, PyExc_OverflowError})) throw;
        return whole();
    }
    if (!truthy(pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(parsed))) return whole();
    nb::object np = glue::import("numpy");
    nb::object days = np.attr("empty")(k + 1, "dtype"_a = "object");
    days[nb::slice((Py_ssize_t) 0, (Py_ssize_t) k, (Py_ssize_t) 1)] = parsed.attr("date");  // DatetimeIndex.date
    days[nb::int_(k)] = pd.attr("NaT");
    return pd.attr("Series")(days[codes], "index"_a = col.attr("index"), "name"_a = col.attr("name"),
                             "dtype"_a = "object", "copy"_a = false);
}

}  // namespace shelfsets
