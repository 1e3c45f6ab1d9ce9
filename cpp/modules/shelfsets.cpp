// orvane_data.from_s3.shelfsets: vendor reference datasets published to S3 as dated snapshots.
// The abstract snapshot dataset S3Data, the snapshot selection rule, two date helpers, ticker/FIGI
// conversion through BQL, the supply-chain dataset SPLC and the economist-estimates dataset ECOEST.
//
// Transfers and parsing are done by bucketio, boto3, pyarrow and pandas; the filters are single
// vectorised pandas expressions, so everything stays in the binding file. Imported libraries and
// the two storage functions are looked up as module attributes on each call.
#include "glue/glue.hpp"

#include <initializer_list>

using namespace nb::literals;

namespace {

using glue::assertions_enabled;
using glue::cat;
using glue::raise_text;
using glue::text_of;
using glue::truthy;

// Snapshot selection: the latest published date when `as_of_date` is None, else `as_of_date` with
// every "-" removed, which must be one of the published dates.
nb::object select_snapshot(nb::handle dates, nb::handle as_of_date) {
    nb::object builtins = glue::import("builtins");
    nb::object latest = builtins.attr("max")(dates);  // ValueError on an empty listing
    if (as_of_date.is_none()) return latest;
    nb::object chosen = as_of_date.attr("replace")("-", "");
    if (assertions_enabled()) {
        const int found = PySequence_Contains(dates.ptr(), chosen.ptr());
        if (found < 0) throw nb::python_error();
        if (found == 0)
            raise_text(PyExc_AssertionError,
                       cat({text_of(chosen), nb::str(" is not valid. Valid snapshot dates: "), text_of(dates),
                            nb::str(".")}));
    }
    return chosen;
}

// The bound in a form a date column compares with: a date for columns of date objects, a midnight
// Timestamp for a column that pandas keeps as datetime64 (one whose values are all missing).
nb::object bound_for(nb::handle pd, nb::handle col, nb::handle day) {
    if (truthy(pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(col))) return pd.attr("Timestamp")(day);
    return nb::borrow(day);
}

// parsed.dt.date, converting each distinct timestamp once: snapshot date columns repeat a few
// thousand days over a million rows. A column without any value keeps the plain conversion.
nb::object calendar_dates(nb::handle pd, nb::handle parsed) {
    const bool any_value = truthy(parsed.attr("notna")().attr("any")());
    if (!any_value) return parsed.attr("dt").attr("date");
    nb::object np = glue::import("numpy");
    nb::object factors = pd.attr("factorize")(parsed);
    nb::object codes = factors[0];
    nb::object days = np.attr("asarray")(factors[1].attr("date"), "dtype"_a = "object");
    nb::object out = np.attr("empty")(nb::len(parsed), "dtype"_a = "object");
    out.attr("fill")(pd.attr("NaT"));
    nb::object known = glue::ge(codes, nb::int_(0));
    out[known] = days[codes[known]];
    return pd.attr("Series")(out, "index"_a = parsed.attr("index"), "name"_a = parsed.attr("name"));
}

// The calendar date of pd.to_datetime(x).
nb::object day_of(nb::handle pd, nb::handle x) { return pd.attr("to_datetime")(x).attr("date")(); }

bool is_eight_digits(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) != 8) return false;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(text.ptr(), i);
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// Mask of the survey timestamps whose calendar date lies within [first, last] (either may be None),
// whatever the column's storage: datetime64 naive or aware (the zone's own calendar date), or
// objects (dates, datetimes, strings). Missing values are never kept.
nb::object survey_day_mask(nb::handle pd, nb::handle col, nb::handle first, nb::handle last) {
    nb::object types = pd.attr("api").attr("types");
    if (truthy(types.attr("is_datetime64_any_dtype")(col))) {
        nb::object wall = nb::borrow(col);
        if (!col.attr("dt").attr("tz").is_none()) wall = col.attr("dt").attr("tz_localize")(nb::none());
        nb::object days = wall.attr("dt").attr("normalize")();
        nb::object mask;
        if (!first.is_none()) mask = glue::ge(days, pd.attr("Timestamp")(first));
        if (!last.is_none()) {
            nb::object upper = glue::le(days, pd.attr("Timestamp")(last));
            mask = mask.is_valid() ? mask & upper : upper;
        }
        return mask;
    }
    nb::object datetime_type = glue::import("datetime").attr("datetime");
    nb::object date_type = glue::import("datetime").attr("date");
    nb::object isna = pd.attr("isna");
    nb::list keep;
    for (nb::handle v : col.attr("tolist")()) {
        bool ok = false;
        if (!truthy(isna(v))) {
            nb::object day;
            if (PyObject_IsInstance(v.ptr(), datetime_type.ptr()) == 1) day = v.attr("date")();
            else if (PyObject_IsInstance(v.ptr(), date_type.ptr()) == 1) day = nb::borrow(v);
            else if (PyUnicode_Check(v.ptr())) day = day_of(pd, v);
            else day = nb::borrow(v);  // numbers do not compare with dates: the comparison's TypeError
            ok = (first.is_none() || truthy(glue::ge(day, first))) &&
                 (last.is_none() || truthy(glue::le(day, last)));
        }
        keep.append(nb::bool_(ok));
    }
    return pd.attr("Series")(keep, "index"_a = col.attr("index"), "dtype"_a = "bool");
}

