// orvane_data.from_bqia.tickbars: intraday bars through Bloomberg's intraday library and the minute
// windows around economic releases.
//
// Configuration and bar retrieval are orchestration of library and BQL calls on small tables and
// stay here; the event windows live in tickbars_windows.cpp.
#include "tickbars.hpp"

#include <string>
#include <vector>

using namespace nb::literals;

namespace {

using glue::add_note;
using glue::repr_of;
using glue::truthy;
using glue::item;
using glue::add;
using glue::contains;
using glue::builtin;
using glue::set_column;


using tickbars::pd;
using tickbars::str_list;

// `a, b, c = value` with the interpreter's unpacking errors.
std::vector<nb::object> unpack3(nb::handle value) {
    nb::object it = nb::steal(PyObject_GetIter(value.ptr()));
    if (!it.is_valid()) {
        // The interpreter rewords only the TypeError of a value that is neither iterable nor a
        // sequence; an error raised by the value's own __iter__ passes as it is.
        nb::python_error e;
        if (!glue::expected(e, {PyExc_TypeError}) || Py_TYPE(value.ptr())->tp_iter != nullptr ||
            PySequence_Check(value.ptr()))
            throw e;
        glue::raise(PyExc_TypeError, "cannot unpack non-iterable " + glue::type_name(value) + " object");
    }
    std::vector<nb::object> out;
    while (true) {
        PyObject *next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        if (out.size() == 3) {
            Py_DECREF(next);
            glue::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        out.push_back(nb::steal(next));
    }
    if (out.size() < 3)
        glue::raise(PyExc_ValueError,
                    "not enough values to unpack (expected 3, got " + std::to_string(out.size()) + ")");
    return out;
}

const char *kIdMappingDoc =
    "Function to get id mapping\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    dict_sec_pcs : dict\n"
    "        Dictionary of the input securities (non-futures).\n"
    "        key: the custom name (user-defined) of the security\n"
    "        value: a tuple of (parsekey, pcs which is optional)\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    DataFrame contains: custom, figi, parsekey\n";

const char *kRollConfigDoc =
    "Function to get the FuturesRollConfig\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    dict_fut : dict\n"
    "        Dictionary of the input futures.\n"
    "        key: the custom name (user-defined) of the future roll.\n"
    "        value: a tuple of (future_root, yellow_key, roll_offset)\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    FuturesRollFactory\n";

// {figi: description} from one BQL request.
nb::object describe(const glue::Call &c, nb::handle figis, const char *column, const char *field) {
    nb::object mapping = c.global("get_figi_to_id_mapping")(figis, "id_col_name"_a = column, "id_data_item"_a = field)
                             .attr("set_index")("figi");
    return item(mapping, nb::str(column)).attr("to_dict")();
}

// A description BQL leaves missing (None, NaN, NaT or pd.NA, as a service's string column may hold
// any of them) falls back to the security itself.
bool missing_value(nb::handle value) {
    if (value.is_none()) return true;
    nb::object na = pd().attr("isna")(value);
    return PyBool_Check(na.ptr()) && na.ptr() == Py_True;
}

nb::object description_column(nb::handle security, nb::handle figis, nb::handle mapping, const char *field) {
    nb::dict resolved;
    for (nb::handle figi : figis) {
        nb::object value;
        try {
            value = item(mapping, figi);  // KeyError for a security BQL did not answer
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyError))
                add_note(e, "BQL's answer for the field '" + std::string(field) + "' has no row for the bars' security " +
                                repr_of(figi) + ": the intraday library returned a security that BQL does not know");
            throw;
        }
        resolved[figi] = missing_value(value) ? nb::borrow(figi) : value;
    }
    return security.attr("map")(resolved);
}

}  // namespace

