// Unit tests of the CSV bar reader's units on their own: dtype inference and refusals of the scan,
// the two float conversions, cleaning with the window and the roll adjustment, and the reshape.
#include "core/csv_bars.hpp"
#include "core/csv_internal.hpp"

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

const core::CsvOptions kPandas2, kPandas3{true};

void scan() {
    core::Parsed<core::Frame> parsed = core::parse_data_file(kFlat, kPandas2);
    check(parsed.ok() && parsed.value().rows == 3, "a flat file parses");
    if (!parsed.ok()) return;
    const core::Frame &f = parsed.value();
    check(f.cols[f.find("open")].kind == core::CsvKind::Float && f.cols[f.find("volume")].kind == core::CsvKind::Float &&
              f.cols[f.find("ticker")].kind == core::CsvKind::Text,
          "decimals and an integer column with a gap are floats, names text");
    core::Parsed<core::Frame> q = core::parse_data_file("time_key,open\n2024-03-15,\"1\"\n", kPandas2);
    check(!q.ok() && std::strcmp(q.refusal().why, "a quote character") == 0, "quotes are refused with a reason");
}

void floats() {
    // 0.1 + 2^-56-ish: 17 significant digits where pandas 2's converter and correct rounding differ.
    const char *text = "time_key,open\n2024-03-15,0.30000000000000004\n2024-03-16,-0.0\n";
    core::Parsed<core::Frame> parsed_two = core::parse_data_file(text, kPandas2);
    core::Parsed<core::Frame> parsed_three = core::parse_data_file(text, kPandas3);
    check(parsed_two.ok() && parsed_three.ok(), "both roundings parse");
    if (failures) return;
    const core::Frame &two = parsed_two.value(), &three = parsed_three.value();
    const double correct = 0.30000000000000004;
    check(three.cols[1].floats[0] == correct, "correctly rounded 17-digit decimal");
    check(std::signbit(three.cols[1].floats[1]) && std::signbit(two.cols[1].floats[1]), "negative zero kept");
}

void clean() {
    core::Parsed<core::Bars> cleaned =
        core::clean_ticker({kFlat}, true, core::Window("2024-03-15 09:31:00", "2024-03-15 09:33:00"), kPandas2);
    check(cleaned.ok(), "one ticker cleaned");
    if (!cleaned.ok()) {
        std::printf("  refusal: %s\n", cleaned.refusal().why);
        return;
    }
    const core::Frame &out = cleaned.value().frame;
    // the row with a missing volume is dropped; the roll from A to B scales A's prices by 4 / 1.5
    const core::CsvColumn &close = out.cols[out.find("close")];
    check(out.rows == 2 && std::fabs(close.floats[0] - 1.5 * (4 / 1.5)) < 1e-12 && close.floats[1] == 4,
          "missing rows dropped, prices back-adjusted across the roll");

    // The same jobs on one thread and on eight: the same bars, and the first file at fault named
    // (a file the reader cannot read, or one the scan refuses).
    const core::ReadFile read = [](const std::string &name, core::FileBytes &out) {
        if (name == "missing") return false;
        out.assign(name == "bad" ? "time_key,open\n2024-03-15,\"1\"\n" : kFlat);
        return true;
    };
    auto run = [&](unsigned threads) {
        std::vector<core::TickerJob> jobs(24);
        for (size_t i = 0; i < jobs.size(); ++i) {
            jobs[i].files = i % 3 == 0 ? std::vector<std::string>{"flat", i % 2 ? "bad" : "missing", "bad"}
                                       : std::vector<std::string>(i % 4 + 1, "flat");
            jobs[i].window = core::Window("2024-03-15 09:32:00", "2024-03-15 09:33:00");
        }
        core::clean_tickers(jobs, kPandas2, threads, read);
        return jobs;
    };
    std::vector<core::TickerJob> one = run(1), eight = run(8);
    bool same = true;
    for (size_t i = 0; i < one.size(); ++i) {
        const core::Parsed<core::Bars> &a = one[i].result, &b = eight[i].result;
        same = same && a.ok() == b.ok() && (i % 3 != 0) == a.ok();
        if (!same) break;
        if (!a.ok()) {
            const char *why = i % 2 ? "a quote character" : "the file cannot be read";
            same = a.refusal().file == 1 && b.refusal().file == 1 && std::strcmp(a.refusal().why, why) == 0 &&
                   std::strcmp(b.refusal().why, why) == 0;
            continue;
        }
        const core::Frame &fa = a.value().frame, &fb = b.value().frame;
        same = fa.rows == fb.rows;
        for (size_t c = 0; same && c < fa.cols.size(); ++c)
            same = fa.cols[c].floats == fb.cols[c].floats && fa.cols[c].ints == fb.cols[c].ints &&
                   fa.cols[c].texts == fb.cols[c].texts;
    }
    check(same, "one thread and eight clean every job alike");

    // Bars assigned over bars (their columns in blocks of their own): the old columns go before
    // their block does, and the new ones keep theirs.
    core::Parsed<core::Bars> &into = one[1].result;
    into = std::move(eight[2].result);
    const core::Frame &moved = into.value().frame, &twin = one[2].result.value().frame;
    check(moved.rows == twin.rows && moved.cols[moved.find("close")].floats == twin.cols[twin.find("close")].floats,
          "bars assigned over bars");
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

// Time keys as nanoseconds: a key that shares its month (daily) or its hour (intraday) with the key
// before it is still checked to the end of its month or hour.
void keys() {
    struct Case {
        std::vector<std::string_view> keys;
        int64_t first_second;            // the first key's second since the epoch; -1: refused
        std::vector<int64_t> steps;      // seconds from each key to the next
    } cases[] = {
        {{"2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01"}, 19780LL * 86400, {86400, 86400, 86400}},
        {{"2023-02-27", "2023-02-28", "2023-02-29"}, -1, {}},
        {{"2024-04-29", "2024-04-30", "2024-04-31"}, -1, {}},
        {{"2024-03-15 09:58:59", "2024-03-15 09:59:00", "2024-03-15 09:59:59", "2024-03-15 10:00:00"}, 1710496739,
         {1, 59, 1}},
        {{"2024-03-15 09:58:59", "2024-03-15 09:58:60"}, -1, {}},
        {{"2024-03-15 09:58:59", "2024-03-15 09:60:00"}, -1, {}},
        {{"2024-03-15 09:58:59", "2024-03-15 09:59-00"}, -1, {}},
    };
    bool all = true;
    for (const Case &c : cases) {
        std::vector<int64_t> ns(c.keys.size());
        const bool ok = core::csv_internal::iso_keys(c.keys.data(), c.keys.size(), c.keys[0].size(), ns.data());
        all = all && ok == (c.first_second >= 0);
        if (!ok || !all) continue;
        all = ns[0] == c.first_second * 1000000000LL;
        for (size_t i = 0; all && i < c.steps.size(); ++i) all = ns[i + 1] - ns[i] == c.steps[i] * 1000000000LL;
    }
    check(all, "time keys read as nanoseconds, every day, minute and second in range");
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
    keys();
    reshape();
    return core_test::finish("csv bars");
}
