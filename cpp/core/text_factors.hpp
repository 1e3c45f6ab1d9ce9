// The codes of a text column's cells, numbered in order of first appearance (pd.factorize's
// numbering), for columns that repeat a few thousand dates over many rows.
#pragma once

#include "core/distinct_texts.hpp"

#include <cstddef>
#include <cstdint>
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

    // The slot of a YYYY-MM-DD text in the direct table, or -1 for any other text.
    static int32_t day_slot(std::string_view t) {
        if (t.size() != 10 || t[4] != '-' || t[7] != '-') return -1;
        unsigned digit[8];
        const int at[8] = {0, 1, 2, 3, 5, 6, 8, 9};
        for (int i = 0; i < 8; ++i) {
            digit[i] = unsigned(t[at[i]]) - '0';
            if (digit[i] > 9) return -1;
        }
        const unsigned year = digit[0] * 1000 + digit[1] * 100 + digit[2] * 10 + digit[3];
        const unsigned month = digit[4] * 10 + digit[5], day = digit[6] * 10 + digit[7];
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
