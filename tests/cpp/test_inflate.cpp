// Unit tests of the DEFLATE decoder and of the gzip member reader built on it, against zlib: every
// kind of block zlib writes reads back exactly; a stream zlib rejects (cut short, damaged) is never
// read as whole; too little room says so; the members left to zlib still read as before.
#include "core/crc32.hpp"
#include "core/gzip_member.hpp"
#include "core/inflate.hpp"

#include "check.hpp"
#include "zlib_reference.hpp"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using core_test::check;
namespace inflater = orvane::core::inflater;
namespace gzip_member = orvane::core::gzip_member;

namespace {

using zlib_reference::deflate;

bool zlib_reads(const std::string &raw, std::string &text) { return zlib_reference::reads(raw, text, 1 << 14); }

inflater::Result decode(const std::string &raw, std::string &out, size_t room) {
    out.assign(room, '\0');
    auto r = inflater::inflate_raw(raw, out.data(), room, 4096, [](size_t) { return true; });
    out.resize(r.produced);
    return r;
}

std::string sample(std::mt19937_64 &rng, size_t size, int kind) {
    std::string s;
    const char *words[] = {"BBG000BLNNH6", "SUPPLIER", "2024-01-05", ",", "\n", "CUSTOMER", "12.5"};
    while (s.size() < size) {
        if (kind == 0) s += words[rng() % 7];                          // text
        else if (kind == 1) s += char(rng());                          // noise
        else s.append(1 + rng() % 40, char('a' + rng() % 3));          // runs: distances under 8
    }
    s.resize(size);
    return s;
}

void round_trips() {
    std::mt19937_64 rng(7);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
    for (int kind = 0; kind < 3; ++kind)
        for (size_t size : {size_t(0), size_t(1), size_t(300), size_t(200000)})
            for (int level : {0, 1, 6, 9})
                for (int strategy : strategies) {
                    const std::string text = sample(rng, size, kind);
                    const std::string raw = deflate(text, level, strategy) + "tail";
                    std::string out;
                    const auto r = decode(raw, out, text.size() + 300);
                    check(r.status == inflater::Status::Done && out == text && r.in_used == raw.size() - 4,
                          "zlib's stream reads back, up to the end of its last block");
                    if (!text.empty()) check(decode(raw, out, text.size() - 1).status == inflater::Status::Full, "too little room");
                }
}

void damaged_streams() {
    std::mt19937_64 rng(11);
    int agreed = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string text = sample(rng, 1 + rng() % 3000, int(rng() % 3));
        std::string raw = deflate(text, int(rng() % 10), round % 2 ? Z_FIXED : Z_DEFAULT_STRATEGY);
        if (round % 3 == 0) raw.resize(rng() % raw.size());                 // cut short
        else for (int flips = 1 + int(rng() % 3); flips--;) raw[rng() % raw.size()] ^= char(1 << (rng() % 8));
        std::string ours, theirs;
        const auto r = decode(raw, ours, 1 << 14);
        const bool zlib_ok = zlib_reads(raw, theirs);
        if (r.status == inflater::Status::Done) {
            check(zlib_ok && ours == theirs, "a damaged stream read whole only where zlib reads the same");
            ++agreed;
        }
    }
    check(agreed > 0, "some damaged streams still decode");
}

std::string gzip_member_of(const std::string &text, const std::string &header) {
    const std::string raw = deflate(text, 6, Z_DEFAULT_STRATEGY);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(text.data()), uInt(text.size()));
    std::string out = header + raw;
    for (int i = 0; i < 4; ++i) out += char(crc >> (8 * i));
    for (int i = 0; i < 4; ++i) out += char(text.size() >> (8 * i));
    return out;
}

