// Numbering the distinct texts of a column.
#pragma once

#include "core/huge_pages.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace orvane::core {

// The distinct texts of a text column, numbered in order of first appearance (as pd.factorize
// numbers them), for instance so that each becomes one str object shared by all its cells. An
// open-addressing table whose entries hold a text's first 16 bytes, its size and hash, so that a
// lookup usually reads one entry and never the text itself. Needs no interpreter; one thread at
// a time.
class DistinctTexts {
public:
    static constexpr uint32_t kMissing = UINT32_MAX;  // the code of a missing cell

    DistinctTexts() : entries_(1024) {}
    // The code of `cell`'s text, numbering it when new (`cell` must outlive this table).
    uint32_t code(std::string_view cell) { return code_of(entry_of(cell), cell); }
    // code() of each of `count` cells into `codes`, in order: the entries they hash to are
    // fetched a group at a time, so that the table's cache misses overlap.
    void codes(const std::string_view *cells, size_t count, uint32_t *codes) {
        constexpr size_t kGroup = 16;
        Entry keys[kGroup];
        for (size_t at = 0; at < count; at += kGroup) {
            const size_t group = std::min(kGroup, count - at);
            for (size_t i = 0; i < group; ++i) {
                keys[i] = entry_of(cells[at + i]);
                __builtin_prefetch(&entries_[keys[i].hash & (entries_.size() - 1)]);
            }
            for (size_t i = 0; i < group; ++i) codes[at + i] = code_of(keys[i], cells[at + i]);
        }
    }
    size_t size() const { return texts_.size(); }
    std::string_view text(size_t c) const { return texts_[c]; }

private:
    static constexpr size_t kHead = 16;
    struct Entry {
        uint64_t head[2] = {0, 0};  // the first 16 bytes, as two words that tell texts of one size apart
        uint64_t hash = 0;
        uint32_t size = 0;
        uint32_t code = kMissing;  // kMissing: an empty entry
    };
    static uint64_t load8(const char *p) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    static uint64_t load4(const char *p) {
        uint32_t w;
        std::memcpy(&w, p, 4);
        return w;
    }
    // Up to 16 bytes as two words, by fixed-size loads (overlapping ones for sizes between).
    static void words(const char *p, size_t size, uint64_t out[2]) {
        if (size >= 8) {
            out[0] = load8(p);
            out[1] = load8(p + size - 8);
        } else if (size >= 4) {
            out[0] = load4(p) | load4(p + size - 4) << 32;
            out[1] = 0;
        } else {
            out[0] = out[1] = 0;
            for (size_t i = 0; i < size; ++i) out[0] |= uint64_t(uint8_t(p[i])) << (8 * i);
        }
    }
    static uint64_t mix(uint64_t h, uint64_t w) {  // multiply-xorshift
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 31);
    }
    uint32_t code_of(const Entry &key, std::string_view cell) {
        size_t at = key.hash & (entries_.size() - 1);
        for (; entries_[at].code != kMissing; at = (at + 1) & (entries_.size() - 1)) {
            const Entry &e = entries_[at];
            if (e.hash == key.hash && e.size == key.size && e.head[0] == key.head[0] && e.head[1] == key.head[1] &&
                (cell.size() <= kHead || texts_[e.code] == cell))
                return e.code;
        }
        const auto c = uint32_t(texts_.size());
        texts_.push_back(cell);
        entries_[at] = key;
        entries_[at].code = c;
        if (texts_.size() * 2 > entries_.size()) grow();
        return c;
    }
    static Entry entry_of(std::string_view s) {
        Entry e;
        e.size = uint32_t(s.size());
        words(s.data(), std::min(s.size(), kHead), e.head);
        uint64_t h = mix(mix(0x9E3779B97F4A7C15ull ^ s.size(), e.head[0]), e.head[1]);
        for (size_t i = kHead; i < s.size(); i += 16) {  // the rest, 16 bytes at a time
            uint64_t rest[2];
            words(s.data() + i, std::min(s.size() - i, kHead), rest);
            h = mix(mix(h, rest[0]), rest[1]);
        }
        h *= 0x94D049BB133111EBull;
        e.hash = h ^ (h >> 29);
        return e;
    }
    void grow() {
        std::vector<Entry> bigger = large_vector<Entry>(entries_.size() * 2);
        for (const Entry &e : entries_) {
            if (e.code == kMissing) continue;
            size_t at = e.hash & (bigger.size() - 1);
            while (bigger[at].code != kMissing) at = (at + 1) & (bigger.size() - 1);
            bigger[at] = e;
        }
        entries_ = std::move(bigger);
    }
    std::vector<std::string_view> texts_;
    std::vector<Entry> entries_;
};

}  // namespace orvane::core
