// The native road of orvane_data.from_localcsv.api: files scanned and converted by core/csv_bars,
// and the bar frames built from its columns (the table reshaped from them: api_table.cpp).
#include "api.hpp"

#include "core/files.hpp"
#include "glue/threads.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

using namespace nb::literals;

namespace api {


// Cleaning threads: set_num_threads' cap, else ORVANE_NUM_THREADS, else every core available.
std::atomic<int> g_num_threads{0};  // 0: no cap set

unsigned thread_count() {
    const int cap = g_num_threads.load();
    return cap > 0 ? static_cast<unsigned>(cap) : glue::default_threads();
}

namespace {

// A path as the bytes the file system is given (os.fsencode).
std::string fs_path(nb::handle path) {
    // A str is encoded as os.fsencode encodes it (the interpreter's file system codec and error
    // handler), without the call into Python.
    nb::object b;
    if (PyUnicode_CheckExact(path.ptr())) {
        b = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!b.is_valid()) throw nb::python_error();
    } else {
        b = glue::import("os").attr("fsencode")(path);
    }
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

// A ticker on its way through the native road: where its files are and what it asks for.
struct Pending {
    Located loc;
    size_t job = SIZE_MAX;    // its files' position among the native reader's jobs, if they go there
    const char *why = "";     // why not, or why the reader refused them
    std::string where;        // the file or directory at fault
};

// The files' paths as the bytes the file system is given; false when one cannot be encoded (a
// lone surrogate), which the pandas steps then meet and report as the interpreter does.
bool file_system_paths(const nb::list &files, std::vector<std::string> &paths) {
    for (nb::handle f : files) {
        try {
            paths.push_back(fs_path(f));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_UnicodeEncodeError)) throw;
            paths.clear();
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<TickerBars> all_ticker_bars(nb::handle tickers, const QueryWindow &w, nb::handle csv_path, bool daily,
                                        const QueryOptions &options) {
    // 1. With the interpreter: each ticker's directory and day files, in the tickers' order. An
    //    error here is raised only after the tickers before it have been answered, as a loop over
    //    the tickers would.
    std::vector<TickerBars> out;
    std::vector<Pending> pending;
    std::vector<core::TickerJob> jobs;
    std::optional<nb::python_error> stopped;
    for (nb::handle ticker : tickers) {
        Pending p;
        core::TickerJob job;
        try {
            p.loc = locate(ticker, w, csv_path, daily);
            p.where = glue::to_str(p.loc.data_path);
            if (!PyUnicode_CheckExact(ticker.ptr())) {
                p.why = "a ticker that is not a str";  // its column holds the object itself
            } else if (nb::len(p.loc.files) == 0) {
                p.why = "no day file in range";
            } else if (!file_system_paths(p.loc.files, job.files)) {
                p.why = "a path the file system cannot take (os.fsencode refuses it)";
            } else {
                p.job = jobs.size();
                job.sort = !daily;
                job.window = w.window;
            }
        } catch (nb::python_error &e) {
            // An interrupt or exhaustion reaches the caller at once; an error of the query waits
            // for the tickers before it, whose own errors come first.
            if (!glue::expected(e, {PyExc_Exception})) throw;
            stopped.emplace(std::move(e));
            break;
        }
        TickerBars t;
        t.ticker = nb::borrow(ticker);
        if (nb::len(p.loc.files) > 0) t.first_file = p.loc.files[0];
        out.push_back(std::move(t));
        if (p.job != SIZE_MAX) jobs.push_back(std::move(job));
        pending.push_back(std::move(p));
    }

    // 2. Without it: every file read, parsed and cleaned on the native threads.
    {
        nb::gil_scoped_release release;
        core::clean_tickers(jobs, options.csv, options.threads, core::read_file);
    }

    // 3. With it again, in the tickers' order: the native bars, or the pandas steps for a ticker
    //    the native reader refused (whose errors come in that order).
    for (size_t i = 0; i < out.size(); ++i) {
        Pending &p = pending[i];
        if (p.job != SIZE_MAX) {
            core::Parsed<core::Bars> &result = jobs[p.job].result;
            if (result.ok() && options.microseconds && result.value().frame.rows == 0) {
                p.why = "no rows left after the window and cleaning";  // pandas 3 gives an empty time column seconds
            } else if (result.ok()) {
                out[i].native = std::make_unique<core::Bars>(std::move(result.value()));
                continue;
            } else {
                p.why = result.refusal().why;
                if (result.refusal().file >= 0) p.where = glue::to_str(p.loc.files[result.refusal().file]);
            }
            result = core::Refusal{p.why};  // the bars' memory goes before the pandas steps run
        }
        log_fallback(p.where, p.why);
        out[i].df = pandas_ticker(out[i].ticker, p.loc, w, daily);
    }
    if (stopped) throw std::move(*stopped);
    return out;
}


namespace {

nb::object text_array(const std::pmr::vector<std::string_view> &texts) {
    nb::object last;
    std::string_view last_text;
    return object_array(texts.size(), [&](size_t i) -> nb::object {
        std::string_view t = texts[i];
        if (!last.is_valid() || t != last_text) {
            last = nb::str(t.data(), t.size());
            last_text = t;
        }
        return last;
    });
}

// Timestamps (nanoseconds) in the unit that pandas' to_datetime gives for these keys.
nb::object stamp_array(const std::pmr::vector<int64_t> &ns, const QueryOptions &options) {
    if (!options.microseconds) return numpy_of(std::vector<int64_t>(ns.begin(), ns.end())).attr("view")("M8[ns]");
    std::vector<int64_t> us(ns.size());
    for (size_t i = 0; i < ns.size(); ++i) us[i] = ns[i] / 1000;
    return numpy_of(std::move(us)).attr("view")("M8[us]");
}

// An object array of text as a column in pandas' default text dtype.
nb::object text_column(nb::object objects, const QueryOptions &options) {
    if (options.text_is_object) return objects;
    return glue::import("pandas").attr("array")(objects, "dtype"_a = options.text_dtype);
}

nb::object native_frame(core::Bars &bars, nb::handle ticker, const QueryOptions &options) {
    core::Frame &f = bars.frame;
    nb::dict cols;
    for (core::CsvColumn &c : f.cols) {
        nb::str name(c.name.c_str(), c.name.size());
        switch (c.kind) {
            case core::CsvKind::Time: cols[name] = stamp_array(c.ints, options); break;
            case core::CsvKind::Int: cols[name] = numpy_of(std::vector<int64_t>(c.ints.begin(), c.ints.end())); break;
            case core::CsvKind::Float: cols[name] = numpy_of(std::vector<double>(c.floats.begin(), c.floats.end())); break;
            case core::CsvKind::Text: cols[name] = text_column(text_array(c.texts), options); break;
        }
    }
    cols["generic_ticker"] = text_column(object_array(f.rows, [&](size_t) { return nb::borrow(ticker); }), options);
    return glue::import("pandas").attr("DataFrame")(cols);
}

}  // namespace

const char *const kSourceField[6] = {"open", "high", "low", "close", "volume", "num_trds"};

nb::object frame_of(TickerBars &t, const QueryOptions &options) {
    if (!t.df.is_valid()) t.df = native_frame(*t.native, t.ticker, options);
    return t.df;
}

}  // namespace api
