// Stage benchmarks of the native core, without Python: each stage on synthetic data shaped like
// the benchmarks' trees, best of a few runs, printed as bytes or rows per second, so that a slower
// core shows up on its own.
//
//     bench_core [scale]     (scale 1: a 6 MB file, 250 day files, 2 million reshaped cells per field)
#include "core/csv_bars.hpp"
#include "core/cells.hpp"
#include "core/files.hpp"
#include "core/event_windows.hpp"
#include "core/gather.hpp"
#include "core/gzip_member.hpp"
#include "core/inflate.hpp"
#include "core/plain_csv.hpp"
#include "core/text_factors.hpp"
#include "core/volume_kernels.hpp"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace core = orvane::core;

namespace {

// Seconds of the fastest of `runs` calls of f.
template <class F>
double best_of(int runs, F &&f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

// One result line: `count` bytes (or rows, cells) in `seconds`.
void line(const char *stage, const char *what, double count, const char *unit, double seconds) {
    std::printf("core %-8s %-40s %9.1f %s/s  (%.4f s)\n", stage, what, count / seconds / 1e6, unit, seconds);
}

// A day file of the intraday trees: one bar a minute from 09:31, a futures contract column.
std::string day_file(std::mt19937_64 &rng, const std::string &date, int bars) {
    std::string out = "time_key,open,high,low,close,volume,num_trds,ticker\n";
    std::uniform_real_distribution<double> move(-2, 2);
    double px = 4800;
    char row[160];
    for (int b = 0; b < bars; ++b) {
        const int minute = 9 * 60 + 31 + b;
        const double open = px, close = px + move(rng);
        std::snprintf(row, sizeof row, "%s %02d:%02d:00,%.2f,%.2f,%.2f,%.2f,%d,%d,ESM4\n", date.c_str(), minute / 60 % 100,
                      minute % 60, open, std::max(open, close) + 0.25, std::min(open, close) - 0.25, close,
                      (int) (rng() % 5000), (int) (rng() % 900));
        out += row;
        px = close;
    }
    return out;
}

std::string gzip_of(const std::string &text) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = (uInt) text.size();
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = (uInt) out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::mt19937_64 rng(7);
    const core::CsvOptions options;

    // One long flat file (the scan's and the cell grammar's input) and a tree of day files.
    std::string text = day_file(rng, "2024-03-15", 390 * 250 * scale);
    const double mb = (double) text.size();
    size_t rows = 0;
    if (core::Parsed<core::Frame> f = core::parse_data_file(text, options); !f.ok()) {
        std::printf("the synthetic file is refused: %s\n", f.refusal().why);
        return 1;
    }
    double s = best_of(5, [&] { rows = core::parse_data_file(text, options).value().rows; });
    line("scan", "parse_data_file (flat, 8 columns)", mb, "MB", s);
    line("scan", "parse_data_file (flat, 8 columns)", (double) rows, "Mrows", s);

    std::vector<std::string_view> cells;
    for (size_t at = text.find('\n') + 1; at < text.size() && cells.size() < 2000000;) {
        const size_t comma = text.find(',', at);
        const size_t next = text.find(',', comma + 1);
        cells.push_back(std::string_view(text).substr(comma + 1, next - comma - 1));  // the open price
        at = text.find('\n', at) + 1;
    }
    double sink = 0;
    s = best_of(5, [&] {
        double v = 0;
        for (std::string_view c : cells) core::cells::parse_decimal(c, &v, options.correct_rounding), sink += v;
    });
    line("cells", "parse_decimal (prices)", (double) cells.size(), "Mcells", s);

    // The cell grammar over every cell of the file (stamps, prices, counts, contract codes): an
    // integer, else a decimal, else a special word, as the general road asks.
    std::vector<std::string_view> every;
    for (size_t at = text.find('\n') + 1, cell = at; at < text.size() && every.size() < 4000000; ++at)
        if (text[at] == ',' || text[at] == '\n') every.push_back(std::string_view(text).substr(cell, at - cell)), cell = at + 1;
    size_t specials = 0;
    s = best_of(5, [&] {
        for (std::string_view c : every) {
            int64_t i = 0;
            double v = 0;
            if (core::cells::parse_int(c, i)) sink += (double) i;
            else if (core::cells::parse_decimal(c, &v, options.correct_rounding) == core::cells::Dec::Yes) sink += v;
            else specials += core::cells::looks_special(c, options.correct_rounding) != nullptr;
        }
    });
    line("cells", "cell grammar (int, decimal, words)", (double) every.size(), "Mcells", s);

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "orvane_bench_core";
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths;
    size_t tree_bytes = 0;
    for (int d = 0, y = 2000, m = 1, dd = 1; d < 250 * scale; ++d) {
        char date[32];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", y % 10000, m % 100, dd % 100);
        if (++dd > core::days_in_month(y, m)) dd = 1, m = m == 12 ? (++y, 1) : m + 1;
        const std::string day = day_file(rng, date, 390);
        paths.push_back((dir / ("ES_" + std::to_string(d) + ".csv")).string());
        std::ofstream(paths.back(), std::ios::binary) << day;
        tree_bytes += day.size();
    }
    const core::Window window("2000-01-01", "2099-12-31 23:59:59");
    size_t kept = 0;
    s = best_of(5, [&] {
        std::vector<core::FileBytes> buffers(paths.size());
        for (size_t i = 0; i < paths.size(); ++i) core::read_file(paths[i], buffers[i]);
        kept = core::clean_ticker(std::vector<std::string_view>(buffers.begin(), buffers.end()), true, window, options)
                   .value()
                   .frame.rows;
    });
    line("clean", "clean_ticker (read, window, sort, roll)", (double) tree_bytes, "MB", s);
    line("clean", "clean_ticker (read, window, sort, roll)", (double) kept, "Mrows", s);
    std::vector<core::TickerJob> jobs(8);
    for (core::TickerJob &job : jobs) job.files = paths, job.sort = true, job.window = window;
    s = best_of(5, [&] { core::clean_tickers(jobs, options, 1, core::read_file); });
    line("clean", "clean_tickers (8 tickers, 1 thread)", 8.0 * tree_bytes, "MB", s);
    s = best_of(5, [&] { core::clean_tickers(jobs, options, 2, core::read_file); });
    line("clean", "clean_tickers (8 tickers, 2 threads)", 8.0 * tree_bytes, "MB", s);

    // The (field, date) x ticker reshape of 20 tickers' bars.
    const size_t n = 100000 * scale, tickers = 20, fields = 6;
    std::vector<int64_t> dates(n);
    std::vector<double> values(n * fields);
    for (size_t i = 0; i < n; ++i) dates[i] = (int64_t) i * core::kNanosPerMinute;
    for (double &v : values) v = (double) (rng() % 100000) / 100;
    std::vector<core::ReshapeInput> inputs(tickers);
    for (size_t t = 0; t < tickers; ++t) {
        inputs[t].column = (int) t, inputs[t].dates = dates.data(), inputs[t].rows = n;
        for (size_t f = 0; f < fields; ++f) inputs[t].fvalues.push_back(values.data() + f * n), inputs[t].ivalues.push_back(nullptr);
    }
    std::vector<int64_t> out_dates;
    std::vector<double> table;
    s = best_of(5, [&] { core::reshape_mean(inputs, fields, tickers, out_dates, table, 2); });
    line("reshape", "reshape_mean (20 tickers, 6 fields)", (double) (n * fields * tickers), "Mcells", s);

    // gzip: the snapshot reader's inflate, and its plain-CSV scan.
    const std::string packed = gzip_of(text);
    size_t inflated = 0;
    s = best_of(5, [&] { inflated = core::gzip_member::inflate_single(packed)->text().size(); });
    line("gzip", "inflate_single (output)", (double) inflated, "MB", s);
    // A supply-chain snapshot's text (random FIGIs and days, few long matches): the gzip member's
    // DEFLATE stream alone, then zlib on the same stream for comparison.
    std::string snapshot = "ID_BB_GLOBAL,RELATED_FIGI,RELATIONSHIP,RELTNSHP_START_DT,RELTNSHP_END_DT,REVENUE_PCT\n";
    for (size_t r = 0; r < n * 2; ++r) {
        char row[128];
        std::snprintf(row, sizeof row, "BBG%09d,BBG%09d,%s,20%02d-%02d-%02d,,%.3f\n", int(rng() % 50000), int(rng() % 50000),
                      rng() % 2 ? "SUPPLIER" : "CUSTOMER", 15 + int(rng() % 8), 1 + int(rng() % 12), 1 + int(rng() % 28),
                      double(rng() % 100000) / 1000);
        snapshot += row;
    }
    const std::string snapshot_packed = gzip_of(snapshot);
    std::string room(snapshot.size(), '\0');
    const std::string_view stream = std::string_view(snapshot_packed).substr(10);  // after the plain header
    s = best_of(5, [&] { core::inflater::inflate_raw(stream, room.data(), room.size(), SIZE_MAX, [](size_t) { return true; }); });
    line("inflate", "inflater::inflate_raw (snapshot text)", (double) snapshot.size(), "MB", s);
    s = best_of(5, [&] {
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
        z.avail_in = (uInt) stream.size();
        z.next_out = reinterpret_cast<Bytef *>(room.data());
        z.avail_out = (uInt) room.size();
        inflate(&z, Z_FINISH);
        inflateEnd(&z);
    });
    line("inflate", "zlib inflate (snapshot text)", (double) snapshot.size(), "MB", s);
    size_t plain_rows = 0;
    s = best_of(5, [&] { plain_rows = core::plain_csv::scan(text)->rows(); });
    line("plain", "plain_csv::scan", mb, "MB", s);

    // A snapshot's date column: a few thousand days repeated over the rows, coded by their text.
    std::vector<std::string> days;
    for (size_t r = 0; r < n * 4; ++r) {
        char day[16];
        std::snprintf(day, sizeof day, "20%02d-%02d-%02d", 15 + int(rng() % 8), 1 + int(rng() % 12), 1 + int(rng() % 28));
        days.emplace_back(day);
    }
    size_t distinct_days = 0;
    s = best_of(5, [&] {
        core::TextFactors factors;
        for (const std::string &d : days) factors.code(d);
        distinct_days = factors.size();
    });
    line("factors", "TextFactors::code (YYYY-MM-DD cells)", (double) days.size(), "Mrows", s);

    // Event windows: bars on window minutes.
    std::vector<int64_t> bars(n * 4), minutes;
    for (size_t i = 0; i < bars.size(); ++i) bars[i] = (int64_t) (i / 4) * core::kNanosPerMinute;
    std::vector<int64_t> releases;
    for (size_t r = 0; r < n / 60; ++r) releases.push_back((int64_t) (r * 60 + 30) * core::kNanosPerMinute);
    core::window_minutes(releases.data(), releases.size(), -5, 10, minutes);
    size_t matched = 0;
    s = best_of(5, [&] { matched = core::match_window_bars(minutes.data(), minutes.size(), bars.data(), bars.size()).hit.size(); });
    line("events", "match_window_bars (bars scanned)", (double) bars.size(), "Mrows", s);

    // The event bar table's gathers: a float64 column and a text column at scattered rows.
    std::vector<int64_t> picks(n * 4);
    for (int64_t &p : picks) p = (int64_t) (rng() % bars.size());
    std::vector<double> taken(picks.size()), source(bars.size(), 1.0);
    s = best_of(5, [&] { core::take_numbers(source.data(), picks.data(), picks.size(), taken.data()); });
    line("gather", "take_numbers (float64, scattered rows)", (double) picks.size(), "Mrows", s);
    std::string key_bytes;
    std::vector<int32_t> key_offsets(1, 0);
    for (size_t i = 0; i < bars.size(); ++i) key_bytes += "sec" + std::to_string(i % 50), key_offsets.push_back((int32_t) key_bytes.size());
    core::TextChunks keys;
    keys.chunks = {{reinterpret_cast<const unsigned char *>(key_offsets.data()), key_bytes.data(), (int64_t) key_bytes.size()}};
    keys.first_row = {0, (int64_t) bars.size()};
    std::vector<unsigned char> text_offsets((picks.size() + 1) * 4), text_bytes;
    s = best_of(5, [&] {
        core::TextTake take;
        take.plan(keys, picks.data(), picks.size(), text_offsets.data());
        text_bytes.resize((size_t) take.bytes());
        take.copy(text_bytes.data(), nullptr);
    });
    line("gather", "TextTake (plan and copy, scattered rows)", (double) picks.size(), "Mrows", s);

    // A volume indicator kernel.
    std::vector<double> out(n);
    const core::Column close{reinterpret_cast<const char *>(values.data()), sizeof(double)};
    const core::Column volume{reinterpret_cast<const char *>(values.data() + n), sizeof(double)};
    s = best_of(5, [&] { core::obv(close, volume, n, out.data()); });
    line("volume", "obv", (double) n, "Mrows", s);

    std::filesystem::remove_all(dir);
    return (sink == 0.5 && rows + kept + plain_rows + matched + specials == 0) ? 1 : 0;  // keep the results alive
}
