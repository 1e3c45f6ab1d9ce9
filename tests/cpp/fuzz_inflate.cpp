// Fuzzer for the DEFLATE decoder (core/inflate), against zlib and under ASan/UBSan: streams zlib
// writes with every level, strategy and window, then damaged (bits flipped, cut, bytes spliced or
// overwritten) or made up from random bytes. A stream the decoder reads whole must be one zlib
// reads to the same bytes; one zlib reads within the room must not be reported too large; and no
// input may read or write out of bounds.
//   g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -Icpp -Itests/cpp
//       tests/cpp/fuzz_inflate.cpp cpp/core/inflate.cpp -lz -o build/fuzz_inflate
//   build/fuzz_inflate SECONDS [SEED]
#include "core/inflate.hpp"
#include "zlib_reference.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace inflater = orvane::core::inflater;

namespace {

std::string text_of(std::mt19937_64 &rng) {
    const size_t size = rng() % 4 == 0 ? rng() % 70000 : rng() % 2000;
    const char *words[] = {"BBG000BLNNH6", "SUPPLIER", "2024-01-05", ",", "\n", "CUSTOMER", "12.5", ""};
    std::string s;
    const int kind = int(rng() % 3);
    while (s.size() < size) {
        if (kind == 0) s += words[rng() % 8];
        else if (kind == 1) s += char(rng());
        else s.append(1 + rng() % 300, char('a' + rng() % 3));
    }
    s.resize(size);
    return s;
}

std::string deflate_raw(const std::string &text, std::mt19937_64 &rng) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
    const int level = int(rng() % 10), window_bits = -int(9 + rng() % 7), mem_level = int(1 + rng() % 9);
    return zlib_reference::deflate(text, level, strategies[rng() % 5], window_bits, mem_level);
}

void damage(std::string &raw, std::mt19937_64 &rng) {
    switch (rng() % 6) {
    case 0: break;  // whole
    case 1: for (int n = 1 + int(rng() % 4); n-- && !raw.empty();) raw[rng() % raw.size()] ^= char(1 << (rng() % 8)); break;
    case 2: raw.resize(raw.empty() ? 0 : rng() % raw.size()); break;
    case 3: raw.insert(raw.empty() ? 0 : rng() % raw.size(), std::string(1 + rng() % 8, char(rng()))); break;
    case 4: for (int n = 1 + int(rng() % 16); n-- && !raw.empty();) raw[rng() % raw.size()] = char(rng()); break;
    default: {  // random bytes after a block header of a random type
        raw.assign(1 + rng() % 400, '\0');
        for (char &c : raw) c = char(rng());
        raw[0] = char((raw[0] & ~6) | int(rng() % 3) << 1);
    }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
    const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long rounds = 0, whole = 0, left_to_zlib = 0, findings = 0;
    while (std::chrono::steady_clock::now() < stop) {
        ++rounds;
        const std::string text = text_of(rng);
        std::string raw = deflate_raw(text, rng);
        damage(raw, rng);
        std::string theirs;
        const bool zlib_ok = zlib_reference::reads(raw, theirs, 1 << 20);
        const size_t room = rng() % 4 == 0 ? rng() % (theirs.size() + 1) : theirs.size() + rng() % 64;
        // The room is exactly what it says: the decoder's buffer is allocated to that size, so
        // ASan sees any write past it.
        char *out = static_cast<char *>(std::malloc(room ? room : 1));
        const size_t step = 1 + rng() % 70000;
        long calls = 0;
        const long cancel_at = rng() % 8 == 0 ? long(rng() % 4) : -1;
        const auto r = inflater::inflate_raw(raw, out, room, step, [&](size_t produced) {
            if (produced > room) std::abort();
            return calls++ != cancel_at;
        });
        bool bad = r.produced > room;
        if (r.status == inflater::Status::Done) {
            ++whole;
            bad = bad || !zlib_ok || r.produced != theirs.size() || theirs.compare(0, r.produced, out, r.produced) != 0;
        } else if (zlib_ok && r.status == inflater::Status::Full) {
            bad = bad || theirs.size() <= room;
        } else if (zlib_ok && r.status == inflater::Status::Bad) {
            ++left_to_zlib;
        }
        std::free(out);
        if (bad) {
            ++findings;
            std::fprintf(stderr, "finding in round %ld: status %d, produced %zu, zlib %d with %zu bytes, room %zu\n", rounds,
                         int(r.status), r.produced, int(zlib_ok), theirs.size(), room);
        }
    }
    std::printf("fuzz_inflate: %ld rounds, %ld read whole, %ld left to zlib, %ld findings\n", rounds, whole, left_to_zlib,
                findings);
    return findings ? 1 : 0;
}
