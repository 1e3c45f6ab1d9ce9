// Unit tests of the CSV bar reader's units on their own: dtype inference and refusals of the scan,
// the two float conversions, cleaning with the window and the roll adjustment, and the reshape.
#include "core/csv_bars.hpp"

#include "check.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace core = orvane::core;

using core_test::check;
using core_test::failures;

namespace {

const char *kFlat =
    "time_key,open,high,low,close,volume,ticker\n"
    "2024-03-15 09:31:00,1.5,2.5,1.0,1.5,10,A\n"
    "2024-03-15 09:32:00,1.5,2.5,1.0,2.0,,A\n"
    "2024-03-15 09:33:00,1.5,2.5,1.0,4.0,7,B\n";

void scan() {
    core::Frame f;
    check(core::parse_data_file(kFlat, f) && f.rows == 3, "a flat file parses");
    check(f.cols[f.find("open")].kind == core::CsvKind::Float && f.cols[f.find("volume")].kind == core::CsvKind::Float &&
              f.cols[f.find("ticker")].kind == core::CsvKind::Text,
          "decimals and an integer column with a gap are floats, names text");
    core::Frame q;
    check(!core::parse_data_file("time_key,open\n2024-03-15,\"1\"\n", q) && std::strlen(core::last_refusal()) > 0,
          "quotes are refused with a reason");
}

void floats() {
    // 0.1 + 2^-56-ish: 17 significant digits where pandas 2's converter and correct rounding differ.
    const char *text = "time_key,open\n2024-03-15,0.30000000000000004\n2024-03-16,-0.0\n";
    core::Frame two, three;
    core::set_correct_rounding(false);
    const bool parsed_two = core::parse_data_file(text, two);
    core::set_correct_rounding(true);
    const bool parsed_three = core::parse_data_file(text, three);
    core::set_correct_rounding(false);
    check(parsed_two && parsed_three && two.cols.size() == 2 && three.cols.size() == 2, "both roundings parse");
    if (failures) {
        std::printf("  refusal: %s\n", core::last_refusal());
        return;
    }
    const double correct = 0.30000000000000004;
    check(three.cols[1].floats[0] == correct, "correctly rounded 17-digit decimal");
    check(std::signbit(three.cols[1].floats[1]) && std::signbit(two.cols[1].floats[1]), "negative zero kept");
}

void clean() {
    const std::string path = "/tmp/orvane_test_csv_bars.csv";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs(kFlat, f);
    std::fclose(f);
    std::vector<std::string> buffers;
    core::Frame out;
    const bool cleaned = core::clean_ticker({path}, true, core::Window("2024-03-15 09:31:00", "2024-03-15 09:33:00"), buffers, out);
    check(cleaned, "one ticker cleaned");
    if (!cleaned) {
        std::printf("  refusal: %s\n", core::last_refusal());
        return;
    }
    // the row with a missing volume is dropped; the roll from A to B scales A's prices by 4 / 1.5
    const core::CsvColumn &close = out.cols[out.find("close")];
    check(out.rows == 2 && std::fabs(close.floats[0] - 1.5 * (4 / 1.5)) < 1e-12 && close.floats[1] == 4,
          "missing rows dropped, prices back-adjusted across the roll");

    // The same jobs on one thread and on eight: the same bars, and the first file at fault named.
    const std::string bad = "/tmp/orvane_test_csv_bars_bad.csv";
    f = std::fopen(bad.c_str(), "wb");
    std::fputs("time_key,open\n2024-03-15,\"1\"\n", f);
    std::fclose(f);
    auto run = [&](unsigned threads) {
        std::vector<core::TickerJob> jobs(24);
        for (size_t i = 0; i < jobs.size(); ++i) {
            jobs[i].paths = i % 3 == 0 ? std::vector<std::string>{path, bad, bad} : std::vector<std::string>(i % 4 + 1, path);
            jobs[i].window = core::Window("2024-03-15 09:32:00", "2024-03-15 09:33:00");
        }
        core::clean_tickers(jobs, threads);
        return jobs;
    };
    std::vector<core::TickerJob> one = run(1), eight = run(8);
    bool same = true;
    for (size_t i = 0; i < one.size(); ++i) {
        const core::TickerJob &a = one[i], &b = eight[i];
        same = same && a.ok == b.ok && a.refusal_file == b.refusal_file && a.frame.rows == b.frame.rows &&
               (i % 3 != 0) == a.ok && (a.ok || a.refusal_file == 1);
        for (size_t c = 0; same && a.ok && c < a.frame.cols.size(); ++c)
            same = a.frame.cols[c].floats == b.frame.cols[c].floats && a.frame.cols[c].ints == b.frame.cols[c].ints &&
                   a.frame.cols[c].texts == b.frame.cols[c].texts;
    }
    check(same, "one thread and eight clean every job alike");
    std::remove(bad.c_str());
    std::remove(path.c_str());
}

// Keys of the two forms against bounds to the second, across month and year ends; other shapes as
// text against the bounds as given.
void window() {
    using core::Moment;
    const core::Window w(Moment{2024, 12, 31, 10, 0, 0}, Moment{2025, 1, 2, 0, 0, 0}, "2024-12-31 10:00", "2025-01-02");
    struct Case {
        const char *key;
        bool inside;
    } cases[] = {{"2024-12-31", false},          {"2025-01-01", true},           {"2025-01-02", true},
                 {"2025-01-03", false},          {"2024-12-31 10:00:00", true},  {"2024-12-31 09:59:59", false},
                 {"2025-01-02 00:00:00", true},  {"2025-01-02 00:00:01", false}, {"2024-12-31 10:00", true},
                 {"2024-12-31 9:00:00", true},   {"2025-01-02 0", false},        {"2025-02-30", false},
                 {"2024-12-31 24:00:00", true}};
    bool all = true;
    for (const Case &c : cases) all = all && w.contains(c.key) == c.inside;
    check(all, "keys compared as times, other shapes as text");
    const core::Window last(Moment{9999, 12, 31, 0, 0, 1}, Moment{9999, 12, 31, 23, 59, 59}, "", "");
    check(!last.contains("9999-12-31") && last.contains("9999-12-31 00:00:01"), "no day after the last one");
}

void reshape() {
    const std::vector<int64_t> d1 = {1, 2}, d2 = {2, 3};
    const std::vector<double> v1 = {10, 20}, v2 = {5, 7};
    std::vector<core::ReshapeInput> in(2);
    in[0].column = 0, in[0].dates = d1.data(), in[0].rows = 2, in[0].fvalues = {v1.data()}, in[0].ivalues = {nullptr};
    in[1].column = 1, in[1].dates = d2.data(), in[1].rows = 2, in[1].fvalues = {v2.data()}, in[1].ivalues = {nullptr};
    std::vector<int64_t> dates;
    std::vector<double> values;
    core::reshape_mean(in, 1, 2, dates, values);
    check(dates == std::vector<int64_t>({1, 2, 3}), "all dates, ascending");
    check(values.size() == 6 && values[0] == 10 && values[1] == 20 && std::isnan(values[2]) && std::isnan(values[3]) &&
              values[4] == 5 && values[5] == 7,
          "column-major table with NaN where a ticker has no bar");
}

}  // namespace

int main() {
    scan();
    floats();
    clean();
    window();
    reshape();
    return core_test::finish("csv bars");
}