// What InflateAhead gives for `gz`, read as the CSV reader reads it, each step as it comes;
// whether it found the text larger than the trailer says.
std::pair<std::optional<gzip_member::Inflated>, bool> read_ahead(const std::string &gz) {
    gzip_member::InflateAhead ahead(gz);
    size_t seen = 0;
    for (auto [ready, ended] = ahead.wait(0); !ended; std::tie(ready, ended) = ahead.wait(seen)) seen = ready;
    auto whole = ahead.finish();
    return {std::move(whole), ahead.too_large()};
}

void members() {
    std::mt19937_64 rng(3);
    const std::string text = sample(rng, 2500000, 0);  // beyond the bytes inflated between two reports to the reader
    const std::string plain("\x1f\x8b\x08\x00\0\0\0\0\0\xff", 10);
    const std::string named = std::string("\x1f\x8b\x08\x18\0\0\0\0\0\xff", 10) + "name.csv" + '\0' + "note" + '\0';
    const std::string extra = std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x03\x00xyz", 15);
    const std::string header_crc = std::string("\x1f\x8b\x08\x02\0\0\0\0\0\xff", 10) + "\x12\x34";  // zlib judges it
    for (const std::string &header : {plain, named, extra}) {
        const std::string gz = gzip_member_of(text, header);
        auto whole = gzip_member::inflate_single(gz);
        check(whole && whole->text() == text, "a member with a name, comment or extra field");
        auto [ahead_whole, too_large] = read_ahead(gz);
        check(ahead_whole && ahead_whole->text() == text && !too_large, "inflated ahead");
        std::string bad = gz;
        bad[bad.size() - 8] ^= 1;  // the CRC
        check(!gzip_member::inflate_single(bad), "a wrong CRC");
        auto [bad_whole, bad_too_large] = read_ahead(bad);
        check(!bad_whole && !bad_too_large, "a wrong CRC, inflated ahead");
        bad = gz;
        bad[bad.size() - 4] ^= 1;  // the size
        check(!gzip_member::inflate_single(bad), "a wrong size");
        check(!gzip_member::inflate_single(gz + gz), "two members");
        check(!gzip_member::inflate_single(gz + "x"), "bytes after the member");
        check(!gzip_member::inflate_single(gz.substr(0, gz.size() - 1)), "a trailer cut short");
    }
    check(!gzip_member::inflate_single(gzip_member_of(text, header_crc)), "zlib judges a header CRC (wrong here)");
    // The trailer's size too small: inflating ahead runs out of room and says so.
    std::string small = gzip_member_of(text, plain);
    small[small.size() - 3] = 0, small[small.size() - 2] = 0, small[small.size() - 1] = 0;
    auto [small_whole, too_large] = read_ahead(small);
    check(!small_whole && too_large, "a text larger than the trailer says");
}

}  // namespace

// The members' CRC against zlib's, at every length up to a few folds of 64 bytes and at any
// alignment, and over a large buffer continued in uneven pieces.
void crcs() {
    std::mt19937_64 rng(12);
    std::string bytes(1 << 16, '\0');
    for (char &b : bytes) b = char(rng());
    auto zlib_crc = [&](uint32_t crc, size_t at, size_t n) {
        return uint32_t(crc32(crc, reinterpret_cast<const Bytef *>(bytes.data() + at), uInt(n)));
    };
    bool same = true;
    for (size_t n = 0; n <= 300 && same; ++n)
        for (size_t at = 0; at < 16 && same; ++at) {
            const uint32_t start = uint32_t(rng());
            same = orvane::core::crc32_continued(start, bytes.data() + at, n) == zlib_crc(start, at, n);
        }
    uint32_t crc = 0;
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min<size_t>(bytes.size() - at, rng() % 5000);
        crc = orvane::core::crc32_continued(crc, bytes.data() + at, n);
        at += n;
    }
    check(same && crc == zlib_crc(0, 0, bytes.size()), "CRC-32 as zlib computes it");
}

int main() {
    crcs();
    round_trips();
    damaged_streams();
    members();
    return core_test::finish("inflate");
}
