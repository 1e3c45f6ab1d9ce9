// Unit tests of TextFactors: first-appearance numbering, the YYYY-MM-DD shortcut and its limits,
// and two parts of a column numbered apart and joined.
#include "core/text_factors.hpp"

#include "check.hpp"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

using core_test::check;
using orvane::core::TextFactors;

namespace {

std::vector<uint32_t> codes_of(TextFactors &f, const std::vector<std::string> &texts, size_t from, size_t to) {
    std::vector<uint32_t> out;
    for (size_t i = from; i < to; ++i) out.push_back(f.code(texts[i]));
    return out;
}

void numbering() {
    const std::vector<std::string> texts = {"2024-01-05", "x", "2024-01-05", "1899-12-31", "2024-1-05", "x",
                                            "2155-12-31", "2156-01-01", "2024-13-01", "2024-00-10", "2024-01-32",
                                            "2024-01-00", "2024/01/05", "", "2024-02-30", "2024-01-06"};
    TextFactors f;
    const auto got = codes_of(f, texts, 0, texts.size());
    const std::vector<uint32_t> want = {0, 1, 0, 2, 3, 1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    check(got == want, "codes in order of first appearance, dates and other texts in one numbering");
    check(f.size() == 14 && f.text(2) == "1899-12-31" && f.text(12) == "2024-02-30", "the distinct texts by code");
    check(TextFactors::day_slot("2024-01-05") >= 0 && TextFactors::day_slot("2155-12-31") >= 0 &&
              TextFactors::day_slot("1900-01-01") == 0,
          "dates within the table's years take the shortcut");
    std::set<int32_t> slots;
    char date[32];
    for (int y : {1900, 2024, 2155})
        for (int m = 1; m <= 12; ++m)
            for (int d = 1; d <= 31; ++d) {
                std::snprintf(date, sizeof date, "%04d-%02d-%02d", y, m, d);
                slots.insert(TextFactors::day_slot(date));
            }
    check(slots.size() == 3 * 12 * 31 && *slots.begin() == 0, "each day its own slot");
    for (const char *t : {"1899-12-31", "2156-01-01", "2024-13-01", "2024-00-10", "2024-01-32", "2024-01-00",
                          "2024/01/05", "2024-01-5 ", "+024-01-05", "2024-01-05 00:00", "20:4-01-05", "2024-0/-05",
                          "2024-01-0:", "2024-01-/5"})
        check(TextFactors::day_slot(t) == -1, t);
}

void joined_parts() {
    std::vector<std::string> texts;
    for (int i = 0; i < 400; ++i)
        texts.push_back(i % 7 == 0 ? "other " + std::to_string(i % 5) : "2020-01-" + std::to_string(10 + (i * 13) % 19));
    for (size_t cut : {size_t(0), size_t(1), size_t(150), size_t(399), size_t(400)}) {
        TextFactors whole, first, later;
        const auto want = codes_of(whole, texts, 0, texts.size());
        auto got = codes_of(first, texts, 0, cut);
        auto rest = codes_of(later, texts, cut, texts.size());
        rest.push_back(TextFactors::kMissing);  // a missing cell keeps its code
        first.append(later, rest.data(), rest.size());
        check(rest.back() == TextFactors::kMissing, "a missing cell stays missing when joined");
        rest.pop_back();
        got.insert(got.end(), rest.begin(), rest.end());
        check(got == want && first.size() == whole.size(), "two parts joined number as the whole column");
        for (size_t c = 0; c < whole.size(); ++c) check(first.text(c) == whole.text(c), "the joined texts by code");
    }
}

// DistinctTexts numbering a group of cells at once gives the codes of one cell at a time, across
// the table's growth and for texts longer than the entries' 16 bytes.
void grouped_codes() {
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i)
        texts.push_back((i % 3 ? "BBG" : "a text longer than sixteen bytes ") + std::to_string((i * 7919) % 1700));
    std::vector<std::string_view> cells(texts.begin(), texts.end());
    orvane::core::DistinctTexts one, grouped;
    std::vector<uint32_t> want, got(cells.size());
    for (std::string_view c : cells) want.push_back(one.code(c));
    grouped.codes(cells.data(), 37, got.data());
    grouped.codes(cells.data() + 37, cells.size() - 37, got.data() + 37);
    check(got == want && grouped.size() == one.size(), "grouped codes equal single codes");
}

}  // namespace

int main() {
    numbering();
    joined_parts();
    grouped_codes();
    return core_test::finish("text_factors");
}
