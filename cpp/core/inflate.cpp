#include "core/inflate.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace orvane::core::inflater {

namespace {

// A table entry: the bits its code takes (8 bits), extra bits or a subtable's index bits (4),
// what it means (4), and a value (16): a literal byte, a base length or distance, a subtable's start.
enum Kind : uint32_t { kLiteral = 0, kBase = 1, kEnd = 2, kSub = 3, kInvalid = 4 };
constexpr uint32_t entry(uint32_t bits, uint32_t extra, uint32_t kind, uint32_t value) {
    return bits | extra << 8 | kind << 12 | value << 16;
}
inline uint32_t bits_of(uint32_t e) { return e & 0xFF; }
inline uint32_t extra_of(uint32_t e) { return (e >> 8) & 0xF; }
inline uint32_t kind_of(uint32_t e) { return (e >> 12) & 0xF; }
inline uint32_t value_of(uint32_t e) { return e >> 16; }

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What a symbol means, as an entry without its bits.
uint32_t literal_length(unsigned s) {
    if (s < 256) return entry(0, 1, kLiteral, s);  // one byte (see pair_literals)
    if (s == 256) return entry(0, 0, kEnd, 0);
    if (s <= 285) return entry(0, kLengthExtra[s - 257], kBase, kLengthBase[s - 257]);
    return entry(0, 0, kInvalid, 0);  // 286 and 287 have fixed codes but no meaning
}
uint32_t distance(unsigned s) {
    return s < 30 ? entry(0, kDistanceExtra[s], kBase, kDistanceBase[s]) : entry(0, 0, kInvalid, 0);
}
uint32_t code_length(unsigned s) { return entry(0, 0, kLiteral, s); }

// A symbol's entry with the bits it takes: its code's, and for a base its extra bits too, so
// that one shift takes both.
uint32_t with_bits(uint32_t meaning, unsigned code_bits) {
    return meaning | (kind_of(meaning) == kBase ? code_bits + extra_of(meaning) : code_bits);
}

struct Table {
    std::vector<uint32_t> entries;  // 1 << root entries, then the subtables
    unsigned root = 0;
};

constexpr unsigned kMaxSymbols = 288, kMaxRoot = 10;  // the most any table below has
constexpr unsigned kLiteralRoot = 10, kDistanceRoot = 8;  // the root bits of a block's two tables

// The decoding table of a canonical Huffman code given by its code lengths (0: no code). false
// for an over-subscribed or incomplete set, or for an empty one unless `empty_ok` (its symbols
// are then all invalid).
bool build(Table &t, const uint8_t *lens, unsigned n, unsigned root, uint32_t (*meaning)(unsigned), bool empty_ok) {
    if (n > kMaxSymbols || root > kMaxRoot) return false;
    unsigned count[16] = {};
    for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
    count[0] = 0;
    unsigned longest = 0;
    for (unsigned len = 1; len < 16; ++len)
        if (count[len]) longest = len;
    t.root = root;
    t.entries.assign(size_t(1) << root, entry(0, 0, kInvalid, 0));
    if (longest == 0) return empty_ok;
    int left = 1;
    for (unsigned len = 1; len < 16; ++len) {
        left = left * 2 - int(count[len]);
        if (left < 0) return false;  // over-subscribed
    }
    if (left > 0) return false;  // incomplete
    unsigned next[16] = {}, code = 0;
    for (unsigned len = 1; len < 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    uint16_t reversed[kMaxSymbols];  // each code as read, first bit lowest
    uint8_t sub_bits[size_t(1) << kMaxRoot] = {};
    const unsigned mask = (1u << root) - 1;
    for (unsigned s = 0; s < n; ++s) {
        const unsigned len = lens[s];
        if (!len) continue;
        const unsigned c = next[len]++;
        unsigned r = 0;
        for (unsigned b = 0; b < len; ++b) r |= ((c >> b) & 1u) << (len - 1 - b);
        reversed[s] = uint16_t(r);
        if (len > root) sub_bits[r & mask] = uint8_t(std::max<unsigned>(sub_bits[r & mask], len - root));
    }
    for (unsigned r = 0; r <= mask; ++r) {
        if (!sub_bits[r]) continue;
        const size_t start = t.entries.size();
        if (start > 0xFFFF) return false;
        t.entries.resize(start + (size_t(1) << sub_bits[r]), entry(0, 0, kInvalid, 0));
        t.entries[r] = entry(root, sub_bits[r], kSub, uint32_t(start));
    }
    for (unsigned s = 0; s < n; ++s) {
        const unsigned len = lens[s];
        if (!len) continue;
        const unsigned r = reversed[s];
        if (len <= root) {
            const uint32_t e = with_bits(meaning(s), len);
            for (unsigned i = r; i <= mask; i += 1u << len) t.entries[i] = e;
        } else {
            const uint32_t pointer = t.entries[r & mask];
            const unsigned size = 1u << extra_of(pointer);
            const uint32_t e = with_bits(meaning(s), len - root);
            for (unsigned i = r >> root; i < size; i += 1u << (len - root)) t.entries[value_of(pointer) + i] = e;
        }
    }
    return true;
}

// The input as bits, first bit lowest. Past the end it reads zero bytes and counts them.
struct Bits {
    const uint8_t *p, *end;
    uint64_t buffer = 0;
    unsigned count = 0;   // valid bits in `buffer`
    size_t overrun = 0;   // zero bytes read past the end

    // At least 56 bits in the buffer.
    void refill() {
        if (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);  // little-endian hosts: the bytes in stream order
            buffer |= word << count;
            p += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            if (p < end) buffer |= uint64_t(*p++) << count;
            else ++overrun;
            count += 8;
        }
    }
    uint32_t take(unsigned n) {  // n <= count
        const uint32_t v = uint32_t(buffer & ((uint64_t(1) << n) - 1));
        buffer >>= n;
        count -= n;
        return v;
    }
    // More bits were used than the input holds.
    bool past_end() const { return overrun > count / 8; }
    // Drops the bits up to the next byte boundary and gives back the whole bytes still buffered.
    bool align() {
        take(count % 8);
        const size_t buffered = count / 8;
        if (overrun > buffered) return false;
        p -= buffered - overrun;
        buffer = 0;
        count = 0;
        overrun = 0;
        return true;
    }
};

// The next symbol's entry: `root` bits index `entries`, a subtable the rest. A subtable's root
// bits are taken; the symbol's own bits are left to the caller.
inline uint32_t lookup(const uint32_t *entries, unsigned root, Bits &in) {
    uint32_t e = entries[in.buffer & ((1u << root) - 1)];
    if (kind_of(e) == kSub) {
        in.take(root);
        e = entries[value_of(e) + (in.buffer & ((1u << extra_of(e)) - 1))];
    }
    return e;
}

// The next symbol's entry with all its bits taken, for codes whose entries carry no extra bits.
uint32_t decode(const Table &t, Bits &in) {
    const uint32_t e = lookup(t.entries.data(), t.root, in);
    in.take(bits_of(e));
    return e;
}

// A base's value plus its extra bits, read after its code; the code's and the extra bits taken.
inline size_t take_base(uint32_t e, Bits &in) {
    const uint64_t saved = in.buffer;
    const unsigned all = bits_of(e), extra = extra_of(e);
    in.buffer >>= all;
    in.count -= all;
    return value_of(e) + size_t((saved >> (all - extra)) & ((uint64_t(1) << extra) - 1));
}

// Joins two literals into one entry of the root table wherever both codes fit in its bits
// together: such an entry holds the two bytes, first the lower, and says 2 where a literal's says 1.
// Entries are joined from the last down: the second literal's entry, at an index no larger, is
// then still a single one.
void pair_literals(Table &t) {
    uint32_t *const entries = t.entries.data();
    for (size_t i = size_t(1) << t.root; i-- > 0;) {
        const uint32_t first = entries[i];
        if (kind_of(first) != kLiteral) continue;
        const uint32_t second = entries[i >> bits_of(first)];  // known when its code fits in the bits left
        if (kind_of(second) != kLiteral || bits_of(first) + bits_of(second) > t.root) continue;
        entries[i] = entry(bits_of(first) + bits_of(second), 2, kLiteral, value_of(first) | value_of(second) << 8);
    }
}

// A literal entry's one or two bytes written at `o`; false when they do not fit (the first is
// written when only it fits, as two literals of one byte each would be).
inline bool put_literals(uint32_t e, char *&o, const char *end) {
    const size_t count = extra_of(e), room = size_t(end - o);
    if (room >= 2) {
        o[0] = char(value_of(e));
        o[1] = char(value_of(e) >> 8);
        o += count;
        return true;
    }
    if (room == 0) return false;
    *o++ = char(value_of(e));
    return count == 1;
}

const Table &fixed_literal_lengths() {
    static const Table table = [] {
        uint8_t lens[288];
        std::fill(lens, lens + 144, 8);
        std::fill(lens + 144, lens + 256, 9);
        std::fill(lens + 256, lens + 280, 7);
        std::fill(lens + 280, lens + 288, 8);
        Table t;
        build(t, lens, 288, kLiteralRoot, literal_length, false);
        pair_literals(t);
        return t;
    }();
    return table;
}
const Table &fixed_distances() {
    static const Table table = [] {
        uint8_t lens[32];
        std::fill(lens, lens + 32, 5);
        Table t;
        build(t, lens, 32, kDistanceRoot, distance, false);
        return t;
    }();
    return table;
}

// The two tables of a dynamic block, read from its header.
bool read_dynamic_tables(Bits &in, Table &lit, Table &dist) {
    in.refill();
    const unsigned nlen = in.take(5) + 257, ndist = in.take(5) + 1, ncode = in.take(4) + 4;
    if (nlen > 286 || ndist > 30) return false;
    uint8_t code_lens[19] = {};
    for (unsigned i = 0; i < ncode; ++i) {
        in.refill();
        code_lens[kCodeLengthOrder[i]] = uint8_t(in.take(3));
    }
    Table codes;
    if (!build(codes, code_lens, 19, 7, code_length, false)) return false;
    uint8_t lens[286 + 30] = {};
    for (unsigned i = 0; i < nlen + ndist;) {
        in.refill();
        const unsigned sym = value_of(decode(codes, in));
        if (sym < 16) {
            lens[i++] = uint8_t(sym);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat;
        if (sym == 16) {
            if (i == 0) return false;
            value = lens[i - 1];
            repeat = 3 + in.take(2);
        } else if (sym == 17) {
            repeat = 3 + in.take(3);
        } else {
            repeat = 11 + in.take(7);
        }
        if (i + repeat > nlen + ndist) return false;
        std::fill(lens + i, lens + i + repeat, value);
        i += repeat;
    }
    if (in.past_end() || lens[256] == 0) return false;
    if (!build(lit, lens, nlen, kLiteralRoot, literal_length, false)) return false;
    pair_literals(lit);
    return build(dist, lens + nlen, ndist, kDistanceRoot, distance, true);
}

// A compressed block's symbols, up to its end. Full when the output needs more room.
Status inflate_block(Bits &in, const Table &lit, const Table &dist, char *begin, char *&out, char *end) {
    // Local copies, which the bytes written cannot alias, so that they stay in registers.
    Bits bits = in;
    char *o = out;
    const uint32_t *const lit_entries = lit.entries.data(), *const dist_entries = dist.entries.data();
    // Both roots are fixed, so that their masks take no register.
    constexpr unsigned lit_root = kLiteralRoot, dist_root = kDistanceRoot;
    auto leave = [&](Status s) {
        in = bits;
        out = o;
        return s;
    };
    constexpr size_t kSlack = 258 + 8;  // room for the longest match and a last word written whole
    // Each round starts with the bits refilled and the next symbol's entry looked up; a match
    // looks up the symbol after it before copying, so that the table read overlaps the copy.
    bits.refill();
    uint32_t e = lookup(lit_entries, lit_root, bits);
    for (;;) {
        if (bits.overrun > 8) return leave(Status::Bad);  // symbols read from beyond the input
        if (kind_of(e) == kLiteral) {
            bits.take(bits_of(e));
            if (!put_literals(e, o, end)) return leave(Status::Full);
            e = lookup(lit_entries, lit_root, bits);  // at least 41 bits left: no refill
            if (kind_of(e) == kLiteral) {
                bits.take(bits_of(e));
                if (!put_literals(e, o, end)) return leave(Status::Full);
                bits.refill();
                e = lookup(lit_entries, lit_root, bits);
                continue;
            }
            bits.refill();  // the bits of a length's extra bits and a distance
        }
        const uint32_t kind = kind_of(e);
        if (kind == kEnd) {
            bits.take(bits_of(e));
            return leave(bits.past_end() ? Status::Bad : Status::Done);
        }
        if (kind != kBase) return leave(Status::Bad);
        const size_t length = take_base(e, bits);
        e = lookup(dist_entries, dist_root, bits);
        if (kind_of(e) != kBase) return leave(Status::Bad);
        const size_t back = take_base(e, bits);
        bits.refill();
        e = lookup(lit_entries, lit_root, bits);
        if (back > size_t(o - begin)) return leave(Status::Bad);  // before the start
        const char *from = o - back;
        if (back >= 8 && size_t(end - o) >= kSlack) {
            // Word by word, each word read lying wholly before the one written: two words at
            // once (most matches are no longer), then the rest.
            char *to = o;
            o += length;
            std::memcpy(to, from, 8);
            std::memcpy(to + 8, from + 8, 8);
            for (to += 16, from += 16; to < o; to += 8, from += 8) std::memcpy(to, from, 8);
        } else {
            if (length > size_t(end - o)) return leave(Status::Full);
            for (size_t i = 0; i < length; ++i) o[i] = from[i];
            o += length;
        }
    }
}

// A stored block: its length, checked against its complement, then its bytes.
Status copy_stored(Bits &in, char *&out, char *end) {
    if (!in.align() || in.end - in.p < 4) return Status::Bad;
    const unsigned length = in.p[0] | in.p[1] << 8, check = in.p[2] | in.p[3] << 8;
    if (length != (~check & 0xFFFFu)) return Status::Bad;
    in.p += 4;
    if (size_t(in.end - in.p) < length) return Status::Bad;
    if (size_t(end - out) < length) return Status::Full;
    std::memcpy(out, in.p, length);
    in.p += length;
    out += length;
    return Status::Done;
}

}  // namespace

Result inflate_raw(std::string_view input, char *out, size_t capacity, size_t step,
                   const std::function<bool(size_t)> &progress) {
    const auto *start = reinterpret_cast<const uint8_t *>(input.data());
    Bits in{start, start + input.size()};
    char *const begin = out, *const end = out + capacity;
    char *reported = out;
    Table lit, dist;
    Result r;
    for (bool last = false; !last;) {
        in.refill();
        last = in.take(1);
        const unsigned type = in.take(2);
        Status s;
        if (type == 0) s = copy_stored(in, out, end);
        else if (type == 1) s = inflate_block(in, fixed_literal_lengths(), fixed_distances(), begin, out, end);
        else if (type == 2) s = read_dynamic_tables(in, lit, dist) ? inflate_block(in, lit, dist, begin, out, end) : Status::Bad;
        else s = Status::Bad;
        r.produced = size_t(out - begin);
        if (s != Status::Done) {
            r.status = s;
            return r;
        }
        if (!last && size_t(out - reported) >= step) {
            if (!progress(r.produced)) {
                r.status = Status::Cancelled;
                return r;
            }
            reported = out;
        }
    }
    if (in.past_end()) return r;  // Bad
    r.in_used = size_t(in.p - start) - (in.count / 8 - in.overrun);
    r.status = Status::Done;
    return r;
}

}  // namespace orvane::core::inflater