namespace {

// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kGetIdMapping =
    "get_id_mapping(dict_sec_pcs)";

nb::object call_get_id_mapping(glue::Call &c) {
    nb::handle dict_sec_pcs = c[kGetIdMapping["dict_sec_pcs"]];
    nb::list lst_custom = nb::borrow<nb::list>(builtin("list")(dict_sec_pcs.attr("keys")()));
    nb::list lst_pk, lst_pcs;
    size_t position = 0;
    for (nb::handle value : dict_sec_pcs.attr("values")()) {
        try {
            lst_pk.append(item(value, nb::int_(0)));
            lst_pcs.append(item(value, nb::int_(1)));
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_IndexError) || e.matches(PyExc_TypeError)) {
                const std::string custom = repr_of(lst_custom[position]);
                const std::string given = repr_of(value);
                add_note(e, "dict_sec_pcs[" + custom + "] is " + given +
                                ": each value is a (parse key, pricing source) pair, with '' for no pricing source");
            }
            throw;
        }
        ++position;
    }
    nb::dict columns;
    columns["custom"] = lst_custom;
    columns["parsekey"] = lst_pk;
    columns["pcs"] = lst_pcs;
    nb::object df_sec_pcs = pd().attr("DataFrame")(columns);

    nb::object bq = c.global("bq");
    nb::object universe = bq.attr("univ").attr("list")(lst_pk);
    nb::dict items;
    items["figi"] = bq.attr("data").attr("id_bb_global")().attr("droppe")();
    nb::object execute = bq.attr("execute");
    nb::object request = c.global("bql").attr("Request")(universe, items);
    nb::object response = execute(request);
    nb::object df_data = response[0].attr("df")().attr("reset_index")();
    nb::dict rename;
    rename["ID"] = "parsekey";
    df_data = df_data.attr("rename")("columns"_a = rename);

    nb::object temp = pd().attr("merge")(df_sec_pcs, df_data, "left_on"_a = "parsekey", "right_on"_a = "parsekey");
    nb::object figis = item(temp, nb::str("figi")).attr("tolist")();
    nb::object pcs = item(temp, nb::str("pcs")).attr("tolist")();
    nb::list values;
    nb::str empty(""), dot(".");
    for (size_t i = 0, n = nb::len(figis); i < n; ++i) {
        nb::object figi = figis[i], source = pcs[i];
        try {
            values.append(glue::equals(source, empty) ? figi : add(add(figi, dot), source));
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_TypeError)) {
                const std::string custom = repr_of(item(temp, nb::str("custom")).attr("iloc")[nb::int_(i)]);
                const std::string given = repr_of(source);
                const std::string its_figi = repr_of(figi);
                add_note(e, "the pricing source of " + custom + " is " + given + " (its FIGI is " + its_figi +
                                "): pricing sources are text, '' for none");
            }
            throw;
        }
    }
    set_column(temp, nb::str("figi"), values);
    return temp.attr("drop")("columns"_a = "pcs");
}

constexpr glue::Signature kGetRollConfig =
    "get_roll_config(dict_fut)";

nb::object call_get_roll_config(glue::Call &c) {
    nb::dict roll_configs;
    for (nb::handle pair : c[kGetRollConfig["dict_fut"]].attr("items")()) {
        nb::object key = pair[0];
        std::vector<nb::object> v;
        try {
            v = unpack3(pair[1]);
        } catch (nb::python_error &e) {
            const std::string custom = repr_of(key);
            const std::string given = repr_of(pair[1]);
            add_note(e, "dict_fut[" + custom + "] is " + given +
                            ": each value is (future_root, yellow_key, roll_offset in days), e.g. ('ES', 'Index', 5)");
            throw;
        }
        nb::object roll_config = c.global("bqia").attr("FuturesRollConfig");
        nb::object offset = c.global("DateOffset")(v[2]);
        roll_configs[key] = roll_config(v[0], v[1], offset);
    }
    return c.global("bqia").attr("FuturesRollFactory")(roll_configs);
}

constexpr glue::Signature kSetIntradayConfig =
    "set_intraday_config(id_mapping=None, roll_config=None, packages=['equity', 'macro', 'fixed-income'])";

nb::object call_set_intraday_config(glue::Call &c) {
    nb::handle id_mapping = c[kSetIntradayConfig["id_mapping"]];
    nb::handle roll_config = c[kSetIntradayConfig["roll_config"]];
    nb::dict configs;
    if (!id_mapping.is_none()) configs["security_id_mapping"] = id_mapping;
    if (!roll_config.is_none()) configs["futures_roll_factory"] = roll_config;
    configs["enabled_packages"] = c[kSetIntradayConfig["packages"]];
    c.global("bqia").attr("set_config")(configs);
    return nb::none();
}

constexpr glue::Signature kGetIntradayBars =
    "get_intraday_bars(dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, start='2024-06-01', "
        "end='2024-07-01', security_id_type='custom', downsample_freq=None, tz=None, "
        "packages=['equity', 'macro', 'fixed-income'], add_description=True)";

