// Number conversion of the CSV reader: integers as pandas' tokenizer reads them, decimals as the
// installed pandas converts them (pandas 2's converter or correctly rounded), and the texts pandas
// reads as missing, boolean or infinite.
#include "core/csv_internal.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <limits>

namespace orvane::core::csv_internal {

// An integer as pandas' tokenizer reads it: optional sign, digits (at most 18: no overflow).
// `long_digits` is set for a longer run of digits, which pandas may read as int64, as a float or
// as text depending on its value and on the column; `negative_zero` for "-0", "-00", ...
bool parse_int(std::string_view s, int64_t &v, bool *long_digits, bool *negative_zero) {
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (i == s.size()) return false;
    if (s.size() - i > 18) {
        if (long_digits) {
            bool all = true;
            for (size_t k = i; k < s.size() && all; ++k) all = is_digit(s[k]);
            *long_digits = all;
        }
        return false;
    }
    int64_t x = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return false;
        x = x * 10 + (s[i] - '0');
    }
    v = neg ? -x : x;
    if (negative_zero) *negative_zero = neg && x == 0;
    return true;
}


// Powers of ten as the compiler spells 1e0 .. 1e308: correctly rounded.
namespace {

const double *powers_of_ten() {
    static double table[309];
    static bool ready = [] {
        char buf[16];
        for (int k = 0; k <= 308; ++k) {
            std::snprintf(buf, sizeof buf, "1e%d", k);
            table[k] = std::strtod(buf, nullptr);
        }
        return true;
    }();
    (void) ready;
    return table;
}

// Correctly rounded conversion of text already known to be [+-] digits [. digits] [eE [+-] digits];
// Unsure outside the normal range of doubles (overflow, underflow, subnormals).
Dec correctly_rounded(std::string_view s, double *out) {
    const char *b = s.data(), *e = s.data() + s.size();
    const bool negative = *b == '-';
    if (*b == '+' || *b == '-') ++b;
    double v = 0;
    auto [ptr, ec] = std::from_chars(b, e, v, std::chars_format::general);
    if (ec != std::errc() || ptr != e || std::isinf(v)) return Dec::Unsure;
    if (v != 0 && std::fabs(v) < std::numeric_limits<double>::min()) return Dec::Unsure;
    *out = negative ? -v : v;
    return Dec::Yes;
}

// Whether the digits before a decimal's point (or exponent) are beyond 64-bit integers, leading
// zeros aside. Pandas 2 reads a column as integers first, and such digits overflow there: its
// reader then keeps the column as text (depending on the column's other cells and their order;
// 2^63 itself, fine for a negative number, is counted too, to be safe).
bool whole_beyond_int64(std::string_view digits) {
    size_t z = 0;
    while (z < digits.size() && digits[z] == '0') ++z;
    digits.remove_prefix(z);
    return digits.size() > 19 || (digits.size() == 19 && digits >= "9223372036854775808");
}

}  // namespace

// The decimal syntax pandas accepts, [+-] digits [. digits] [eE [+-] digits]. Converted either
// correctly rounded (as pandas 3 reads it) or the way pandas 2's default ("high" precision)
// converter does it: up to 17 digits gathered into a double, then one multiplication or division
// by a power of ten. Unsure where that converter reports a range error or where the text is too
// odd to be sure; WholeBeyondInt64 (pandas 2 only) where its reader may keep the text.
Dec parse_decimal(std::string_view s, double *out, const CsvOptions &options) {
    size_t i = 0, n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t whole_begin = i;
    // Digits are gathered as an integer while that equals pandas' running double exactly (below
    // 2^53, so up to 15 digits), then as the same running double.
    uint64_t whole = 0;
    double number = 0.;
    long exponent = 0;
    int num_digits = 0;
    const int max_digits = 17;
    bool any = false;
    auto take = [&](int digit) {
        if (num_digits < 15) {
            whole = whole * 10 + (uint64_t) digit;
        } else {
            if (num_digits == 15) number = (double) whole;
            number = number * 10. + digit;
        }
        ++num_digits;
    };
    while (i < n && is_digit(s[i])) {
        any = true;
        if (num_digits < max_digits) take(s[i] - '0');
        else ++exponent;
        ++i;
    }
    const size_t whole_end = i;
    if (i < n && s[i] == '.') {
        ++i;
        int num_decimals = 0;
        while (num_digits < max_digits && i < n && is_digit(s[i])) {
            take(s[i] - '0');
            ++i, ++num_decimals;
            any = true;
        }
        while (i < n && is_digit(s[i])) ++i, any = true;
        exponent -= num_decimals;
    }
    if (!any) return Dec::No;
    if (num_digits <= 15) number = (double) whole;
    if (negative) number = -number;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
        if (i == n || !is_digit(s[i])) return Dec::No;
        int ed = 0;
        long e = 0;
        while (i < n && is_digit(s[i])) {
            if (++ed > 6) return Dec::Unsure;
            e = e * 10 + (s[i++] - '0');
        }
        exponent += neg ? -e : e;
    }
    if (i != n) return Dec::No;
    if (!options.correct_rounding && whole_end - whole_begin > 18 &&
        whole_beyond_int64(s.substr(whole_begin, whole_end - whole_begin)))
        return Dec::WholeBeyondInt64;
    if (!out) return exponent > 308 || exponent < -308 ? Dec::Unsure : Dec::Yes;
    if (exponent > 308 || exponent < -308) return Dec::Unsure;
    if (options.correct_rounding) return correctly_rounded(s, out);
    const double *e10 = powers_of_ten();
    if (exponent > 0) number *= e10[exponent];
    else if (exponent < 0) number /= e10[-exponent];
    if (std::isinf(number)) return Dec::Unsure;
    *out = number;
    return Dec::Yes;
}

// Texts that pandas may read as missing, boolean or infinite (compared without case, to be safe),
// or numbers with blanks around them: what the text is, or null.
const char *looks_special(std::string_view s, const CsvOptions &options) {
    const bool padded = s.front() == ' ' || s.back() == ' ';
    if (!padded && s.size() > 9) return nullptr;  // longer than any of the words below
    size_t a = 0, b = s.size();
    while (a < b && s[a] == ' ') ++a;
    while (b > a && s[b - 1] == ' ') --b;
    std::string_view t = s.substr(a, b - a);
    if (t.empty()) return "a cell of blanks only";
    if (padded) {
        int64_t v;
        if (parse_decimal(t, nullptr, options) != Dec::No || parse_int(t, v)) return "a number with blanks around it";
    }
    if (t.size() > 9) return nullptr;
    char low[16];
    for (size_t i = 0; i < t.size(); ++i) low[i] = (char) std::tolower((unsigned char) t[i]);
    std::string_view l(low, t.size());
    static constexpr std::string_view missing[] = {
        "nan", "-nan", "+nan", "na", "n/a", "null", "none", "#n/a", "#na", "#n/a n/a",
        "-1.#ind", "-1.#qnan", "1.#ind", "1.#qnan", "<na>"};
    static constexpr std::string_view infinite[] = {"inf", "+inf", "-inf", "infinity", "+infinity", "-infinity"};
    for (std::string_view w : missing)
        if (l == w) return "a word pandas may read as missing";
    for (std::string_view w : infinite)
        if (l == w) return "a word pandas may read as infinity";
    if (l == "true" || l == "false") return "a word pandas may read as a boolean";
    return nullptr;
}

}  // namespace orvane::core::csv_internal
