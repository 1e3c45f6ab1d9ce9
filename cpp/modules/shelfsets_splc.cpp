// SPLC: the supply-chain and competitor relationship snapshots (gzip CSV), loaded whole and
// queried by tickers and date range.
#include "shelfsets.hpp"

#include "core/distinct_texts.hpp"
#include "glue/arrays.hpp"
#include "glue/arrow_text.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

using namespace nb::literals;

namespace shelfsets {

namespace {

// A snapshot key's date is its seventh "/"-separated component:
// alt_data/supply_chain/dl/datasets/{table}/snapshots/{date}/...
constexpr int kDateComponent = 6;

const char *kSplcDoc = "Supply Chain/Competitor APIs.";
const char *kSplcInitDoc =
    "Load one snapshot of the supply-chain history.\n"
    "\n"
    "    as_of_date: snapshot date 'yyyymmdd' or 'yyyy-mm-dd'; the latest when None\n"
    "    dataset: \"supplier\", \"customer\" or \"competitor\"\n"
    "    bq: BQL service used to convert tickers and FIGIs; None returns rows without conversion\n";
const char *kSplcDistinctDoc =
    "Returns the published snapshot dates of this instance's table ('yyyymmdd'), one per snapshot\n"
    "    object.";
const char *kSplcGetDataDoc =
    "Relationships of the requested tickers that overlap the window [start, end].\n"
    "\n"
    "    A relationship is kept when it starts on or before `end` and ends on or after `start`;\n"
    "    a missing start or end date leaves that side open. None leaves a bound open. Without a\n"
    "    BQL service the date-filtered snapshot comes back without ticker columns.\n";

// The bound in a form a date column compares with: a date for columns of date objects, a midnight
// Timestamp for a column that pandas keeps as datetime64 (one whose values are all missing).
nb::object bound_for(nb::handle pd, nb::handle col, nb::handle day) {
    if (truthy(pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(col))) return pd.attr("Timestamp")(day);
    return nb::borrow(day);
}
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
bool is_eight_digits(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) != 8) return false;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(text.ptr(), i);
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

}  // namespace

