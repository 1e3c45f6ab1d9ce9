// orvane_data.from_bqia.querykit: BQL helpers. The economic calendar over ranges of any length,
// release-time zones and minute rounding, and identifier <-> FIGI mappings.
//
// Everything here is orchestration of BQL and pandas calls on small tables (one row per release
// or per security), so it stays in the binding file; no argument types are checked.
#include "glue/glue.hpp"

#include <string>
#include <vector>

using namespace nb::literals;

namespace {

using glue::add_note;
using glue::repr_of;
using glue::truthy;
using glue::contains;
using glue::builtin;
using glue::set_column;

// The security whose trading days tell which years a date range spans.
constexpr const char *kProbeSecurity = "JPY Curncy";

void say(const std::string &line) { builtin("print")(nb::str(line.c_str())); }

nb::object invert_sign(nb::handle sign) {
    if (glue::equals(sign, "-")) return nb::str("+");
    if (glue::equals(sign, "+")) return nb::str("-");
    return nb::none();
}

// "GMT+08:00" -> Etc/GMT-8. A label with minutes (GMT+05:30, GMT-03:30, GMT+05:45) cannot be
// an Etc/GMT zone, which only has whole hours; it gets a fixed offset of the full amount instead
// of silently losing the minutes.
nb::object convert_tz(nb::handle label) {
    nb::object re = glue::import("re");
    nb::object pytz = glue::import("pytz");
    nb::object int_ = builtin("int");
    nb::object first, hours;
    nb::object pieces = re.attr("split")("\\-|\\+|\\:", label);
    try {
        first = re.attr("findall")("\\-|\\+", label)[0];
        hours = int_(pieces[1]);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_IndexError) || e.matches(PyExc_ValueError))
            add_note(e, "the time-zone label " + repr_of(label) +
                            " is not of the form 'GMT+08:00' (a sign, then whole hours)");
        throw;
    }
    nb::object sign = invert_sign(first);
    if (nb::len(pieces) > 2) {
        nb::object mins;
        try {
            mins = int_(pieces[2]);
        } catch (nb::python_error &e) {
            // Anything after the hours that is not a number is ignored, as before.
            if (!glue::expected(e, {PyExc_ValueError})) throw;
        }
        if (mins.is_valid() && truthy(mins)) {
            nb::object total = hours * nb::int_(60) + mins;
            if (glue::equals(first, "-")) total = -total;
            return pytz.attr("FixedOffset")(total);
        }
    }
    std::string name = "Etc/GMT" + glue::to_str(sign) + glue::to_str(hours);
    return pytz.attr("timezone")(name.c_str());
}

// Moves a date-time onto a whole minute. Sub-second parts count: 09:30:00.5 is not on a whole
// minute, so it goes to 09:30:00 (down) or 09:31:00 (up); only exact minutes come back as given.
nb::object round_event_datetime(nb::handle value, nb::handle round_down) {
    nb::object sec;
    try {
        sec = value.attr("second");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_AttributeError))
            add_note(e, "round_event_datetime takes a datetime.datetime or pandas Timestamp, not " +
                            glue::type_name(value));
        throw;
    }
    nb::object zero = nb::int_(0);
    nb::object micro = glue::attr_or(value, "microsecond", zero);
    nb::object nano = glue::attr_or(value, "nanosecond", zero);
    // Compared with "> 0" rather than tested for truth so that NaT (whose fields are NaN) passes through.
    bool on_minute = !glue::holds(sec, Py_GT, zero) && !glue::holds(micro, Py_GT, zero) && !glue::holds(nano, Py_GT, zero);
    if (on_minute) return nb::borrow(value);
    nb::object timedelta = glue::import("datetime").attr("timedelta");
    nb::object back_seconds = -sec;
    nb::object back_micros = -micro;
    nb::object delta = timedelta("seconds"_a = back_seconds, "microseconds"_a = back_micros);
    if (!truthy(round_down)) delta = delta + timedelta("minutes"_a = 1);
    nb::object out = value + delta;
    if (glue::holds(nano, Py_GT, zero)) out = out - glue::import("pandas").attr("Timedelta")(nano, "unit"_a = "ns");
    return out;
}

