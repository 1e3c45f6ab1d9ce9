// Unit tests of the cell grammar on its own: integers as pandas' tokenizer reads them, decimals
// under both converters and what each refuses, and the words pandas reads specially.
#include "core/cells.hpp"

#include "check.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace cells = orvane::core::cells;

using core_test::check;

namespace {

void integers() {
    struct Case {
        const char *text;
        bool ok;
        int64_t value;
        bool long_digits, negative_zero;
    } cases[] = {
        {"-0042", true, -42, false, false},     {"+7", true, 7, false, false},
        {"-00", true, 0, false, true},          {"999999999999999999", true, 999999999999999999, false, false},
        {"1000000000000000000", false, 0, true, false},  // 19 digits: beyond what the reader decides
        {"-1000000000000000000x", false, 0, false, false}, {"+", false, 0, false, false},
        {"1.0", false, 0, false, false},        {"", false, 0, false, false},
    };
    for (const Case &c : cases) {
        int64_t v = 0;
        bool long_digits = false, negative_zero = false;
        const bool ok = cells::parse_int(c.text, v, &long_digits, &negative_zero);
        const bool right = ok == c.ok && long_digits == c.long_digits && (!ok || (v == c.value && negative_zero == c.negative_zero));
        if (!right) std::printf("  parse_int(\"%s\")\n", c.text);
        check(right, "integers as pandas' tokenizer reads them");
    }
}

void decimals() {
    using cells::Dec;
    struct Case {
        const char *text;
        Dec two, three;  // pandas 2's converter, correctly rounded
        double value;    // both give it, when both say Yes
    } cases[] = {
        {".5", Dec::Yes, Dec::Yes, 0.5},
        {"5.", Dec::Yes, Dec::Yes, 5.0},
        {"-1.5E+2", Dec::Yes, Dec::Yes, -150.0},
        {"1e-5", Dec::Yes, Dec::Yes, 1e-5},
        {".", Dec::No, Dec::No, 0},
        {"5e", Dec::No, Dec::No, 0},
        {"1.2.3", Dec::No, Dec::No, 0},
        {"1e0000001", Dec::Unsure, Dec::Unsure, 0},  // seven exponent digits, however small
        {"1e309", Dec::Unsure, Dec::Unsure, 0},
        {"1e-320", Dec::Unsure, Dec::Unsure, 0},  // a subnormal
        {"12345678901234567890.5", Dec::WholeBeyondInt64, Dec::Yes, 12345678901234567890.5},
        {"-0012.50", Dec::Yes, Dec::Yes, -12.5},
    };
    for (const Case &c : cases) {
        double two = -1, three = -1;
        const Dec d2 = cells::parse_decimal(c.text, &two, false), d3 = cells::parse_decimal(c.text, &three, true);
        bool right = d2 == c.two && d3 == c.three && cells::parse_decimal(c.text, nullptr, false) == c.two;
        if (right && d3 == Dec::Yes) right = three == c.value && (d2 != Dec::Yes || two == c.value);
        if (!right) std::printf("  parse_decimal(\"%s\")\n", c.text);
        check(right, "decimals under both converters");
    }
    // pandas 2's converter gathers 17 digits, leading zeros included, and scales the rest away;
    // correct rounding reads every digit.
    double two = 0, three = 0;
    cells::parse_decimal("000000000000000064", &two, false);
    cells::parse_decimal("000000000000000064", &three, true);
    check(two == 60.0 && three == 64.0, "pandas 2's converter drops digits beyond 17, leading zeros included");
    cells::parse_decimal("0.30000000000000004", &three, true);
    check(three == 0.30000000000000004, "a 17-digit decimal correctly rounded");
    // Short decimals, read without from_chars where their digits and power are exact, agree with
    // it: any point, exponents about the exact powers' limit, wholes about 2^53, bytes that are
    // nearly digits.
    std::mt19937_64 rng(7);
    int differ = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text = std::to_string(rng() >> (rng() % 64));
        text.insert(rng() % (text.size() + 1), ".");
        if (rng() % 2) text += "e" + std::to_string(int(rng() % 61) - 30);
        if (rng() % 4 == 0) text[rng() % text.size()] = "/:;?e. \xfa"[rng() % 8];  // bytes about the digits
        double ours = 0, theirs = 0;
        const bool read = cells::correctly_rounded(text, ours);
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), theirs);
        if (read != (ec == std::errc() && ptr == text.data() + text.size()) || (read && ours != theirs)) ++differ;
    }
    check(differ == 0, "short decimals as from_chars reads them");
    double negative_zero = 1;
    check(cells::parse_decimal("-0.0", &negative_zero, false) == Dec::Yes && std::signbit(negative_zero), "negative zero kept");
}

void words() {
    struct Case {
        const char *text;
        bool na, na_any_case, infinity, boolean, boolean_any_case;
    } cases[] = {
        {"", true, true, false, false, false},           {"NaN", true, true, false, false, false},
        {"NAN", false, true, false, false, false},       {"+nan", false, true, false, false, false},
        {"#N/A N/A", true, true, false, false, false},   {"#n/a n/a", false, true, false, false, false},
        {"None", true, true, false, false, false},       {"none", false, true, false, false, false},
        {"-Infinity", false, false, true, false, false}, {"+INF", false, false, true, false, false},
        {"infinit", false, false, false, false, false},  {"TRUE", false, false, false, true, true},
        {"tRuE", false, false, false, false, true},      {"NA ", false, false, false, false, false},
        {"1.#IND", true, true, false, false, false},     {"-1.#QNAN", true, true, false, false, false},
        {"-nan", true, true, false, false, false},       {"-1.5e3", false, false, false, false, false},
        {"1.#IN", false, false, false, false, false},
    };
    for (const Case &c : cases) {
        const bool right = cells::is_na_word(c.text) == c.na && cells::is_na_word_any_case(c.text) == c.na_any_case &&
                           cells::is_infinity_word(c.text) == c.infinity && cells::is_boolean_word(c.text) == c.boolean &&
                           cells::is_boolean_word_any_case(c.text) == c.boolean_any_case;
        if (!right) std::printf("  words of \"%s\"\n", c.text);
        check(right, "the words pandas reads as missing, infinite or boolean");
    }
    struct Special {
        const char *text, *why;
    } specials[] = {
        {" 1.5", "a number with blanks around it"}, {"   ", "a cell of blanks only"},
        {"n/A", "a word pandas may read as missing"}, {" -inf ", "a word pandas may read as infinity"},
        {"False", "a word pandas may read as a boolean"}, {"ESM4", nullptr}, {"2024-03-15 09:31:00", nullptr},
    };
    for (const Special &c : specials) {
        const char *why = cells::looks_special(c.text, false);
        const bool right = c.why ? why && std::strcmp(why, c.why) == 0 : why == nullptr;
        if (!right) std::printf("  looks_special(\"%s\")\n", c.text);
        check(right, "texts pandas may read specially");
    }
}

}  // namespace

int main() {
    integers();
    decimals();
    words();
    return core_test::finish("cells");
}
