// The (field, date) x ticker table of orvane_data.from_localcsv.api reshaped natively from every
// ticker's bars (the native road's columns, or the frames pandas read): gathered and checked here,
// averaged per (field, date) by core::fill_means, and handed to pandas as one block.
#include "api.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

using namespace nb::literals;

namespace api {

namespace {

const char *kTaken[] = {"DATE",   "ID",      "TICKER",    "VALUE",    "PX_OPEN", "PX_HIGH",
                        "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS", "FLDS",    "ActualValue"};

bool name_taken(std::string_view n) {
    for (const char *t : kTaken)
        if (n == t) return true;
    return false;
}

template <class T>
const T *data_of(nb::handle arr) {
    return nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig>>(arr).data();
}

// Nanoseconds per unit of a naive datetime64 dtype ("datetime64[us]" -> 1000), 0 for others.
int64_t unit_factor(const std::string &dtype) {
    static const std::pair<const char *, int64_t> units[] = {
        {"datetime64[ns]", 1}, {"datetime64[us]", 1000}, {"datetime64[ms]", 1000000}, {"datetime64[s]", 1000000000}};
    for (auto &[name, factor] : units)
        if (dtype == name) return factor;
    return 0;
}

const char *unit_name(int64_t factor) {
    switch (factor) {
        case 1: return "M8[ns]";
        case 1000: return "M8[us]";
        case 1000000: return "M8[ms]";
        default: return "M8[s]";
    }
}

// Whether every value is finite: x - x is 0 for a finite x and NaN for NaN and infinities, and a
// sum with a NaN in it is NaN. Four sums, whose adds need not wait for each other, are looked at
// once a block, instead of a branch on every value.
bool all_finite(const double *v, size_t n) {
    constexpr size_t kBlockValues = 4096;
    for (size_t b = 0; b < n; b += kBlockValues) {
        const size_t e = std::min(n, b + kBlockValues);
        double sums[4] = {0.0, 0.0, 0.0, 0.0};
        size_t i = b;
        for (; i + 4 <= e; i += 4)
            for (size_t j = 0; j < 4; ++j) sums[j] += v[i + j] - v[i + j];
        for (; i < e; ++i) sums[0] += v[i] - v[i];
        if (!(sums[0] + sums[1] + sums[2] + sums[3] == 0.0)) return false;
    }
    return true;
}

// The fields the table is built with: flds itself when it lists distinct fields of the tree
// (`direct`), else every field of the tree, narrowed by .loc[flds] afterwards.
std::vector<size_t> table_fields(nb::handle flds, const std::vector<std::string> &measure, bool &direct) {
    std::vector<size_t> wanted;
    direct = nb::len(flds) > 0;
    for (nb::handle f : flds) {
        std::string name = nb::isinstance<nb::str>(f) ? nb::cast<std::string>(f) : std::string();
        size_t k = (size_t) (std::find(measure.begin(), measure.end(), name) - measure.begin());
        if (k == measure.size() || std::find(wanted.begin(), wanted.end(), k) != wanted.end()) {
            direct = false;
            break;
        }
        wanted.push_back(k);
    }
    if (!direct) {
        wanted.clear();
        for (size_t k = 0; k < measure.size(); ++k) wanted.push_back(k);
    }
    return wanted;
}

// The reshape's inputs gathered ticker by ticker, from the native road's columns or a pandas
// frame; each `add` answers false when the ticker's bars are outside what the native reshape
// reproduces exactly.
class TableInputs {
public:
    TableInputs(const std::vector<std::string> &measure, const std::vector<size_t> &wanted, const QueryOptions &options)
        : measure_(measure), wanted_(wanted), options_(options) {}

    std::vector<core::ReshapeInput> inputs;
    bool any_float = false;
    int64_t out_unit = 1000000000;  // the stacked DATE column takes the finest unit among the tickers'

    bool add_native(int column, core::Frame &f) {
        core::ReshapeInput in;
        in.column = column;
        for (core::CsvColumn &c : f.cols)
            if (name_taken(c.name)) return false;
        const int key = f.find("time_key");
        if (key < 0 || f.rows == 0) return false;
        in.dates = f.cols[key].ints.data();
        in.rows = f.rows;
        out_unit = std::min<int64_t>(out_unit, options_.microseconds ? 1000 : 1);
        // Every field of the tree takes part in the melt's dtype, not only the wanted ones.
        for (size_t k = 0; k < measure_.size(); ++k) {
            const int c = f.find(kSourceField[k]);
            if (c < 0 || f.cols[c].kind == core::CsvKind::Text) return false;
            if (f.cols[c].kind == core::CsvKind::Float) {
                any_float = true;
                // pivot_table's mean skips NaN and drops all-NaN rows (a 0/0 roll factor): checked
                // by finite(), for every native ticker at once
                unchecked_.emplace_back(f.cols[c].floats.data(), f.rows);
            }
        }
        for (size_t k : wanted_) {
            core::CsvColumn &col = f.cols[f.find(kSourceField[k])];
            const bool fl = col.kind == core::CsvKind::Float;
            in.fvalues.push_back(fl ? col.floats.data() : nullptr);
            in.ivalues.push_back(fl ? nullptr : col.ints.data());
        }
        inputs.push_back(std::move(in));
        return true;
    }