// The calendar's release times, localised per "TIMEZONE" label and converted to `standard`.
// Rows sharing a label are converted together; rows without a label take the first row's zone.
// `localise` false converts instead (release times that arrive already zone-aware).
nb::object release_times(nb::handle df, nb::handle default_zone, nb::handle standard, bool localise) {
    nb::object pd = glue::import("pandas");
    nb::object times = pd.attr("to_datetime")(df["RELEASE_DATE_TIME"]).attr("reset_index")("drop"_a = true);
    nb::object labels = df["TIMEZONE"].attr("reset_index")("drop"_a = true);
    nb::object missing = labels.attr("isna")();
    const char *step = localise ? "tz_localize" : "tz_convert";

    nb::object distinct = labels[~missing].attr("unique")();
    std::vector<std::pair<nb::object, nb::object>> groups;  // mask, zone
    if (truthy(missing.attr("any")())) groups.emplace_back(missing, nb::borrow(default_zone));
    for (nb::handle label : distinct) {
        nb::object same_label = labels.attr("eq")(label);
        nb::object labelled = ~missing;
        nb::object mask = same_label & labelled;
        groups.emplace_back(mask, convert_tz(label));
    }
    if (groups.size() == 1) {
        return times.attr("dt").attr(step)(groups[0].second).attr("dt").attr("tz_convert")(standard);
    }
    nb::list parts;
    for (auto &[mask, zone] : groups)
        parts.append(times[mask].attr("dt").attr(step)(zone).attr("dt").attr("tz_convert")(standard));
    return pd.attr("concat")(parts).attr("sort_index")();
}

// ---- the steps of get_eco_calendar_data -------------------------------------------------

// What the caller asks of the calendar.
struct CalendarQuery {
    nb::handle bq, universe, tickers, subtype, relevancy, view;
    bool verbose;
};

// One bql.Request per year: that year's calendar (only the events of `tickers` when given), with
// the columns surprise and subtype added.
nb::list yearly_requests(glue::Call &c, const CalendarQuery &q, nb::handle list_years) {
    nb::list requests;
    for (nb::handle year : list_years) {
        const std::string y = glue::to_str(year);
        if (q.verbose) say("getting data for year " + y);
        nb::object range = q.bq.attr("func").attr("range")(y + "-01-01", y + "-12-31");
        nb::object data = q.bq.attr("data").attr("calendar")("dates"_a = range, "subtype"_a = q.subtype,
                                                            "relevancy"_a = q.relevancy, "view"_a = q.view);
        nb::object item = data;
        if (!q.tickers.is_none()) {
            nb::object matches = data.attr("matches");
            nb::object in_tickers = data["ticker"].attr("in_")(q.tickers);
            item = matches(in_tickers);
        }
        nb::dict items;
        items["Calendar"] = item;
        nb::dict preferences;
        preferences["addcols"] = builtin("list")(nb::make_tuple("surprise", "subtype"));
        requests.append(c.global("bql").attr("Request")(q.universe, items, "preferences"_a = preferences));
    }
    return requests;
}

// The requests run as one batch, the answers stacked, and only the released events kept (those
// with an 'ACTUAL' value).
nb::object released_events(glue::Call &c, nb::handle pd, const CalendarQuery &q, const nb::list &requests) {
    nb::object responses = builtin("list")(
        q.bq.attr("execute_many")(requests, "on_request_error"_a = c.global("_on_request_error")));
    nb::list frames;
    for (nb::handle response : responses) frames.append(response[0].attr("df")());
    nb::object df;
    try {
        df = pd.attr("concat")(frames, "axis"_a = 0);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) && nb::len(frames) == 0)
            add_note(e, "BQL answered none of the " + std::to_string(nb::len(requests)) +
                            " yearly calendar requests for " + repr_of(q.universe) +
                            " (failed requests of the batch are skipped)");
        throw;
    }
    nb::list subset;
    subset.append("ACTUAL");
    return df.attr("dropna")("subset"_a = subset);
}

// The zone of the first "TIMEZONE" label, the one rows without a label take.
nb::object first_label_zone(nb::handle df, nb::handle universe, nb::handle list_years) {
    nb::object labels = df["TIMEZONE"].attr("unique")();
    if (nb::len(labels) == 0) {
        try {
            nb::object none = labels[0];  // IndexError from the empty labels
        } catch (nb::python_error &e) {
            const std::string where = repr_of(universe);
            const std::string years = glue::to_str(list_years);
            add_note(e, "no released event ('ACTUAL' present) for " + where + " in the years " + years +
                            ", so there is no 'TIMEZONE' label to convert from");
            throw;
        }
    }
    return convert_tz(labels[0]);
}