void define_splc(nb::module_ &m, nb::handle S3Data) {
    nb::object ABCMeta = m.attr("abc").attr("ABCMeta");

    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "SPLC";
    ns["__doc__"] = kSplcDoc;
    ns["bucket"] = "bquant-data-base-equity";
    ns["folder_path"] = "alt_data/supply_chain/dl/datasets";
    nb::dict names;
    names["supplier"] = "supplyChainHistoryV2";
    names["customer"] = "supplyChainHistoryV2";
    names["competitor"] = "supplyChainCompetitorsHistory";
    ns["dataset_names"] = names;
    static constexpr glue::Signature kFilePathFunc =
        "file_path_func(_, dataset_name, file_date)";
    ns["file_path_func"] = glue::function(m, kFilePathFunc, "Returns the object key of one snapshot of a vendor table.",
        [](glue::Call &c) -> nb::object {
            nb::object key = nb::str("alt_data/supply_chain/dl/datasets/");
            nb::str snapshots("/snapshots/"), distributions("/distributions/"), suffix(".csv.gz");
            nb::handle dataset_name = c[kFilePathFunc["dataset_name"]], file_date = c[kFilePathFunc["file_date"]];
            const nb::handle pieces[] = {dataset_name, snapshots, file_date, distributions, dataset_name, suffix};
            for (nb::handle piece : pieces) {
                PyObject *joined = PyNumber_Add(key.ptr(), piece.ptr());  // TypeError for a non-str piece
                if (!joined) throw nb::python_error();
                key = nb::steal(joined);
            }
            return key;
        },
        "SPLC");

    static constexpr glue::Signature kInit =
        "__init__(self, as_of_date: str = None, dataset: str = 'supplier', bq: Optional[bql_Service] = None)";
    ns["__init__"] = glue::function(m, kInit,
        kSplcInitDoc,
        [](glue::Call &c) -> nb::object {
            nb::handle self = c[kInit["self"]];
            nb::object dataset_name = self.attr("dataset_names").attr("get")(c[kInit["dataset"]]);
            if (dataset_name.is_none())
                raise_text(PyExc_ValueError,
                           cat({nb::str("`dataset`="), c[kInit["dataset"]],
                                nb::str(" is invalid. Only `suppliers` or `customers` or `competitors` are allowed.")}));
            nb::setattr(self, "dataset", c[kInit["dataset"]]);
            nb::setattr(self, "dataset_name", dataset_name);
            nb::setattr(self, "bq", c[kInit["bq"]]);
            self.attr("_load_snapshot")(c[kInit["as_of_date"]]);
            return nb::none();
        },
        "SPLC");

    static constexpr glue::Signature kGetDistinct =
        "get_distinct(self) -> List[Any]";
    ns["get_distinct"] = glue::function(m, kGetDistinct, kSplcDistinctDoc,
        [](glue::Call &c) -> nb::object {
            nb::handle self = c[kGetDistinct["self"]];
            // Only the table's own snapshots folder: a sibling table whose name begins with the same
            // letters, or a placeholder key without a date, contributes nothing.
            nb::object folder = self.attr("dataset_name") + nb::str("/snapshots/");
            nb::object keys = c.global("list_s3_objects")("folder_path"_a = folder, "bucket"_a = self.attr("bucket"),
                                                          "prefix"_a = self.attr("folder_path"));
            nb::list dates;
            for (nb::handle key : keys) {
                nb::object parts = key.attr("split")("/");
                if (nb::len(parts) <= kDateComponent) continue;
                nb::object date = parts[nb::int_(kDateComponent)];
                if (is_eight_digits(date)) dates.append(date);
            }
            return dates;
        },
        "SPLC");

    static constexpr glue::Signature kLoadSnapshot =
        "_load_snapshot(self, as_of_date: str = None)";
    ns["_load_snapshot"] = glue::function(m, kLoadSnapshot, kLoadDoc,
        [](glue::Call &c) -> nb::object {
            nb::handle self = c[kLoadSnapshot["self"]];
            nb::object dates = self.attr("get_distinct")();
            nb::object chosen = select_snapshot(dates, c[kLoadSnapshot["as_of_date"]]);
            nb::object key = self.attr("file_path_func")("dataset_name"_a = self.attr("dataset_name"),
                                                         "file_date"_a = chosen);
            nb::object df = c.global("read_from_s3")("file_path"_a = key, "data_format"_a = "csv.gz",
                                                     "bucket"_a = self.attr("bucket"), "prefix"_a = "",
                                                     "by_chunks"_a = true, "chunksize"_a = 100000);
            nb::object pd = c.global("pd");
            for (const char *col : {"RELTNSHP_START_DT", "RELTNSHP_END_DT"}) {
                glue::set_column(df, nb::str(col), calendar_dates(pd, df[col]));
            }
            nb::setattr(self, "data", df);
            return nb::none();
        },
        "SPLC");

    static constexpr glue::Signature kGetData =
        "get_data(self, tickers: List[str], start: Optional[str], end: Optional[str]) -> pd.DataFrame";
    ns["get_data"] = glue::function(m, kGetData,
        kSplcGetDataDoc,
        [](glue::Call &c) -> nb::object {
            const auto [self, tickers, start, end] =
                query_of(c, kGetData["self"], kGetData["tickers"], kGetData["start"], kGetData["end"]);
            nb::object pd = c.global("pd");
            nb::object df = self.attr("data");

            // Overlap with the window: begun by its end and not ended before its start. Natively, the
            // rows kept are noted and taken once, after the selection by ticker and kind below.
            std::optional<std::vector<uint8_t>> keep;
            if (!end.is_none() || !start.is_none()) {
                nb::object end_day = end.is_none() ? nb::none() : day_of(pd, end);
                nb::object start_day = start.is_none() ? nb::none() : day_of(pd, start);
                keep = window_mask(pd, df["RELTNSHP_START_DT"], df["RELTNSHP_END_DT"], end_day, start_day);
                if (!keep) {  // pandas' own comparisons
                    nb::object mask;
                    if (!end.is_none()) {
                        nb::object col = df["RELTNSHP_START_DT"];
                        nb::object bound = bound_for(pd, col, day_of(pd, end));
                        mask = glue::le(col, bound) | col.attr("isna")();
                    }
                    if (!start.is_none()) {
                        nb::object col = df["RELTNSHP_END_DT"];
                        nb::object bound = bound_for(pd, col, day_of(pd, start));
                        nb::object kept = glue::ge(col, bound) | col.attr("isna")();
                        mask = mask.is_valid() ? mask & kept : kept;
                    }
                    df = renumbered(df, mask);
                }
            }

            nb::object bq = self.attr("bq");
            if (bq.is_none()) return keep ? rows_where(pd, df, std::move(*keep)) : df;

            nb::object ticker_map = c.global("ticker_to_figi")(tickers, bq);
            nb::object figis = nb::list(ticker_map.attr("values")());
            nb::object dataset = self.attr("dataset");
            const bool by_kind = !dataset.equal(nb::str("competitor"));
            nb::object kind = by_kind ? dataset.attr("upper")() : nb::none();
            const bool pending = keep.has_value();  // the window noted, not yet taken
            if (!pending) keep.emplace(nb::len(df), 1);
            std::vector<uint8_t> window = *keep;
            nb::object ids = df["ID_BB_GLOBAL"], kinds = df["RELATIONSHIP"];
            bool decided = keep_chosen(ids, figis, kinds, kind, *keep);
            if (!decided) {
                // pandas' selection on every row (an element-wise answer), when it is plain bool.
                *keep = window;
                nb::object chosen = ids.attr("isin")(figis);
                if (by_kind) chosen = chosen & glue::eq(kinds, kind);
                nb::object np = glue::import("numpy");
                nb::object dtype = chosen.attr("dtype");
                if (nb::isinstance(dtype, np.attr("dtype")) && glue::to_str(dtype.attr("kind")) == "b") {
                    nb::object flags = np.attr("ascontiguousarray")(chosen.attr("to_numpy")());
                    const uint8_t *chosen_rows = glue::array_data<const uint8_t>(flags);
                    for (size_t i = 0; i < keep->size(); ++i) (*keep)[i] &= chosen_rows[i];
                    decided = true;
                }
            }
            if (decided) {
                df = rows_where(pd, df, std::move(*keep));
            } else {  // pandas' own selection, on the rows of the window
                if (pending) df = rows_where(pd, df, std::move(window));
                nb::object chosen = nb::object(df["ID_BB_GLOBAL"]).attr("isin")(figis);
                if (by_kind) chosen = chosen & glue::eq(df["RELATIONSHIP"], kind);
                df = renumbered(df, chosen);
            }

            nb::object related = nb::object(df["RELATED_FIGI"]).attr("tolist")();
            nb::object figi_map = c.global("figi_to_ticker")(related, bq);
            nb::dict inverted;
            for (auto [ticker, figi] : nb::borrow<nb::dict>(ticker_map)) inverted[figi] = ticker;
            glue::set_column(df, nb::str("TICKER"), nb::object(df["ID_BB_GLOBAL"]).attr("map")(inverted));
            glue::set_column(df, nb::str("RELATED_TICKER"), nb::object(df["RELATED_FIGI"]).attr("map")(figi_map));
            return df;
        },
        "SPLC");

    m.attr("SPLC") = ABCMeta("SPLC", nb::make_tuple(S3Data), ns);
}

}  // namespace shelfsets
