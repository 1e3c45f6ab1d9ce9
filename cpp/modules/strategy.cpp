// orvane_data.ta.strategy: strategies, declarative batches of indicator calls. `Strategy` is a
// real dataclasses.dataclass, built here the way the class statement would build it: a class
// namespace with annotations and defaults, type(), then the decorator.
#include "glue/glue.hpp"

using namespace nb::literals;

namespace {

const char *kStrategyDoc =
    "Declarative batch of indicator calls.\n"
    "\n"
    "Each entry in `ta` is a dict with at least the key \"kind\", the lower-case short name of\n"
    "an indicator; every other key is a keyword argument forwarded, unchanged, to that\n"
    "indicator's method. The entries run in list order, one indicator call each. `ta` None\n"
    "means every registered indicator.\n"
    "\n"
    "Example:\n"
    "    MyStrategy = Strategy(\n"
    "        name=\"My Strategy\",\n"
    "        ta=[\n"
    "            {\"kind\": \"sma\", \"length\": 20},\n"
    "            {\"kind\": \"rsi\", \"length\": 14},\n"
    "            {\"kind\": \"macd\"},\n"
    "            {\"kind\": \"bbands\", \"length\": 20, \"std\": 2.0},\n"
    "        ],\n"
    "    )\n";

nb::dict request(const char *kind) {
    nb::dict d;
    d["kind"] = kind;
    return d;
}

nb::dict request(const char *kind, long length) {
    nb::dict d = request(kind);
    d["length"] = nb::int_(length);
    return d;
}

}  // namespace

ORVANE_MODULE(strategy, m) {
    m.doc() = "Strategy system for running multiple indicators in batch.";

    nb::object dataclasses = glue::import("dataclasses");
    nb::object typing = glue::import("typing");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    m.attr("List") = typing.attr("List");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("pd") = glue::import("pandas");

    // class Strategy: name: str = "Custom"; ta: Optional[List[dict]] = None; description: str = ""
    nb::dict annotations;
    annotations["name"] = nb::handle((PyObject *) &PyUnicode_Type);
    nb::object list_of_dicts = typing.attr("List")[nb::handle((PyObject *) &PyDict_Type)];
    annotations["ta"] = typing.attr("Optional")[list_of_dicts];
    annotations["description"] = nb::handle((PyObject *) &PyUnicode_Type);

    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "Strategy";
    ns["__doc__"] = kStrategyDoc;
    ns["__annotations__"] = annotations;
    ns["name"] = "Custom";
    ns["ta"] = nb::none();
    ns["description"] = "";
    nb::object cls = nb::handle((PyObject *) &PyType_Type)("Strategy", nb::make_tuple(), ns);
    nb::object Strategy = dataclasses.attr("dataclass")(cls);
    m.attr("Strategy") = Strategy;

    m.attr("AllStrategy") =
        Strategy("name"_a = "All", "ta"_a = nb::none(), "description"_a = "Runs every registered indicator.");

    nb::list common;
    for (long length : {10, 20, 50, 200}) common.append(request("sma", length));
    for (long length : {12, 26}) common.append(request("ema", length));
    for (const char *kind : {"rsi", "macd", "bbands", "atr", "obv", "stoch", "adx"}) common.append(request(kind));
    m.attr("CommonStrategy") = Strategy("name"_a = "Common", "ta"_a = common,
                                        "description"_a = "Commonly used indicators for a quick overview.");
}
