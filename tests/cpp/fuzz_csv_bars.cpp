// Mutation fuzzer for the native CSV bar reader (no Python involved).
//
// Build and run under AddressSanitizer and UBSan, e.g. for ten minutes:
//   g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -Icpp
//       tests/cpp/fuzz_csv_bars.cpp cpp/core/csv_bars.cpp -o build/fuzz_csv_bars
//   build/fuzz_csv_bars 600
// Seeds are flat and grouped files; each round mutates one (flips, inserts special bytes, cuts,
// splices lines), parses it, and runs the whole cleaning step on it through a temporary file.
#include "core/csv_bars.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace orvane::core;

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
};

static const char kSpecial[] = {',', '\n', '\r', '"', ' ', '.', 'e', '-', '+', '0', '9', '\0', '\x7f', '\xff', ':'};

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const char *tmp = argc > 2 ? argv[2] : "/tmp/fuzz_csv_bars.csv";
    std::mt19937_64 rng(12345);
    auto pick = [&](size_t n) { return (size_t) (rng() % (n ? n : 1)); };
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    size_t rounds = 0, accepted = 0;
    while (std::chrono::steady_clock::now() < until) {
        std::string s = kSeeds[pick(3)];
        const size_t edits = 1 + pick(8);
        for (size_t e = 0; e < edits; ++e) {
            switch (pick(6)) {
                case 0: if (!s.empty()) s[pick(s.size())] = (char) rng(); break;
                case 1: s.insert(s.begin() + (long) pick(s.size() + 1), kSpecial[pick(sizeof kSpecial)]); break;
                case 2: if (!s.empty()) s.erase(pick(s.size()), 1 + pick(4)); break;
                case 3: s.resize(pick(s.size() + 1)); break;
                case 4: { size_t a = pick(s.size()), b = pick(s.size()); if (a > b) std::swap(a, b);
                          s.insert(pick(s.size() + 1), s.substr(a, b - a)); break; }
                default: if (!s.empty()) s[pick(s.size())] = kSpecial[pick(sizeof kSpecial)]; break;
            }
        }
        Frame f;
        accepted += parse_data_file(s, f);
        if (FILE *out = std::fopen(tmp, "wb")) {
            std::fwrite(s.data(), 1, s.size(), out);
            std::fclose(out);
            std::vector<std::string> paths{tmp, tmp}, buffers;
            Frame g;
            clean_ticker(paths, rounds % 2 == 0, "2024-03-15", "2024-03-16 23:59:59", buffers, g);
        }
        ++rounds;
    }
    std::printf("%zu rounds, %zu parsed, no finding\n", rounds, accepted);
    std::remove(tmp);
    return 0;
}