// The release times in `standard`: localised from their labels' zones, or converted when that fails.
nb::object release_times_in(nb::handle df, nb::handle default_zone, nb::handle standard) {
    try {
        return release_times(df, default_zone, standard, true);
    } catch (nb::python_error &e) {
        // Any error of the first pass (times that arrive zone-aware refuse tz_localize) sends
        // the column through tz_convert instead; interrupts and MemoryError do not.
        if (!glue::expected(e, {PyExc_Exception})) throw;
    }
    return release_times(df, default_zone, standard, false);
}

// `rounded` in the time unit that rounding each value of `event_dt` by itself gives on the
// installed pandas: values already on a minute keep theirs, the others come back from a timedelta
// sum. One sample of each kind, rounded one by one, tells the unit of the whole column.
nb::object in_rounded_unit(nb::handle pd, nb::handle event_dt, nb::handle delta, nb::object rounded) {
    nb::object to_td = pd.attr("to_timedelta");
    nb::object delta_eq = delta.attr("eq");
    nb::object zero_delta = to_td(0);
    nb::object no_delta = delta_eq(zero_delta);
    nb::object present = event_dt.attr("notna")();
    nb::object on_minute = no_delta & present;
    nb::object off_minute = delta.attr("gt")(to_td(0));
    nb::list samples;
    for (nb::object mask : {on_minute, off_minute})
        if (truthy(mask.attr("any")())) {
            nb::object first = event_dt[mask].attr("iloc")[nb::int_(0)];
            samples.append(round_event_datetime(first, nb::bool_(true)));
        }
    if (nb::len(samples) > 0) {
        nb::object unit = pd.attr("Series")(samples).attr("dt").attr("unit");
        if (!glue::equals(rounded.attr("dt").attr("unit"), unit))
            rounded = rounded.attr("dt").attr("as_unit")(unit);
    }
    return rounded;
}

// Down to the start of the minute, sub-second parts included (see round_event_datetime).
nb::object minute_start(nb::handle pd, nb::handle event_dt) {
    nb::object dt_ = event_dt.attr("dt");
    nb::object to_td = pd.attr("to_timedelta");
    nb::object seconds = to_td(dt_.attr("second"), "unit"_a = "s");
    nb::object micros = to_td(dt_.attr("microsecond"), "unit"_a = "us");
    nb::object nanos = to_td(dt_.attr("nanosecond"), "unit"_a = "ns");
    nb::object delta = seconds + micros;
    delta = delta + nanos;
    nb::object rounded = event_dt - delta;
    return in_rounded_unit(pd, event_dt, delta, rounded);
}

// The columns event_datetime, event_date, event_time and event_timezone.
void add_event_columns(nb::handle df, nb::handle event_dt, nb::handle standard) {
    set_column(df, nb::str("event_datetime"), event_dt.attr("array"));
    nb::object col = df["event_datetime"].attr("dt");
    set_column(df, nb::str("event_date"), col.attr("date"));
    set_column(df, nb::str("event_time"), col.attr("time"));
    set_column(df, nb::str("event_timezone"), standard);
}

const char *kEcoDoc =
    "funciton to request eco calendar for a long range\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    bq: bql service\n"
    "    universe: bql universe\n"
    "    start, end: start date, end date in yyyy-mm-dd format\n"
    "    tickers: list of eco tickers to match. default to None.\n"
    "    subtype, relevancy, view: BQL eco calendar parameters\n"
    "    event_timezone: pytz timezone to which RELEASE_DATE_TIME is converted, in the\n"
    "        additional columns event_datetime, event_date, event_time and event_timezone\n";

// bql.Request(universe, {column: bq.data.<field>()}) run by the module's own service, as a table
// with the security in column "ID" and the field's values in column `column`.
nb::object single_item_frame(glue::Call &c, nb::handle universe, nb::handle column, nb::handle field) {
    nb::object bql = c.global("bql");
    nb::object bq = c.global("bq");
    nb::dict items;
    items[column] = nb::getattr(bq.attr("data"), field)();
    nb::object execute = bq.attr("execute");
    nb::object request = bql.attr("Request")(universe, items);
    nb::object response = execute(request);
    return response.attr("get")(column).attr("df")().attr("reset_index")();
}

}  // namespace

