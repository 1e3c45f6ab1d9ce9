// SPLC's queries, natively: the rows of a date window and of the chosen FIGIs and kind, read from
// the object columns' cells, and the frame of the rows kept. Each answers only where it is sure of
// pandas' answer; the caller lets pandas compute the rest.
#include "shelfsets_splc.hpp"

#include "glue/arrays.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdint>
#include <optional>
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
    for (size_t i = 0; i < n; ++i) {
        if (by_end) {
            PyObject *v = first->second[i];
            switch (date_cell(v, nat.ptr())) {
                case DateCell::Missing: break;
                case DateCell::Date: keep[i] = day_number(v) <= hi; break;
                case DateCell::Other: return std::nullopt;
            }
        }
        if (by_start) {
            PyObject *v = second->second[i];
            switch (date_cell(v, nat.ptr())) {
                case DateCell::Missing: break;
                case DateCell::Date: keep[i] &= uint8_t(day_number(v) >= lo); break;
                case DateCell::Other: return std::nullopt;
            }
        }
    }
    return keep;
}
// df["ID_BB_GLOBAL"].isin(figis) & (df["RELATIONSHIP"] == kind) (the second only for a kind
// given) on the rows `keep` holds, cleared on the others: what pandas computes element by element
// on object columns of str and missing cells (which match nothing), with str figis and kind.
// false, `keep` possibly changed, for anything else: pandas then computes it.
bool keep_chosen(nb::handle ids, nb::handle figis, nb::handle kinds, nb::handle kind, std::vector<uint8_t> &keep) {
    auto id_cells = object_cells(ids), kind_cells = object_cells(kinds);
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
        taken[name] = pd.attr("Series")(col.attr("array").attr("take")(positions), "dtype"_a = col.attr("dtype"),
                                        "copy"_a = false);
    }
    nb::object out = pd.attr("DataFrame")(taken, "columns"_a = columns, "copy"_a = false);
    return out.attr("__finalize__")(df);
}

}  // namespace shelfsets
