// ECOEST: the economist-estimates snapshot (parquet), queried by event tickers and survey dates.
#include "shelfsets.hpp"

using namespace nb::literals;

namespace shelfsets {

namespace {

const char *kEcoestDoc = "Economist estimates APIs.";
const char *kEcoestInitDoc = "Load one snapshot of the economist estimates (the latest when as_of_date is None).";
const char *kEcoestDistinctDoc =
    "Returns the distinct values of one column of a parquet object in S3 as a list, read row group\n"
    "    by row group.";
const char *kEcoestGetDataDoc =
    "Estimates for the given event tickers (all when the list is empty) surveyed between the\n"
    "    calendar days `start` and `end`, both included; None leaves a bound open.\n";

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

// ---- the methods, as the interpreter calls them ---------------------------------------------

constexpr glue::Signature kInit =
    "__init__(self, as_of_date: str = None)";

nb::object call_init(glue::Call &c) {
    c[kInit["self"]].attr("_load_snapshot")(c[kInit["as_of_date"]]);
    return nb::none();
}

constexpr glue::Signature kGetDistinct =
    "get_distinct(self, column: str, bucket: str, key: str) -> List[Any]";

nb::object call_get_distinct(glue::Call &c) {
    nb::object s3 = c.global("boto3").attr("resource")("s3");
    nb::handle bucket = c[kGetDistinct["bucket"]], key = c[kGetDistinct["key"]];
    nb::handle column = c[kGetDistinct["column"]];
    nb::object body = s3.attr("Object")(bucket, key).attr("get")()["Body"].attr("read")();
    nb::object parquet_file = c.global("pq").attr("ParquetFile")(c.global("pa").attr("BufferReader")(body));
    const long groups = nb::cast<long>(parquet_file.attr("num_row_groups"));
    nb::object progress =
        c.global("tqdm")(nb::handle((PyObject *) &PyRange_Type)(groups), **glue::tqdm_options_from_env());
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
}

constexpr glue::Signature kLoadSnapshot =
    "_load_snapshot(self, as_of_date: str = None)";

nb::object call_load_snapshot(glue::Call &c) {
    nb::handle self = c[kLoadSnapshot["self"]];
    nb::object values = self.attr("get_distinct")("column"_a = "dlSnapshotDate", "bucket"_a = self.attr("bucket"),
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
}

constexpr glue::Signature kGetData =
    "get_data(self, tickers: List[str], start: str = None, end: str = None) -> pd.DataFrame";

nb::object call_get_data(glue::Call &c) {
    const auto [self, tickers, start, end] =
        query_of(c, kGetData["self"], kGetData["tickers"], kGetData["start"], kGetData["end"]);
    nb::object pd = c.global("pd");
    nb::object df = self.attr("data");
    if (!start.is_none() || !end.is_none()) {
        nb::object first = start.is_none() ? nb::none() : day_of(pd, start);
        nb::object last = end.is_none() ? nb::none() : day_of(pd, end);
        df = renumbered(df, survey_day_mask(pd, df["economistSurveyTimestamp"], first, last));
    }
    nb::dict names;
    names["column0"] = "event_ticker";
    df = df.attr("rename")("columns"_a = names);
    if (nb::len(tickers) > 0) df = renumbered(df, nb::object(df["event_ticker"]).attr("isin")(tickers));
    return df;
}

}  // namespace

nb::object ecoest_class(nb::module_ &m, nb::handle S3Data) {
    nb::dict ns = class_namespace(m, "ECOEST", kEcoestDoc);
    ns["bucket"] = "bquant-data-base-macro";
    ns["file_path"] = "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet";

    add_method(m, ns, kInit, kEcoestInitDoc, call_init, "ECOEST");
    add_method(m, ns, kGetDistinct, kEcoestDistinctDoc, call_get_distinct, "ECOEST");
    add_method(m, ns, kLoadSnapshot, kLoadDoc, call_load_snapshot, "ECOEST");
    add_method(m, ns, kGetData, kEcoestGetDataDoc, call_get_data, "ECOEST");

    return m.attr("abc").attr("ABCMeta")("ECOEST", nb::make_tuple(S3Data), ns);
}

}  // namespace shelfsets
