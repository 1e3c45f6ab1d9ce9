// Notes that name the caller's mistake on the errors of get_historical_data. The errors keep the
// type and text the query's steps give; a note (BaseException.add_note) says what went wrong:
//   * an empty or inverted window, or dates written without dashes, where the table has no row;
//   * a tree read as intraday because its path lacks "K_1D";
//   * intraday files without a column the tree's fields need, naming the first such file.
#include "api_notes.hpp"

#include <cstdio>
#include <iterator>
#include <string>

namespace api_notes {

namespace {

bool has_text(nb::handle error, const char *text) { return glue::to_str(error).find(text) != std::string::npos; }


bool eight_digits(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) != 8) return false;
    return glue::truthy(text.attr("isdigit")());
}


// The first file, in the order the query reads them, whose header lacks one of `needed`; empty
// when every file has them all (or none can be read).
std::string file_lacking(nb::handle tickers, const std::string &root, const char *const *needed, size_t count,
                         std::string &missing) {
    nb::object os = glue::import("os");
    for (nb::handle ticker : tickers) {
        if (!PyUnicode_Check(ticker.ptr())) continue;
        const std::string dir = root + "/" + glue::utf8(ticker);
        nb::object names;
        try {
            names = glue::builtin("sorted")(os.attr("listdir")(dir.c_str()));
        } catch (nb::python_error &) {
            continue;
        }
        for (nb::handle name : names) {
            const std::string path = dir + "/" + glue::utf8(name);
            std::FILE *f = std::fopen(path.c_str(), "rb");
            if (!f) continue;
            char line[4096] = {0};
            const bool read = std::fgets(line, sizeof line, f) != nullptr;
            std::fclose(f);
            if (!read) continue;
            const std::string header = "," + std::string(line).substr(0, std::string(line).find_first_of("\r\n")) + ",";
            for (size_t i = 0; i < count; ++i)
                if (header.find("," + std::string(needed[i]) + ",") == std::string::npos) {
                    missing = needed[i];
                    return path;
                }
        }
    }
    return {};
}

}  // namespace

void explain(nb::python_error &e, nb::handle tickers, nb::handle start, nb::handle end, nb::handle csv_path) {
    if (!PyUnicode_Check(csv_path.ptr())) return;
    nb::handle error = e.value();
    const std::string root = glue::to_str(csv_path);
    const bool daily = root.find("K_1D") != std::string::npos;

    if (e.matches(PyExc_ValueError) && !daily && has_text(error, "'ohlcv' does not match format")) {
        glue::add_note(e, "csv_path " + glue::repr_of(csv_path) + " holds ohlcv.csv files, the daily layout, but lacks 'K_1D', "
                        "so it was read as an intraday tree of day files (<ticker>_YYYY-MM-DD.csv). A daily tree's "
                        "path must contain 'K_1D'.");
        return;
    }
    if (!e.matches(PyExc_KeyError)) return;

    if (!daily && has_text(error, "are not present in the DataFrame")) {
        static const char *const kIntradayColumns[] = {"time_key", "open", "high", "low", "close", "volume", "num_trds"};
        std::string missing;
        const std::string file = file_lacking(tickers, root, kIntradayColumns, std::size(kIntradayColumns), missing);
        if (!file.empty())
            glue::add_note(e, "An intraday tree gives all six fields, so every day file needs the columns time_key, "
                            "open, high, low, close, volume and num_trds; " + file + " has no '" + missing + "'.");
        return;
    }
    if (has_text(error, "not in index")) {
        std::string note = "No bar lies in the window [" + glue::repr_of(start) + ", " + glue::repr_of(end) + "]";
        try {
            if (PyUnicode_Check(start.ptr()) && PyUnicode_Check(end.ptr()) && glue::truthy(glue::gt(start, end)))
                note += ": start comes after end";
        } catch (nb::python_error &) {
        }
        note += ".";
        if (eight_digits(start) || eight_digits(end))
            note += " The window is compared with the files' time_key text, which is written YYYY-MM-DD: write the "
                    "dates with dashes ('2024-01-01', not '20240101').";
        glue::add_note(e, note);
    }
}

}  // namespace api_notes