    bool add_pandas(int column, nb::handle df) {
        if (!finite()) return false;  // as if the native tickers before this one had been checked one by one
        core::ReshapeInput in;
        in.column = column;
        nb::object columns = df.attr("columns");
        for (nb::handle c : columns)
            if (!nb::isinstance<nb::str>(c) || name_taken(nb::cast<std::string>(c))) return false;
        if (!truthy(columns.attr("is_unique")) || !contains(columns, nb::str("time_key")) || nb::len(df) == 0)
            return false;
        in.rows = nb::len(df);
        if (!add_dates(df["time_key"], in)) return false;
        std::vector<bool> is_float(measure_.size());
        for (size_t k = 0; k < measure_.size(); ++k) {
            if (!contains(columns, nb::str(kSourceField[k]))) return false;
            const std::string dtype = glue::to_str(df[kSourceField[k]].attr("dtype"));
            if (dtype != "float64" && dtype != "int64") return false;
            is_float[k] = dtype == "float64";
            any_float = any_float || is_float[k];
        }
        for (size_t k = 0; k < measure_.size(); ++k)
            if (is_float[k] && !all_finite(data_of<double>(values(df, k)), in.rows)) return false;
        for (size_t k : wanted_) {
            nb::object arr = values(df, k);
            in.fvalues.push_back(is_float[k] ? data_of<double>(arr) : nullptr);
            in.ivalues.push_back(is_float[k] ? nullptr : data_of<int64_t>(arr));
        }
        inputs.push_back(std::move(in));
        return true;
    }

    // Whether the float columns add_native took since the last call hold only finite values,
    // checked on the query's threads without the GIL. A false answer ends the table (both callers
    // give up on it), so nothing is remembered of it.
    bool finite() {
        if (unchecked_.empty()) return true;
        std::atomic<bool> all_ok{true};
        {
            nb::gil_scoped_release release;
            core::parallel_for(unchecked_.size(), options_.threads, [&](size_t k) {
                if (all_ok.load(std::memory_order_relaxed) && !all_finite(unchecked_[k].first, unchecked_[k].second))
                    all_ok.store(false, std::memory_order_relaxed);
            });
        }
        unchecked_.clear();
        return all_ok.load();
    }

private:
    // A datetime64 column's stamps in nanoseconds, held here.
    bool add_dates(nb::handle key, core::ReshapeInput &in) {
        const int64_t factor = unit_factor(glue::to_str(key.attr("dtype")));
        if (factor == 0) return false;
        out_unit = std::min(out_unit, factor);
        nb::object dates = glue::import("numpy").attr("ascontiguousarray")(key.attr("to_numpy")().attr("view")("i8"));
        const int64_t *raw = data_of<int64_t>(dates);
        auto ns = std::make_unique<std::vector<int64_t>>(in.rows);
        for (size_t i = 0; i < in.rows; ++i)
            if (__builtin_mul_overflow(raw[i], factor, &(*ns)[i])) return false;
        in.dates = ns->data();
        stamps_.push_back(std::move(ns));
        return true;
    }

    // The field's values as a contiguous numpy array, kept alive here.
    nb::object values(nb::handle df, size_t k) {
        nb::object arr = glue::import("numpy").attr("ascontiguousarray")(df[kSourceField[k]].attr("to_numpy")());
        keep_alive_.push_back(arr);
        return arr;
    }

