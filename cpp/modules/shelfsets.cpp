// orvane_data.from_s3.shelfsets: vendor reference datasets published to S3 as dated snapshots.
// The abstract snapshot dataset S3Data, the snapshot selection rule, two date helpers, ticker/FIGI
// conversion through BQL; the supply-chain dataset SPLC (shelfsets_splc.cpp) and the
// economist-estimates dataset ECOEST (shelfsets_ecoest.cpp) are defined on top of these.
//
// Transfers and parsing are done by bucketio, boto3, pyarrow and pandas; the filters are single
// vectorised pandas expressions. Imported libraries and the two storage functions are looked up as
// module attributes on each call.
#include "shelfsets.hpp"

#include <initializer_list>
#include <utility>

using namespace nb::literals;
using namespace shelfsets;  // the helpers and glue names the units share

namespace shelfsets {


const char *kLoadDoc = "Retrieve the latest snapshot.";

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

// The calendar date of pd.to_datetime(x).
nb::object day_of(nb::handle pd, nb::handle x) { return pd.attr("to_datetime")(x).attr("date")(); }

nb::object renumbered(nb::handle df, nb::handle mask) {
    return nb::object(df[mask]).attr("reset_index")("drop"_a = true);
}

nb::dict class_namespace(nb::module_ &m, const char *qualname, const char *doc) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = qualname;
    ns["__doc__"] = doc;
    return ns;
}

nb::object add_method(nb::module_ &m, nb::dict &ns, glue::Signature signature, const char *doc, glue::Impl impl,
                      const char *owner) {
    nb::object method = glue::function(m, signature, doc, std::move(impl), owner);
    ns[method.attr("__name__")] = method;
    return method;
}

}  // namespace shelfsets

