// SPLC: the supply-chain and competitor relationship snapshots (gzip CSV), loaded whole and
// queried by tickers and date range.
#include "shelfsets_splc.hpp"

#include "glue/arrays.hpp"

#include <cstdint>
#include <optional>
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
bool is_eight_digits(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) != 8) return false;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(text.ptr(), i);
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// ---- the methods, as the interpreter calls them ---------------------------------------------

constexpr glue::Signature kFilePathFunc =
    "file_path_func(_, dataset_name, file_date)";

nb::object call_file_path_func(glue::Call &c) {
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
}

constexpr glue::Signature kInit =
    "__init__(self, as_of_date: str = None, dataset: str = 'supplier', bq: Optional[bql_Service] = None)";

nb::object call_init(glue::Call &c) {
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
}

constexpr glue::Signature kGetDistinct =
    "get_distinct(self) -> List[Any]";

nb::object call_get_distinct(glue::Call &c) {
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
}

constexpr glue::Signature kLoadSnapshot =
    "_load_snapshot(self, as_of_date: str = None)";

nb::object call_load_snapshot(glue::Call &c) {
    nb::handle self = c[kLoadSnapshot["self"]];
    nb::object dates = self.attr("get_distinct")();
    nb::object chosen = select_snapshot(dates, c[kLoadSnapshot["as_of_date"]]);
    nb::object key = self.attr("file_path_func")("dataset_name"_a = self.attr("dataset_name"), "file_date"_a = chosen);
    nb::object df = c.global("read_from_s3")("file_path"_a = key, "data_format"_a = "csv.gz",
                                             "bucket"_a = self.attr("bucket"), "prefix"_a = "", "by_chunks"_a = true,
                                             "chunksize"_a = 100000);
    nb::object pd = c.global("pd");
    for (const char *col : {"RELTNSHP_START_DT", "RELTNSHP_END_DT"}) {
        glue::set_column(df, nb::str(col), calendar_dates(pd, df[col]));
    }
    nb::setattr(self, "data", df);
    return nb::none();
}

// ---- get_data's steps ---------------------------------------------------------------------

// Overlap with the window: begun by its end and not ended before its start. Natively, the rows
// kept are only noted (and taken once, after the selection by ticker and kind); by pandas' own
// comparisons, `df` becomes the rows kept.
std::optional<std::vector<uint8_t>> window_rows(nb::handle pd, nb::object &df, nb::handle start, nb::handle end) {
    nb::object end_day = end.is_none() ? nb::none() : day_of(pd, end);
    nb::object start_day = start.is_none() ? nb::none() : day_of(pd, start);
    nb::object starts = df["RELTNSHP_START_DT"];
    nb::object ends = df["RELTNSHP_END_DT"];
    auto keep = window_mask(pd, starts, ends, end_day, start_day);
    if (keep) return keep;
    nb::object mask;
    if (!end.is_none()) {
        nb::object col = df["RELTNSHP_START_DT"];
        nb::object bound = bound_for(pd, col, day_of(pd, end));
        nb::object begun = glue::le(col, bound);
        mask = begun | col.attr("isna")();
    }
    if (!start.is_none()) {
        nb::object col = df["RELTNSHP_END_DT"];
        nb::object bound = bound_for(pd, col, day_of(pd, start));
        nb::object running = glue::ge(col, bound);
        nb::object kept = running | col.attr("isna")();
        mask = mask.is_valid() ? mask & kept : kept;
    }
    df = renumbered(df, mask);
    return std::nullopt;
}

