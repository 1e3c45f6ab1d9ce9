// Fuzzer for the native CSV bar reader, cleaning step and reshape (no Python involved).
//
// One input is one data file: it is parsed with both float converters (and, when it holds no CR,
// once more with CRLF line ends, which must read alike), then cleaned as an intraday ticker (two
// copies, sorted) and as a daily one, alone and as jobs of clean_tickers, and the cleaned bars go through
// the reshape. Built with libFuzzer (-fsanitize=fuzzer -DORVANE_LIBFUZZER) the entry
// point is LLVMFuzzerTestOneInput alone; otherwise this file's own main mutates the seeds below
// and the files of a corpus directory for a given time with a fixed seed:
//   g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -Icpp
//       tests/cpp/fuzz_csv_bars.cpp cpp/core/csv_*.cpp cpp/core/cells.cpp -o build/fuzz_csv_bars
//   build/fuzz_csv_bars SECONDS [SEED] [CORPUS_DIR]
#include "core/csv_bars.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace orvane::core;

namespace {

// The cleaned bars through the reshape, as the module feeds it.
void reshape(const Frame &f) {
    const int key = f.find("time_key");
    if (key < 0 || f.cols[key].kind != CsvKind::Time) return;
    ReshapeInput in;
    in.dates = f.cols[key].ints.data();
    in.rows = f.rows;
    for (const char *name : {"open", "close", "volume"}) {
        const int c = f.find(name);
        if (c < 0 || f.cols[c].kind == CsvKind::Text || f.cols[c].kind == CsvKind::Time) return;
        const bool fl = f.cols[c].kind == CsvKind::Float;
        in.fvalues.push_back(fl ? f.cols[c].floats.data() : nullptr);
        in.ivalues.push_back(fl ? nullptr : f.cols[c].ints.data());
    }
    ReshapeInput twice = in;
    twice.column = 1;
    std::vector<int64_t> dates;
    std::vector<double> values;
    reshape_mean({in, twice}, in.fvalues.size(), 2, dates, values);
    if (values.size() != dates.size() * in.fvalues.size() * 2) std::abort();
}

bool same_frames(const Frame &a, const Frame &b) {
    if (a.rows != b.rows || a.cols.size() != b.cols.size()) return false;
    for (size_t c = 0; c < a.cols.size(); ++c) {
        const CsvColumn &x = a.cols[c], &y = b.cols[c];
        if (x.name != y.name || x.kind != y.kind || x.ints != y.ints || x.texts != y.texts ||
            x.floats.size() != y.floats.size() ||
            (!x.floats.empty() && std::memcmp(x.floats.data(), y.floats.data(), x.floats.size() * sizeof(double)) != 0))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const bool has_cr = bytes.find('\r') != std::string_view::npos;
    std::string crlf;
    if (!has_cr) {
        crlf.reserve(size + size / 8);
        for (char ch : bytes) {
            if (ch == '\n') crlf += '\r';
            crlf += ch;
        }
    }
    for (bool correct : {false, true}) {
        const CsvOptions options{correct};
        Parsed<Frame> f = parse_data_file(bytes, options);
        if (f.ok() && f.value().cols.empty()) std::abort();
        if (has_cr) continue;
        Parsed<Frame> g = parse_data_file(crlf, options);
        if (g.ok() != f.ok() || (f.ok() && !same_frames(f.value(), g.value()))) std::abort();
    }
    // Each window cleaned alone and, as a job among others, on two threads: the same bars. The
    // jobs' reader gives fresh buffers, so that their ends are the ends of their allocations.
    const ReadFile read = [&](const std::string &, FileBytes &out) {
        out.assign(bytes);
        return true;
    };
    auto clean = [&](size_t copies, bool sort, const Window &window) {
        const CsvOptions options;
        Parsed<Bars> cleaned = clean_ticker(std::vector<std::string_view>(copies, bytes), sort, window, options);
        const bool ok = cleaned.ok();
        if (ok) reshape(cleaned.value().frame);
        std::vector<TickerJob> jobs(3);
        for (TickerJob &job : jobs) job.files.assign(copies, "input"), job.sort = sort, job.window = window;
        clean_tickers(jobs, options, 2, read);
        for (const TickerJob &job : jobs) {
            if (job.result.ok() != ok) std::abort();
            if (!ok) continue;
            const Frame &f = job.result.value().frame, &g = cleaned.value().frame;
            if (f.rows != g.rows || f.cols.size() != g.cols.size()) std::abort();
            for (size_t c = 0; c < g.cols.size(); ++c) {
                const CsvColumn &a = f.cols[c], &b = g.cols[c];
                if (a.kind != b.kind || a.ints != b.ints || a.texts != b.texts || a.floats.size() != b.floats.size() ||
                    (!b.floats.empty() && std::memcmp(a.floats.data(), b.floats.data(), b.floats.size() * sizeof(double)) != 0))
                    std::abort();
            }
        }
    };
    clean(2, true, Window("2024-03-15", "2024-03-16 23:59:59"));
    // Daily windows as callers write them; keys of other shapes compared with the bounds' texts.
    clean(1, false, Window(Moment{1, 1, 1}, Moment{3, 1, 1}, "1", "3"));
    clean(1, false, Window("2024-03-14", "2024-03-16"));
    clean(1, true, Window(Moment{2024, 3, 15, 9, 31}, Moment{2024, 3, 16}, "2024-03-15 09:31", "2024-03-16"));
    return 0;
}

#ifndef ORVANE_LIBFUZZER

static const char *kSeeds[] = {
    "time_key,open,high,low,close,volume,num_trds,ticker\n"
    "2024-03-15 09:31:00,1.5,2,1,1.75,10,3,A\n"
    "2024-03-15 09:32:00,1.25,2.5,0.5,1.5,,3,A\n"
    "2024-03-15 09:33:00,1e3,2,1,-0.5e-2,7,3,B\n"
    "2024-03-15 09:34:00,1.234567890123456789,2,1,3,7,3,C\n",
    ",F1,F1,F1,F1,F1,F2,F2,F2,F2,F2,meta,meta\n"
    ",open,high,low,close,volume,open,high,low,close,volume,open,volume\n"
    "time_key,,,,,,,,,,,,\n"
    "2024-03-15,1,2,0.5,1.5,10,1,2,0.5,1.5,3,1,99\n"
    "2024-03-16,1,2,0.5,1.5,,1,2,0.5,1.5,4,1,99\n",
    "time_key,open,high,low,close,volume\n2024-03-15,1,1,1,2,10\n2024-03-14,1,1,1,4,NA\n",
    "time_key,open,high,low,close,volume,ticker\r\n2024-03-15,1.5,2,1,1.75,10,A\r\n"
    "2024-03-16,123456789012345678901234.5,2,1,1.5,11,B\r\n2024-03-17,1,2,1,1.5,12,B",
};

static const char kSpecial[] = {',', '\n', '\r', '"', ' ', '.', 'e', '-', '+', '0', '9', '\0', '\x7f', '\xff', ':', 'T', 'Z'};

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 12345;
    std::vector<std::string> seeds(std::begin(kSeeds), std::end(kSeeds));
    if (argc > 3) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[3])) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            seeds.push_back(text.str());
        }
    }
    // The seeds as they are, then mutated.
    for (const std::string &s : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(s.data()), s.size());
    std::mt19937_64 rng(seed);
    auto pick = [&](size_t n) { return (size_t) (rng() % (n ? n : 1)); };
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    size_t rounds = 0;
    while (std::chrono::steady_clock::now() < until) {
        std::string s = seeds[pick(seeds.size())];
        const size_t edits = 1 + pick(8);
        for (size_t e = 0; e < edits; ++e) {
            switch (pick(7)) {
                case 0: if (!s.empty()) s[pick(s.size())] = (char) rng(); break;
                case 1: s.insert(s.begin() + (long) pick(s.size() + 1), kSpecial[pick(sizeof kSpecial)]); break;
                case 2: if (!s.empty()) s.erase(pick(s.size()), 1 + pick(4)); break;
                case 3: s.resize(pick(s.size() + 1)); break;
                case 4: { size_t a = pick(s.size()), b = pick(s.size()); if (a > b) std::swap(a, b);
                          s.insert(pick(s.size() + 1), s.substr(a, b - a)); break; }
                case 5: {  // another seed's tail spliced on
                    const std::string &o = seeds[pick(seeds.size())];
                    if (!o.empty()) s = s.substr(0, pick(s.size() + 1)) + o.substr(pick(o.size()));
                    break;
                }
                default: if (!s.empty()) s[pick(s.size())] = kSpecial[pick(sizeof kSpecial)]; break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(s.data()), s.size());
        ++rounds;
    }
    std::printf("fuzz_csv_bars: %zu rounds from %zu seeds (seed %llu), no finding\n", rounds, seeds.size(), seed);
    return 0;
}

#endif