namespace {

// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kSplitDateRange =
    "_split_date_range(bq, start, end)";

nb::object call_split_date_range(glue::Call &c) {
    nb::handle bq = c[kSplitDateRange["bq"]];
    nb::handle start = c[kSplitDateRange["start"]], end = c[kSplitDateRange["end"]];
    nb::object px_last = bq.attr("data").attr("px_last");
    nb::object dates = bq.attr("func").attr("range")(start, end);
    nb::object item = px_last("dates"_a = dates);
    nb::object request = c.global("bql").attr("Request")(kProbeSecurity, item);
    nb::object df = bq.attr("execute")(request)[0].attr("df")();
    df = df.attr("sort_values")("DATE");
    nb::object list_dates = df["DATE"].attr("tolist")();
    if (nb::len(list_dates) == 0) {
        try {
            nb::object none = list_dates[0];  // IndexError, as for any empty list
        } catch (nb::python_error &e) {
            const std::string from = repr_of(start);
            const std::string to = repr_of(end);
            add_note(e, "the probe security 'JPY Curncy' has no trading day from " + from + " to " + to +
                            ": give 'yyyy-mm-dd' dates with start not after end");
            throw;
        }
    }
    nb::object start_year = list_dates[0].attr("year");
    nb::object end_year = list_dates[-1].attr("year");
    if (glue::holds(end_year, Py_GT, start_year))
        return builtin("list")(builtin("range")(start_year, end_year + nb::int_(1)));
    nb::list out;
    out.append(end_year);
    return out;
}

constexpr glue::Signature kOnRequestError =
    "_on_request_error(*args)";

nb::object call_on_request_error(glue::Call &) { return nb::none();
}

constexpr glue::Signature kInvertSign =
    "_invert_sign(sign)";

nb::object call_invert_sign(glue::Call &c) { return invert_sign(c[kInvertSign["sign"]]);
}

constexpr glue::Signature kConvertTz =
    "convert_tz(custom_timezone)";

nb::object call_convert_tz(glue::Call &c) { return convert_tz(c[kConvertTz["custom_timezone"]]);
}

constexpr glue::Signature kRoundEventDatetime =
    "round_event_datetime(datetime_obj, round_down=True)";

nb::object call_round_event_datetime(glue::Call &c) {
    return round_event_datetime(c[kRoundEventDatetime["datetime_obj"]], c[kRoundEventDatetime["round_down"]]);
}

constexpr glue::Signature kGetEcoCalendarData =
    "get_eco_calendar_data(bq, universe, start, end, tickers=None, subtype='all', relevancy='medium', "
        "view='extended', event_timezone=None, verbose=False)";

nb::object call_get_eco_calendar_data(glue::Call &c) {
    const CalendarQuery query{c[kGetEcoCalendarData["bq"]],        c[kGetEcoCalendarData["universe"]],
                              c[kGetEcoCalendarData["tickers"]],   c[kGetEcoCalendarData["subtype"]],
                              c[kGetEcoCalendarData["relevancy"]], c[kGetEcoCalendarData["view"]],
                              truthy(c[kGetEcoCalendarData["verbose"]])};
    nb::handle event_timezone = c[kGetEcoCalendarData["event_timezone"]];
    nb::object pd = glue::import("pandas");

    if (query.verbose) say("Splitting the date range ...");
    nb::handle start = c[kGetEcoCalendarData["start"]], end = c[kGetEcoCalendarData["end"]];
    nb::object list_years = c.global("_split_date_range")(query.bq, start, end);
    nb::list requests = yearly_requests(c, query, list_years);
    nb::object df = released_events(c, pd, query, requests);

    if (event_timezone.is_none()) return df;
    if (!contains(df.attr("columns"), nb::str("TIMEZONE")))
        glue::raise(PyExc_Exception, "'TIMEZONE' column not found. Please set 'view' parameter to 'extended'.");
    nb::object default_zone = first_label_zone(df, query.universe, list_years);
    nb::object standard = glue::import("pytz").attr("timezone")(event_timezone);
    nb::object event_dt = minute_start(pd, release_times_in(df, default_zone, standard));
    add_event_columns(df, event_dt, standard);
    return df;
}

constexpr glue::Signature kGetIdToFigiMapping =
    "get_id_to_figi_mapping(universe, figi_col_name='figi', id_col_name='parsekey', "
        "tickers_to_add_pcs=None)";

nb::object call_get_id_to_figi_mapping(glue::Call &c) {
    nb::handle universe = c[kGetIdToFigiMapping["universe"]];
    nb::handle figi_col = c[kGetIdToFigiMapping["figi_col_name"]];
    nb::handle id_col = c[kGetIdToFigiMapping["id_col_name"]];
    nb::handle add_pcs = c[kGetIdToFigiMapping["tickers_to_add_pcs"]];
    nb::object df = single_item_frame(c, universe, figi_col, nb::str("ID_BB_GLOBAL"));

    nb::object ids = df["ID"].attr("tolist")();
    nb::object figis = df[figi_col].attr("tolist")();
    nb::list values;
    const size_t n = nb::len(ids);
    for (size_t i = 0; i < n; ++i) {
        nb::object id = ids[i], figi = figis[i];
        bool suffix;
        if (!add_pcs.is_none()) {
            suffix = contains(add_pcs, id);
        } else {
            nb::object yellow = id.attr("split")(" ")[-1].attr("lower")();
            suffix = glue::equals(yellow, "curncy") || glue::equals(yellow, "corp");
        }
        values.append(suffix ? nb::object(nb::str((glue::to_str(figi) + ".BGN").c_str())) : figi);
    }
    set_column(df, figi_col, values);
    nb::dict rename;
    rename["ID"] = id_col;
    return df.attr("rename")("columns"_a = rename);
}

constexpr glue::Signature kGetFigiToIdMapping =
    "get_figi_to_id_mapping(universe, figi_col_name='figi', id_col_name='short_name', "
        "id_data_item='name')";

nb::object call_get_figi_to_id_mapping(glue::Call &c) {
    nb::handle universe = c[kGetFigiToIdMapping["universe"]];
    nb::handle figi_col = c[kGetFigiToIdMapping["figi_col_name"]];
    nb::handle id_col = c[kGetFigiToIdMapping["id_col_name"]];
    nb::handle field = c[kGetFigiToIdMapping["id_data_item"]];
    nb::object df = single_item_frame(c, universe, id_col, field);
    nb::dict rename;
    rename["ID"] = figi_col;
    return df.attr("rename")("columns"_a = rename);
}

}  // namespace