// The rows of `df` kept by the window (`window`, when only noted) whose ID_BB_GLOBAL is among
// `figis` and, for a `kind` given, whose RELATIONSHIP is `kind`, renumbered from 0.
nb::object chosen_rows(nb::handle pd, nb::handle df, std::optional<std::vector<uint8_t>> &&window, nb::handle figis,
                       bool by_kind, nb::handle kind) {
    const bool pending = window.has_value();  // the window noted, not yet taken
    std::vector<uint8_t> keep = pending ? std::move(*window) : std::vector<uint8_t>(nb::len(df), 1);
    const std::vector<uint8_t> windowed = keep;
    nb::object ids = df["ID_BB_GLOBAL"], kinds = df["RELATIONSHIP"];
    if (keep_chosen(ids, figis, kinds, kind, keep)) return rows_where(pd, df, std::move(keep));

    // pandas' selection on every row (an element-wise answer), when it is plain bool.
    nb::object chosen = ids.attr("isin")(figis);
    if (by_kind) chosen = chosen & glue::eq(kinds, kind);
    nb::object np = glue::import("numpy");
    nb::object dtype = chosen.attr("dtype");
    if (nb::isinstance(dtype, np.attr("dtype")) && glue::to_str(dtype.attr("kind")) == "b") {
        nb::object flags = np.attr("ascontiguousarray")(chosen.attr("to_numpy")());
        const uint8_t *chosen_rows = glue::array_data<const uint8_t>(flags);
        keep = windowed;
        for (size_t i = 0; i < keep.size(); ++i) keep[i] &= chosen_rows[i];
        return rows_where(pd, df, std::move(keep));
    }
    // pandas' own selection, on the rows of the window
    nb::object rows = pending ? rows_where(pd, df, std::vector<uint8_t>(windowed)) : nb::borrow(df);
    chosen = nb::object(rows["ID_BB_GLOBAL"]).attr("isin")(figis);
    if (by_kind) chosen = chosen & glue::eq(rows["RELATIONSHIP"], kind);
    return renumbered(rows, chosen);
}

// TICKER (the requested ticker of each ID_BB_GLOBAL) and RELATED_TICKER (RELATED_FIGI's parsekey).
void add_ticker_columns(glue::Call &c, nb::handle df, nb::handle ticker_map, nb::handle bq) {
    nb::object related = nb::object(df["RELATED_FIGI"]).attr("tolist")();
    nb::object figi_map = c.global("figi_to_ticker")(related, bq);
    nb::dict inverted;
    for (auto [ticker, figi] : nb::borrow<nb::dict>(ticker_map)) inverted[figi] = ticker;
    glue::set_column(df, nb::str("TICKER"), nb::object(df["ID_BB_GLOBAL"]).attr("map")(inverted));
    glue::set_column(df, nb::str("RELATED_TICKER"), nb::object(df["RELATED_FIGI"]).attr("map")(figi_map));
}

constexpr glue::Signature kGetData =
    "get_data(self, tickers: List[str], start: Optional[str], end: Optional[str]) -> pd.DataFrame";

nb::object call_get_data(glue::Call &c) {
    const auto [self, tickers, start, end] =
        query_of(c, kGetData["self"], kGetData["tickers"], kGetData["start"], kGetData["end"]);
    nb::object pd = c.global("pd");
    nb::object df = self.attr("data");
    std::optional<std::vector<uint8_t>> window;
    if (!end.is_none() || !start.is_none()) window = window_rows(pd, df, start, end);

    nb::object bq = self.attr("bq");
    if (bq.is_none()) return window ? rows_where(pd, df, std::move(*window)) : df;

    nb::object ticker_map = c.global("ticker_to_figi")(tickers, bq);
    nb::object figis = nb::list(ticker_map.attr("values")());
    nb::object dataset = self.attr("dataset");
    const bool by_kind = !dataset.equal(nb::str("competitor"));
    nb::object kind = by_kind ? dataset.attr("upper")() : nb::none();
    df = chosen_rows(pd, df, std::move(window), figis, by_kind, kind);
    add_ticker_columns(c, df, ticker_map, bq);
    return df;
}

}  // namespace

nb::object splc_class(nb::module_ &m, nb::handle S3Data) {
    nb::dict ns = class_namespace(m, "SPLC", kSplcDoc);
    ns["bucket"] = "bquant-data-base-equity";
    ns["folder_path"] = "alt_data/supply_chain/dl/datasets";
    nb::dict names;
    names["supplier"] = "supplyChainHistoryV2";
    names["customer"] = "supplyChainHistoryV2";
    names["competitor"] = "supplyChainCompetitorsHistory";
    ns["dataset_names"] = names;

    add_method(m, ns, kFilePathFunc, "Returns the object key of one snapshot of a vendor table.", call_file_path_func,
               "SPLC");
    add_method(m, ns, kInit, kSplcInitDoc, call_init, "SPLC");
    add_method(m, ns, kGetDistinct, kSplcDistinctDoc, call_get_distinct, "SPLC");
    add_method(m, ns, kLoadSnapshot, kLoadDoc, call_load_snapshot, "SPLC");
    add_method(m, ns, kGetData, kSplcGetDataDoc, call_get_data, "SPLC");

    return m.attr("abc").attr("ABCMeta")("SPLC", nb::make_tuple(S3Data), ns);
}

}  // namespace shelfsets
