// Notes that name the caller's mistake on the errors of get_historical_data. The errors keep the
// type and text the query's steps give; each note is added by the step that met the mistake, which
// knows what it was doing (never by reading the error's text), and says what went wrong and how
// to mend it:
//   * fields that no tree of that kind gives;
//   * no ticker asked for;
//   * an empty or inverted window, or dates written without dashes;
//   * a tree read as intraday because its path lacks "K_1D";
//   * data files without a column the (field, date) table needs, naming the first such file.
#include "api_notes.hpp"

#include <string>

namespace api_notes {

namespace {

bool undashed_date(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) < 8) return false;
    return glue::truthy(text.attr("__getitem__")(nb::slice(nb::none(), nb::int_(8), nb::none())).attr("isdigit")());
}

// 'A', 'B' and 'C'
std::string quoted_list(const std::vector<nb::object> &items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += i + 1 == items.size() ? " and " : ", ";
        out += glue::repr_of(items[i]);
    }
    return out;
}

}  // namespace

void unknown_fields(nb::python_error &e, nb::handle flds, nb::handle measure, bool daily) {
    std::vector<nb::object> unknown;
    bool intraday_only = false;
    for (nb::handle f : flds) {
        if (glue::contains(measure, f)) continue;
        bool seen = false;
        for (const nb::object &u : unknown) seen = seen || glue::holds(u, Py_EQ, f);
        if (!seen) unknown.push_back(nb::borrow(f));
        intraday_only = intraday_only || (daily && glue::equals(f, "NUM_TRDS"));
    }
    if (unknown.empty()) return;
    std::string note = quoted_list(unknown) + (unknown.size() == 1 ? " is not a field of " : " are not fields of ") +
                       (daily ? "a daily tree ('K_1D' in csv_path)." : "an intraday tree.");
    if (intraday_only) note += " NUM_TRDS is given by intraday trees only.";
    glue::add_note(e, note);
}

void missing_columns(nb::python_error &e, nb::handle bars, const std::vector<std::string> &measure,
                     const char *const *source, nb::handle first_file) {
    nb::object columns = bars.attr("columns");
    for (size_t k = 0; k < measure.size(); ++k) {
        if (glue::contains(columns, nb::str(measure[k].c_str()))) continue;
        std::string note = measure.size() == 6
                               ? "An intraday tree gives all six fields, so every day file needs the columns time_key, "
                                 "open, high, low, close, volume and num_trds"
                               : "A daily tree gives all five fields, so every ohlcv.csv needs the columns time_key, "
                                 "open, high, low, close and volume";
        note += ", whichever fields flds asks for (return_ohlcv=True returns the bars as they are)";
        if (first_file.is_valid()) note += "; " + glue::to_str(first_file) + " has no '" + source[k] + "'";
        glue::add_note(e, note + ".");
        return;
    }
}

void undashed_dates(nb::python_error &e, nb::handle start, nb::handle end) {
    if (undashed_date(start) || undashed_date(end))
        glue::add_note(e, "Write the window's dates with dashes: '2024-01-01' or '2024-01-01 09:30:00', not "
                          "'20240101'.");
}

void no_tickers(nb::python_error &e) { glue::add_note(e, "tickers is empty: ask for at least one ticker."); }

void daily_layout_without_k1d(nb::python_error &e, nb::handle csv_path) {
    glue::add_note(e, "csv_path " + glue::repr_of(csv_path) + " holds ohlcv.csv files, the daily layout, but lacks 'K_1D', "
                      "so it was read as an intraday tree of day files (<ticker>_YYYY-MM-DD.csv). A daily tree's "
                      "path must contain 'K_1D'.");
}

void empty_window(nb::python_error &e, nb::handle start, nb::handle end) {
    std::string note = "No bar lies in the window [" + glue::repr_of(start) + ", " + glue::repr_of(end) + "]";
    // Both bounds were read as times; as texts of the same forms they compare as those times do.
    if (glue::truthy(glue::gt(start, end))) note += ": start comes after end";
    glue::add_note(e, note + ".");
}

}  // namespace api_notes