nb::object call_get_intraday_bars(glue::Call &c) {
    nb::handle dict_sec_pcs = c[kGetIntradayBars["dict_sec_pcs"]];
    nb::handle dict_fut = c[kGetIntradayBars["dict_fut"]];
    nb::handle security_id_type = c[kGetIntradayBars["security_id_type"]];
    nb::list list_sec;
    nb::object id_mapping = nb::none(), roll_config = nb::none();
    if (!dict_sec_pcs.is_none()) {
        id_mapping = c.global("get_id_mapping")(dict_sec_pcs);
        nb::object names;
        try {
            names = item(id_mapping, security_id_type);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyError))
                add_note(e, "security_id_type is " + repr_of(security_id_type) +
                                ": it names a column of the id mapping, 'custom', 'parsekey' or 'figi'");
            throw;
        }
        for (nb::handle v : names.attr("tolist")()) list_sec.append(v);
    }
    if (!dict_fut.is_none()) {
        roll_config = c.global("get_roll_config")(dict_fut);
        for (nb::handle key : dict_fut.attr("keys")()) list_sec.append(key);
    }
    c.global("set_intraday_config")(id_mapping, roll_config, c[kGetIntradayBars["packages"]]);
    nb::object df = c.global("bqia").attr("get_bars")(
        "securities"_a = list_sec, "security_id_type"_a = security_id_type,
        "start"_a = c[kGetIntradayBars["start"]], "end"_a = c[kGetIntradayBars["end"]],
        "tz"_a = c[kGetIntradayBars["tz"]], "downsample_freq"_a = c[kGetIntradayBars["downsample_freq"]]);
    if (!truthy(c[kGetIntradayBars["add_description"]])) return df;

    nb::object security = item(df, nb::str("security"));
    nb::object figis = security.attr("unique")().attr("tolist")();
    nb::object names = describe(c, figis, "short_name", "name");
    nb::object parsekeys = describe(c, figis, "parsekey", "parsekyable_des");
    set_column(df, nb::str("short_name"), description_column(security, figis, names, "name"));
    set_column(df, nb::str("parsekey"), description_column(security, figis, parsekeys, "parsekyable_des"));
    return df;
}

constexpr glue::Signature kGetEventMetadata =
    "get_event_metadata(df_calendar, pre_event_window=-5, post_event_window=10)";

nb::object call_get_event_metadata(glue::Call &c) {
    nb::handle calendar = c[kGetEventMetadata["df_calendar"]];
    nb::handle pre = c[kGetEventMetadata["pre_event_window"]];
    nb::handle post = c[kGetEventMetadata["post_event_window"]];
    return tickbars::event_metadata(c, calendar, pre, post);
}

constexpr glue::Signature kFilterBarsAroundEvents =
    "filter_bars_around_events(df_bars, df_calendar, pre_event_window=-5, post_event_window=10)";

nb::object call_filter_bars_around_events(glue::Call &c) {
    nb::handle bars = c[kFilterBarsAroundEvents["df_bars"]];
    nb::handle calendar = c[kFilterBarsAroundEvents["df_calendar"]];
    nb::handle pre = c[kFilterBarsAroundEvents["pre_event_window"]];
    nb::handle post = c[kFilterBarsAroundEvents["post_event_window"]];
    return tickbars::event_bars(c, bars, calendar, pre, post);
}

}  // namespace

ORVANE_MODULE(tickbars, m) {
    m.attr("os") = glue::import("os");
    m.attr("warnings") = glue::import("warnings");
    m.attr("pd") = glue::import("pandas");
    m.attr("DateOffset") = glue::import("pandas.tseries.offsets").attr("DateOffset");
    m.attr("timedelta") = glue::import("datetime").attr("timedelta");

    const bool show_warnings = glue::show_warnings_from_env();
    m.attr("SHOW_WARNINGS") = nb::bool_(show_warnings);

    glue::guarded_import(glue::Absorb::AnyException, show_warnings, "[bqia] 'bqia' is not installed.",
                         [&] { m.attr("bqia") = glue::import("bloomberg.bquant.intraday"); });
    glue::guarded_import(glue::Absorb::AnyException, show_warnings, "'bql' is not installed.", [&] {
        nb::object bql = glue::import("bql");
        m.attr("bql") = bql;
        m.attr("bq") = bql.attr("Service")();
    });

    nb::object querykit = glue::import("orvane_data.from_bqia.querykit");
    m.attr("get_figi_to_id_mapping") = querykit.attr("get_figi_to_id_mapping");
    m.attr("round_event_datetime") = querykit.attr("round_event_datetime");

    m.attr("PACKAGES") = str_list({"macro", "equity", "fixed-income"});

    glue::def(m, kGetIdMapping, kIdMappingDoc, call_get_id_mapping);
    glue::def(m, kGetRollConfig, kRollConfigDoc, call_get_roll_config);
    glue::def(m, kSetIntradayConfig, "function to set bqintraday config", call_set_intraday_config);
    glue::def(m, kGetIntradayBars, nullptr, call_get_intraday_bars);
    glue::def(m, kGetEventMetadata, nullptr, call_get_event_metadata);
    glue::def(m, kFilterBarsAroundEvents, nullptr, call_filter_bars_around_events);
}