    const std::vector<std::string> &measure_;
    const std::vector<size_t> &wanted_;
    const QueryOptions &options_;
    std::vector<nb::object> keep_alive_;
    std::vector<std::unique_ptr<std::vector<int64_t>>> stamps_;
    std::vector<std::pair<const double *, size_t>> unchecked_;  // float columns of native tickers
};

// A level's codes over `blocks` runs of `run` rows: the k-th run all k (repeat), or each run
// 0..run-1 (tile).
template <class T>
nb::object codes_of(const char *dtype, size_t blocks, size_t run, bool repeat) {
    nb::object arr = glue::import("numpy").attr("empty")(blocks * run, "dtype"_a = dtype);
    T *out = nb::cast<nb::ndarray<T, nb::ndim<1>, nb::c_contig>>(arr).data();
    for (size_t k = 0; k < blocks; ++k, out += run)
        for (size_t i = 0; i < run; ++i) out[i] = (T) (repeat ? k : i);
    return arr;
}

// The codes of a level of `levels` labels in the narrowest integer type that holds them, the one
// the MultiIndex would convert them to (so it keeps them as they are).
nb::object level_codes(size_t levels, size_t blocks, size_t run, bool repeat) {
    if (levels < INT8_MAX) return codes_of<int8_t>("int8", blocks, run, repeat);
    if (levels < INT16_MAX) return codes_of<int16_t>("int16", blocks, run, repeat);
    if (levels < INT32_MAX) return codes_of<int32_t>("int32", blocks, run, repeat);
    return codes_of<int64_t>("int64", blocks, run, repeat);
}

// The table's MultiIndex (FLDS, DATE) from its levels and codes: no factorising of repeated labels.
nb::object table_index(const std::vector<size_t> &wanted, const std::vector<std::string> &measure,
                       std::vector<int64_t> dates, int64_t unit, const QueryOptions &options) {
    nb::object pd = glue::import("pandas");
    const size_t nd = dates.size();
    for (int64_t &d : dates) d /= unit;  // exact: every stamp is a whole number of that unit
    nb::list names;
    for (size_t k : wanted) names.append(nb::str(measure[k].c_str()));
    nb::list levels, codes, index_names;
    levels.append(pd.attr("Index")(names, "dtype"_a = options.text_dtype));
    levels.append(pd.attr("DatetimeIndex")(numpy_of(std::move(dates)).attr("view")(unit_name(unit))));
    codes.append(level_codes(wanted.size(), wanted.size(), nd, true));
    codes.append(level_codes(nd, wanted.size(), nd, false));
    index_names.append("FLDS");
    index_names.append("DATE");
    return pd.attr("MultiIndex")("levels"_a = levels, "codes"_a = codes, "names"_a = index_names,
                                 "verify_integrity"_a = false);
}

}  // namespace

// The (field, date) x ticker table built natively, or an invalid object when some ticker's bars
// are outside what the native reshape reproduces exactly (then pandas melts and pivots).
nb::object native_table(std::vector<TickerBars> &all, nb::handle flds, const std::vector<std::string> &measure,
                        const QueryOptions &options) {
    bool direct = false;
    const std::vector<size_t> wanted = table_fields(flds, measure, direct);

    nb::list tick;
    for (TickerBars &t : all) {
        if (!PyUnicode_CheckExact(t.ticker.ptr())) return nb::object();
        tick.append(t.ticker);
    }
    nb::object ids = builtin("sorted")(builtin("set")(tick));
    nb::dict column_of;
    for (size_t i = 0; i < nb::len(ids); ++i) column_of[ids[i]] = nb::int_(i);

    TableInputs in(measure, wanted, options);
    for (TickerBars &t : all) {
        const int column = nb::cast<int>(column_of[t.ticker]);
        if (!(t.native ? in.add_native(column, t.native->frame) : in.add_pandas(column, t.df))) return nb::object();
    }
    if (!in.finite()) return nb::object();
    if (!in.any_float || in.inputs.empty()) return nb::object();  // all-integer values: pandas keeps ints

    const size_t n_ids = nb::len(ids);
    std::vector<int64_t> dates;
    {
        nb::gil_scoped_release release;
        dates = core::all_dates(in.inputs);
    }
    // The table's memory from numpy (which asks the kernel for huge pages for an array this big),
    // filled in place: one row per ticker, taken column-major below.
    nb::object np = glue::import("numpy"), pd = glue::import("pandas");
    nb::object rows = np.attr("empty")(nb::make_tuple(n_ids, wanted.size() * dates.size()));
    double *cells = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig>>(rows).data();
    {
        nb::gil_scoped_release release;
        core::fill_means(in.inputs, wanted.size(), n_ids, dates, cells, options.threads);
    }
    nb::object index = table_index(wanted, measure, std::move(dates), in.out_unit, options);
    nb::object columns = pd.attr("Index")(ids, "dtype"_a = options.text_dtype, "name"_a = "ID");
    // Column-major, so that the frame takes each ticker's column as it is.
    nb::object matrix = rows.attr("T");
    nb::object table = pd.attr("DataFrame")(matrix, "index"_a = index, "columns"_a = columns, "copy"_a = false);
    if (!direct) table = table.attr("loc")[flds];
    return table;
}

}  // namespace api
