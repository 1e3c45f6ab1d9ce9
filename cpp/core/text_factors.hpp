// The codes of a text column's cells, numbered in order of first appearance (pd.factorize's
// numbering), for columns that repeat a few thousand dates over many rows.
#pragma once

#include "core/distinct_texts.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace orvane::core {

// DistinctTexts with a shortcut for texts of the form YYYY-MM-DD (years 1900-2155, months 01-12,
// days 01-31): such a text is found by its digits in a direct table, without hashing. Other texts
// are numbered by a DistinctTexts; both kinds share one numbering. One thread at a time.
class TextFactors {
public:
    static constexpr uint32_t kMissing = DistinctTexts::kMissing;

    // The code of `text`, numbering it when new (`text` must outlive this table).
    uint32_t code(std::string_view text) {
        const int32_t day = day_slot(text);
        if (day < 0) return other_code(text);
        if (!by_day_) by_day_ = std::make_unique<uint32_t[]>(kDaySlots);  // zero: not seen (codes stored + 1)
        uint32_t &slot = by_day_[day];
        if (slot == 0) {
            texts_.push_back(text);
            slot = uint32_t(texts_.size());
        }
        return slot - 1;
    }
    size_t size() const { return texts_.size(); }
    std::string_view text(size_t c) const { return texts_[c]; }

    // Renumbers the `count` codes at `later_codes`, made by `later` over the rows that follow this
    // table's, as codes of this table (adding later's new texts in their order), so that they read
    // as if this table had seen every row: two parts of a column factorized apart and joined.
    void append(const TextFactors &later, uint32_t *later_codes, size_t count);

    // The slot of a YYYY-MM-DD text in the direct table, or -1 for any other text. Its ten bytes
    // are read as one word and one pair: every digit checked and every value taken at once.
    static int32_t day_slot(std::string_view t) {
        static_assert(std::endian::native == std::endian::little);
        if (t.size() != 10) return -1;
        uint64_t word;  // Y Y Y Y - M M -, the first byte lowest
        uint16_t pair;  // D D
        std::memcpy(&word, t.data(), sizeof word);
        std::memcpy(&pair, t.data() + 8, sizeof pair);
        constexpr uint64_t kDashes = 0xFF0000FF00000000ull, kDashBytes = 0x2D00002D00000000ull;
        if ((word & kDashes) != kDashBytes) return -1;
        // The dashes read as '0' so that all ten bytes are checked as digits alike: a byte is a
        // digit when its high half is 3 and adding 6 keeps it so.
        const uint64_t digits = (word & ~kDashes) | (0x3000003000000000ull);
        if ((digits & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull ||
            ((digits + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull ||
            (pair & 0xF0F0) != 0x3030 || ((pair + 0x0606) & 0xF0F0) != 0x3030)
            return -1;
        const uint64_t v = digits - 0x3030303030303030ull;
        auto at = [v](int i) { return unsigned(v >> (8 * i)) & 0xFF; };
        const unsigned year = at(0) * 1000 + at(1) * 100 + at(2) * 10 + at(3);
        const unsigned month = at(5) * 10 + at(6);
        const unsigned day = (unsigned(pair) & 0xF) * 10 + (unsigned(pair >> 8) & 0xF);
        if (year < kFirstYear || year >= kFirstYear + kYears || month < 1 || month > 12 || day < 1 || day > 31) return -1;
        return int32_t(((year - kFirstYear) * 12 + month - 1) * 31 + day - 1);
    }

private:
    static constexpr unsigned kFirstYear = 1900, kYears = 256;
    static constexpr size_t kDaySlots = size_t(kYears) * 12 * 31;

    uint32_t other_code(std::string_view text) {
        const uint32_t local = others_.code(text);
        if (local == global_of_other_.size()) {
            global_of_other_.push_back(uint32_t(texts_.size()));
            texts_.push_back(text);
        }
        return global_of_other_[local];
    }

    std::vector<std::string_view> texts_;     // by code
    std::unique_ptr<uint32_t[]> by_day_;      // day slot -> code + 1 (0: not seen)
    DistinctTexts others_;                    // the other texts, numbered apart
    std::vector<uint32_t> global_of_other_;   // their code here
};

}  // namespace orvane::core