namespace {


const char *kS3DataDoc = "A base class for S3 data models.";
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


// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kGetNextFriday =
    "get_next_friday(date_string: str) -> str";

nb::object call_get_next_friday(glue::Call &c) {
    nb::object date = c.global("datetime").attr("strptime")(c[kGetNextFriday["date_string"]], "%Y%m%d");
    const long weekday = nb::cast<long>(date.attr("weekday")());
    long days = (4 - weekday + 7) % 7;
    if (days == 0) days = 7;
    nb::object later = date + c.global("timedelta")("days"_a = days);
    return later.attr("strftime")("%Y%m%d");
}

constexpr glue::Signature kFindClosestEarlierDate =
    "find_closest_earlier_date(target_date_str: str, date_list: list) -> Optional[str]";

nb::object call_find_closest_earlier_date(glue::Call &c) {
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
}

// One BQL request "<fields> for(<universe>)": a str alone (exactly str) is sent as a list of one,
// anything else as the interpreter prints it.
nb::object execute_for(nb::handle bq, const char *fields, nb::handle identifiers) {
    nb::object universe = nb::borrow(identifiers);
    if (PyUnicode_CheckExact(universe.ptr())) {
        nb::list one;
        one.append(universe);
        universe = one;
    }
    nb::str query = cat({nb::str(fields), nb::str(" for("), text_of(universe), nb::str(")")});
    return bq.attr("execute")(query);
}

constexpr glue::Signature kTickerToFigi =
    "ticker_to_figi(tickers: Union[List[str], str], bq: bql_Service) -> Dict[str, str]";

nb::object call_ticker_to_figi(glue::Call &c) {
    nb::object response = execute_for(c[kTickerToFigi["bq"]], "get(ID_BB_GLOBAL)", c[kTickerToFigi["tickers"]]);
    nb::object table = nb::object(response[nb::int_(0)]).attr("df")();
    return nb::object(table["ID_BB_GLOBAL"]).attr("to_dict")();
}

constexpr glue::Signature kFigiToTicker =
    "figi_to_ticker(figis: Union[List[str], str], bq: bql_Service) -> Dict[str, str]";

nb::object call_figi_to_ticker(glue::Call &c) {
    nb::object response =
        execute_for(c[kFigiToTicker["bq"]], "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES)", c[kFigiToTicker["figis"]]);
    nb::list tables;
    for (nb::handle item : response) tables.append(item.attr("df")());
    nb::object df = c.global("pd").attr("concat")(tables, "axis"_a = 1);
    nb::object blank = nb::str(" ");
    nb::object key = df["TICKER"] + blank + df["EXCH_CODE"] + blank + df["MARKET_SECTOR_DES"];
    glue::set_column(df, nb::str("parsekey"), key);
    return nb::object(df["parsekey"]).attr("to_dict")();
}

// ---- S3Data: the abstract operations, which do nothing -----------------------------------------

constexpr glue::Signature kAbstractLoadSnapshot =
    "_load_snapshot(self)";
constexpr glue::Signature kAbstractGetData =
    "get_data(self, as_of_date: str) -> pd.DataFrame";

nb::object call_abstract(glue::Call &) { return nb::none(); }

// The class S3Data(abc.ABC) with its two abstract operations.
nb::object s3data_class(nb::module_ &m) {
    nb::dict ns = class_namespace(m, "S3Data", kS3DataDoc);
    nb::object load = add_method(m, ns, kAbstractLoadSnapshot, "Select a snapshot and load its rows into self.data.",
                                 call_abstract, "S3Data");
    nb::object get = add_method(m, ns, kAbstractGetData, "Return rows of the loaded snapshot.", call_abstract, "S3Data");
    glue::set_abstract(load);
    glue::set_abstract(get);
    nb::object abc = m.attr("abc");
    return abc.attr("ABCMeta")("S3Data", nb::make_tuple(abc.attr("ABC")), ns);
}

// ---- load-time setup -------------------------------------------------------------------------

void import_standard_names(nb::module_ &m) {
    m.attr("os") = glue::import("os");
    m.attr("warnings") = glue::import("warnings");
    m.attr("abc") = glue::import("abc");
    m.attr("bisect") = glue::import("bisect");
    m.attr("datetime") = glue::import("datetime").attr("datetime");
    m.attr("timedelta") = glue::import("datetime").attr("timedelta");
    nb::object typing = glue::import("typing");
    for (const char *name : {"Any", "Dict", "List", "Optional", "Union"}) m.attr(name) = typing.attr(name);
}

// bql and boto3, each absorbed when missing (bql_Service is then None, bq undefined).
void import_optional_libraries(nb::module_ &m, bool show_warnings) {
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
}

void import_required_libraries(nb::module_ &m) {
    m.attr("pd") = glue::import("pandas");
    m.attr("pa") = glue::import("pyarrow");
    m.attr("pq") = glue::import("pyarrow.parquet");
    m.attr("tqdm") = glue::import("tqdm").attr("tqdm");
    nb::object bucketio = glue::import("orvane_data.from_s3.bucketio");
    m.attr("list_s3_objects") = bucketio.attr("list_s3_objects");
    m.attr("read_from_s3") = bucketio.attr("read_from_s3");
}

}  // namespace

ORVANE_MODULE(shelfsets, m) {
    import_standard_names(m);
    const bool show_warnings = glue::show_warnings_from_env();
    m.attr("SHOW_WARNINGS") = nb::bool_(show_warnings);
    import_optional_libraries(m, show_warnings);
    import_required_libraries(m);

    glue::def(m, kGetNextFriday, kNextFridayDoc, call_get_next_friday);
    glue::def(m, kFindClosestEarlierDate, kClosestDoc, call_find_closest_earlier_date);
    glue::def(m, kTickerToFigi, kTickerToFigiDoc, call_ticker_to_figi);
    glue::def(m, kFigiToTicker, kFigiToTickerDoc, call_figi_to_ticker);

    nb::object S3Data = s3data_class(m);
    m.attr("S3Data") = S3Data;
    m.attr("SPLC") = splc_class(m, S3Data);
    m.attr("ECOEST") = ecoest_class(m, S3Data);
}