nb::object renumbered(nb::handle df, nb::handle mask) {
    return nb::object(df[mask]).attr("reset_index")("drop"_a = true);
}

const char *kS3DataDoc = "A base class for S3 data models.";
const char *kSplcDoc = "Supply Chain/Competitor APIs.";
const char *kEcoestDoc = "Economist estimates APIs.";
const char *kLoadDoc = "Retrieve the latest snapshot.";

const char *kNextFridayDoc =
    "Return the first Friday strictly after a 'yyyymmdd' date, as 'yyyymmdd'.\n"
    "\n"
    "    A Friday gives the Friday of the following week.\n";

const char *kClosestDoc =
    "Return the latest date of an ascending list of 'yyyymmdd' strings that is on or before the\n"
    "    target (the target itself when listed), or None when every date is later.\n";

const char *kTickerToFigiDoc =
    "Convert parsekey tickers to FIGI codes.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    tickers: a parsekey ticker or a list of them, e.g. 'IBM US Equity'\n"
    "    bq: the BQL service\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    The dictionary of parsekey:FIGI.\n";

const char *kFigiToTickerDoc =
    "Convert FIGI codes to parsekey tickers.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    figis: a FIGI code or a list of them\n"
    "    bq: the BQL service\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    The dictionary of FIGI:parsekey.\n";

const char *kSplcInitDoc =
    "Load one snapshot of the supply-chain history.\n"
    "\n"
    "    as_of_date: snapshot date 'yyyymmdd' or 'yyyy-mm-dd'; the latest when None\n"
    "    dataset: \"supplier\", \"customer\" or \"competitor\"\n"
    "    bq: BQL service used to convert tickers and FIGIs; None returns rows without conversion\n";

const char *kSplcDistinctDoc = "The published snapshot dates of this instance's table, one per snapshot object.";

const char *kSplcGetDataDoc =
    "Relationships of the requested tickers that overlap the window [start, end].\n"
    "\n"
    "    A relationship is kept when it starts on or before `end` and ends on or after `start`;\n"
    "    a missing start or end date leaves that side open. None leaves a bound open. Without a\n"
    "    BQL service the date-filtered snapshot comes back without ticker columns.\n";

const char *kEcoestInitDoc = "Load one snapshot of the economist estimates (the latest when as_of_date is None).";

const char *kEcoestDistinctDoc =
    "The distinct values of one column of a parquet object in S3, read row group by row group.";

const char *kEcoestGetDataDoc =
    "Estimates for the given event tickers (all when the list is empty) surveyed between the\n"
    "    calendar days `start` and `end`, both included; None leaves a bound open.\n";

}  // namespace