ORVANE_MODULE(querykit, m) {
    m.attr("os") = glue::import("os");
    m.attr("warnings") = glue::import("warnings");
    m.attr("pd") = glue::import("pandas");
    m.attr("dt") = glue::import("datetime");
    m.attr("pytz") = glue::import("pytz");
    m.attr("re") = glue::import("re");

    const bool show_warnings = glue::show_warnings_from_env();
    m.attr("SHOW_WARNINGS") = nb::bool_(show_warnings);

    glue::guarded_import(glue::Absorb::AnyException, show_warnings, "[bqia] 'bql' is not installed.", [&] {
        nb::object bql = glue::import("bql");
        m.attr("bql") = bql;
        m.attr("bq") = bql.attr("Service")();
    });

    glue::def(m, kSplitDateRange, "function to split the input date range into sub-ranges", call_split_date_range);
    glue::def(m, kOnRequestError, nullptr, call_on_request_error);
    glue::def(m, kInvertSign, nullptr, call_invert_sign);
    glue::def(m, kConvertTz, "convert the eco calendar output timezone (i.e. GMT+08:00)\n"
              "    to the pytz timezone obj (i.e. Etc/GMT-8)", call_convert_tz);
    glue::def(m, kRoundEventDatetime, "function to round event_datetime to minutes", call_round_event_datetime);
    glue::def(m, kGetEcoCalendarData, kEcoDoc, call_get_eco_calendar_data);
    glue::def(m, kGetIdToFigiMapping, "function to map input id to figi", call_get_id_to_figi_mapping);
    glue::def(m, kGetFigiToIdMapping, "function to map figi to parsekey", call_get_figi_to_id_mapping);
}