ORVANE_MODULE(shelfsets, m) {
    m.attr("os") = glue::import("os");
    m.attr("warnings") = glue::import("warnings");
    m.attr("abc") = glue::import("abc");
    m.attr("bisect") = glue::import("bisect");
    m.attr("datetime") = glue::import("datetime").attr("datetime");
    m.attr("timedelta") = glue::import("datetime").attr("timedelta");
    {
        nb::object typing = glue::import("typing");
        for (const char *name : {"Any", "Dict", "List", "Optional", "Union"}) m.attr(name) = typing.attr(name);
    }

    const bool show_warnings = glue::show_warnings_from_env();
    m.attr("SHOW_WARNINGS") = nb::bool_(show_warnings);

    const bool have_bql = glue::guarded_import(glue::Absorb::ModuleNotFound, show_warnings,
                                               "'bql' is not installed.", [&] {
                                                   nb::object bql = glue::import("bql");
                                                   m.attr("bql") = bql;
                                                   m.attr("bql_Service") = bql.attr("Service");
                                                   m.attr("bq") = bql.attr("Service")();
                                               });
    if (!have_bql) m.attr("bql_Service") = nb::none();

    glue::guarded_import(glue::Absorb::ModuleNotFound, show_warnings, "'boto3' is not installed.",
                         [&] { m.attr("boto3") = glue::import("boto3"); });

    m.attr("pd") = glue::import("pandas");
    m.attr("pa") = glue::import("pyarrow");
    m.attr("pq") = glue::import("pyarrow.parquet");
    m.attr("tqdm") = glue::import("tqdm").attr("tqdm");
    {
        nb::object bucketio = glue::import("orvane_data.from_s3.bucketio");
        m.attr("list_s3_objects") = bucketio.attr("list_s3_objects");
        m.attr("read_from_s3") = bucketio.attr("read_from_s3");
    }

    // ---- date helpers ------------------------------------------------------------------------

    static constexpr glue::Signature kGetNextFriday =
        "get_next_friday(date_string: str) -> str";
    glue::def(m, kGetNextFriday, kNextFridayDoc, [](glue::Call &c) -> nb::object {
        nb::object date = c.global("datetime").attr("strptime")(c[kGetNextFriday["date_string"]], "%Y%m%d");
        const long weekday = nb::cast<long>(date.attr("weekday")());
        long days = (4 - weekday + 7) % 7;
        if (days == 0) days = 7;
        nb::object later = date + c.global("timedelta")("days"_a = days);
        return later.attr("strftime")("%Y%m%d");
    });

    static constexpr glue::Signature kFindClosestEarlierDate =
        "find_closest_earlier_date(target_date_str: str, date_list: list) -> Optional[str]";
    glue::def(m, kFindClosestEarlierDate, kClosestDoc,
              [](glue::Call &c) -> nb::object {
                  nb::handle target = c[kFindClosestEarlierDate["target_date_str"]];
                  nb::handle dates = c[kFindClosestEarlierDate["date_list"]];
                  const Py_ssize_t at = nb::cast<Py_ssize_t>(c.global("bisect").attr("bisect_right")(dates, target));
                  if (at <= 0) return nb::none();
                  // The list may have changed size during comparisons; index through the interpreter.
                  nb::object found = c[kFindClosestEarlierDate["date_list"]][nb::int_(at - 1)];
                  if (!PyUnicode_CheckExact(found.ptr())) {
                      PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(found.ptr())->tp_name);
                      throw nb::python_error();
                  }
                  return found;
              });

    // ---- ticker / FIGI conversion ------------------------------------------------------------

    static constexpr glue::Signature kTickerToFigi =
        "ticker_to_figi(tickers: Union[List[str], str], bq: bql_Service) -> Dict[str, str]";
    glue::def(m, kTickerToFigi,
              kTickerToFigiDoc, [](glue::Call &c) -> nb::object {
                  nb::object universe = nb::borrow(c[kTickerToFigi["tickers"]]);
                  if (PyUnicode_CheckExact(universe.ptr())) {
                      nb::list one;
                      one.append(universe);
                      universe = one;
                  }
                  nb::str query = cat({nb::str("get(ID_BB_GLOBAL) for("), text_of(universe), nb::str(")")});
                  nb::object response = c[kTickerToFigi["bq"]].attr("execute")(query);
                  nb::object table = nb::object(response[nb::int_(0)]).attr("df")();
                  return nb::object(table["ID_BB_GLOBAL"]).attr("to_dict")();
              });

    static constexpr glue::Signature kFigiToTicker =
        "figi_to_ticker(figis: Union[List[str], str], bq: bql_Service) -> Dict[str, str]";
    glue::def(m, kFigiToTicker,
              kFigiToTickerDoc, [](glue::Call &c) -> nb::object {
                  nb::object universe = nb::borrow(c[kFigiToTicker["figis"]]);
                  if (PyUnicode_CheckExact(universe.ptr())) {
                      nb::list one;
                      one.append(universe);
                      universe = one;
                  }
                  nb::str query = cat({nb::str("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for("), text_of(universe),
                                       nb::str(")")});
                  nb::object response = c[kFigiToTicker["bq"]].attr("execute")(query);
                  nb::list tables;
                  for (nb::handle item : response) tables.append(item.attr("df")());
                  nb::object df = c.global("pd").attr("concat")(tables, "axis"_a = 1);
                  nb::object blank = nb::str(" ");
                  nb::object key = df["TICKER"] + blank + df["EXCH_CODE"] + blank + df["MARKET_SECTOR_DES"];
                  glue::set_column(df, nb::str("parsekey"), key);
                  return nb::object(df["parsekey"]).attr("to_dict")();
              });

    // ---- S3Data --------------------------------------------------------------------------------

    nb::object abc = m.attr("abc");
    nb::object ABCMeta = abc.attr("ABCMeta");
    nb::object S3Data;
    {
        nb::dict ns;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = "S3Data";
        ns["__doc__"] = kS3DataDoc;
        static constexpr glue::Signature kLoadSnapshot =
            "_load_snapshot(self)";
        nb::object load = glue::function(m, kLoadSnapshot, "Select a snapshot and load its rows into self.data.",
            [](glue::Call &) -> nb::object { return nb::none(); }, "S3Data");
        static constexpr glue::Signature kGetData =
            "get_data(self, as_of_date: str) -> pd.DataFrame";
        nb::object get = glue::function(m, kGetData, "Return rows of the loaded snapshot.",
            [](glue::Call &) -> nb::object { return nb::none(); }, "S3Data");
        glue::set_abstract(load);
        glue::set_abstract(get);
        ns["_load_snapshot"] = load;
        ns["get_data"] = get;
        S3Data = ABCMeta("S3Data", nb::make_tuple(abc.attr("ABC")), ns);
        m.attr("S3Data") = S3Data;
    }

    // ---- SPLC ----------------------------------------------------------------------------------

    {
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
        ns["file_path_func"] = glue::function(m, kFilePathFunc, "The object key of one snapshot of a vendor table.",
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
                    if (nb::len(parts) < 7) continue;
                    nb::object date = parts[nb::int_(6)];
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
                    nb::object parsed = pd.attr("to_datetime")(df[col]);
                    glue::set_column(df, nb::str(col), calendar_dates(pd, parsed));
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
                nb::handle self = c[kGetData["self"]];
                nb::handle tickers = c[kGetData["tickers"]];
                nb::handle start = c[kGetData["start"]];
                nb::handle end = c[kGetData["end"]];
                nb::object pd = c.global("pd");
                nb::object df = self.attr("data");

                // Overlap with the window: begun by its end and not ended before its start.
                nb::object mask;
                if (!end.is_none()) {
                    nb::object col = df["RELTNSHP_START_DT"];
                    nb::object bound = bound_for(pd, col, day_of(pd, end));
                    mask = glue::le(col, bound) | col.attr("isna")();
                }
                if (!start.is_none()) {
                    nb::object col = df["RELTNSHP_END_DT"];
                    nb::object bound = bound_for(pd, col, day_of(pd, start));
                    nb::object keep = glue::ge(col, bound) | col.attr("isna")();
                    mask = mask.is_valid() ? mask & keep : keep;
                }
                if (mask.is_valid()) df = renumbered(df, mask);

                nb::object bq = self.attr("bq");
                if (bq.is_none()) return df;

                nb::object ticker_map = c.global("ticker_to_figi")(tickers, bq);
                nb::object figis = nb::list(ticker_map.attr("values")());
                nb::object keep = nb::object(df["ID_BB_GLOBAL"]).attr("isin")(figis);
                nb::object dataset = self.attr("dataset");
                if (!dataset.equal(nb::str("competitor"))) {
                    nb::object kind = glue::eq(df["RELATIONSHIP"], dataset.attr("upper")());
                    keep = keep & kind;
                }
                df = renumbered(df, keep);

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

    // ---- ECOEST --------------------------------------------------------------------------------

    {
        nb::dict ns;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = "ECOEST";
        ns["__doc__"] = kEcoestDoc;
        ns["bucket"] = "bquant-data-base-macro";
        ns["file_path"] = "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet";

        static constexpr glue::Signature kInit =
            "__init__(self, as_of_date: str = None)";
        ns["__init__"] = glue::function(m, kInit, kEcoestInitDoc,
            [](glue::Call &c) -> nb::object {
                c[kInit["self"]].attr("_load_snapshot")(c[kInit["as_of_date"]]);
                return nb::none();
            },
            "ECOEST");

        static constexpr glue::Signature kGetDistinct =
            "get_distinct(self, column: str, bucket: str, key: str) -> List[Any]";
        ns["get_distinct"] = glue::function(m, kGetDistinct, kEcoestDistinctDoc,
            [](glue::Call &c) -> nb::object {
                nb::object s3 = c.global("boto3").attr("resource")("s3");
                nb::handle bucket = c[kGetDistinct["bucket"]], key = c[kGetDistinct["key"]];
                nb::handle column = c[kGetDistinct["column"]];
                nb::object body = s3.attr("Object")(bucket, key).attr("get")()["Body"].attr("read")();
                nb::object parquet_file = c.global("pq").attr("ParquetFile")(c.global("pa").attr("BufferReader")(body));
                const long groups = nb::cast<long>(parquet_file.attr("num_row_groups"));
                nb::object progress = c.global("tqdm")(nb::handle((PyObject *) &PyRange_Type)(groups));
                nb::set unique;
                nb::list columns;
                columns.append(column);
                nb::str words("Retrieving snapshot dates ");
                for (nb::handle i : progress) {
                    progress.attr("set_description")(cat({words, text_of(i + nb::int_(1))}));
                    nb::object row_group = parquet_file.attr("read_row_group")(i, "columns"_a = columns);
                    for (nb::handle v : row_group.attr("column")(column).attr("to_pylist")()) unique.add(v);
                }
                return nb::list(unique);
            },
            "ECOEST");

        static constexpr glue::Signature kLoadSnapshot =
            "_load_snapshot(self, as_of_date: str = None)";
        ns["_load_snapshot"] = glue::function(m, kLoadSnapshot, kLoadDoc,
            [](glue::Call &c) -> nb::object {
                nb::handle self = c[kLoadSnapshot["self"]];
                nb::object values = self.attr("get_distinct")("column"_a = "dlSnapshotDate",
                                                              "bucket"_a = self.attr("bucket"),
                                                              "key"_a = self.attr("file_path"));
                nb::list dates;
                for (nb::handle v : values) dates.append(v.attr("strftime")("%Y%m%d"));
                nb::object chosen = select_snapshot(dates, c[kLoadSnapshot["as_of_date"]]);
                nb::object pd = c.global("pd");
                nb::list filters;
                filters.append(nb::make_tuple("dlSnapshotDate", "==", pd.attr("to_datetime")(chosen)));
                nb::str url = cat({nb::str("s3://"), self.attr("bucket"), nb::str("/"), self.attr("file_path")});
                nb::setattr(self, "data", pd.attr("read_parquet")(url, "filters"_a = filters));
                return nb::none();
            },
            "ECOEST");

        static constexpr glue::Signature kGetData =
            "get_data(self, tickers: List[str], start: str = None, end: str = None) -> pd.DataFrame";
        ns["get_data"] = glue::function(m, kGetData,
            kEcoestGetDataDoc,
            [](glue::Call &c) -> nb::object {
                nb::handle self = c[kGetData["self"]];
                nb::handle tickers = c[kGetData["tickers"]];
                nb::handle start = c[kGetData["start"]];
                nb::handle end = c[kGetData["end"]];
                nb::object pd = c.global("pd");
                nb::object df = self.attr("data");
                if (!start.is_none() || !end.is_none()) {
                    nb::object first = start.is_none() ? nb::none() : day_of(pd, start);
                    nb::object last = end.is_none() ? nb::none() : day_of(pd, end);
                    df = renumbered(df, survey_day_mask(pd, df["economistSurveyTimestamp"],
                                                        first, last));
                }
                nb::dict names;
                names["column0"] = "event_ticker";
                df = df.attr("rename")("columns"_a = names);
                if (nb::len(tickers) > 0)
                    df = renumbered(df, nb::object(df["event_ticker"]).attr("isin")(tickers));
                return df;
            },
            "ECOEST");

        m.attr("ECOEST") = ABCMeta("ECOEST", nb::make_tuple(S3Data), ns);
    }
}
