// One CSV cell as pandas reads it: the words, integers as its tokenizer reads them and decimals as
// the installed pandas converts them (pandas 2's converter or correctly rounded).
#include "core/cells.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace orvane::core::cells {

namespace {

// kNaWords in lower case, each once.
constexpr std::string_view kNaWordsLower[] = {"#n/a", "#n/a n/a", "#na", "-1.#ind", "-1.#qnan", "1.#ind", "1.#qnan",
                                              "<na>", "n/a",  "na",       "null", "none"};

}  // namespace

bool is_na_word_any_case(std::string_view s) {
    if (s.empty() || is_nan_word(s)) return true;
    for (std::string_view w : kNaWordsLower)
        if (lower_equals(s, w)) return true;
    return false;
}

bool parse_int(std::string_view s, int64_t &v, bool *long_digits, bool *negative_zero) {
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (i == s.size()) return false;
    if (s.size() - i > (size_t) kInt64Digits) {
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

namespace {

// The common short decimal, digits [. digits] [eE [+-] digits] (a side of the point may be empty,
// not both): when its digits make an integer a double holds exactly and its power of ten is one
// too, the value is that integer times or divided by that power, one rounding of exact operands,
// which is the correctly rounded value. False for any other text.
bool short_decimal(const char *p, const char *end, double &v) {
    constexpr long kMaxDigits = 19;  // any 19 digits fit uint64_t
    uint64_t whole = 0;
    const char *first_digit = p;
    p = take_digits(p, end, whole);
    long digits = p - first_digit, exponent = 0;
    if (p < end && *p == '.') {
        const char *fraction = ++p;
        p = take_digits(p, end, whole);
        digits += p - fraction;
        exponent = -(p - fraction);
    }
    if (digits == 0 || digits > kMaxDigits) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char *first = p;
        int stated = 0;
        for (; p < end && is_digit(*p) && p - first < 3; ++p) stated = stated * 10 + (*p - '0');
        if (p == first) return false;
        exponent += negative ? -stated : stated;
    }
    if (p != end || whole > uint64_t(kExactIntLimit) || exponent < -kExactPowers || exponent > kExactPowers) return false;
    v = exponent < 0 ? double(whole) / kTens[-exponent] : double(whole) * kTens[exponent];
    return true;
}

}  // namespace

bool correctly_rounded(std::string_view s, double &out) {
    const char *b = s.data(), *e = s.data() + s.size();
    const bool negative = b < e && *b == '-';
    if (b < e && (*b == '+' || *b == '-')) ++b;
    double v = 0;
    if (short_decimal(b, e, v)) {
        out = negative ? -v : v;
        return true;
    }
    auto [ptr, ec] = std::from_chars(b, e, v, std::chars_format::general);
    out = negative ? -v : v;
    return ec == std::errc() && ptr == e;
}

namespace {

// Powers of ten as the compiler spells 1e0 .. 1e308: correctly rounded.
const double *powers_of_ten() {
    static const std::array<double, 309> table = [] {
        std::array<double, 309> t{};
        char buf[16];
        for (int k = 0; k <= 308; ++k) {
            std::snprintf(buf, sizeof buf, "1e%d", k);
            t[k] = std::strtod(buf, nullptr);
        }
        return t;
    }();
    return table.data();
}

// Correctly rounded conversion of text already known to be [+-] digits [. digits] [eE [+-] digits];
// Unsure outside the normal range of doubles (overflow, underflow, subnormals).
Dec correctly_rounded_decimal(std::string_view s, double *out) {
    double v = 0;
    if (!correctly_rounded(s, v) || std::isinf(v)) return Dec::Unsure;
    if (v != 0 && std::fabs(v) < std::numeric_limits<double>::min()) return Dec::Unsure;
    *out = v;
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

// The digits of a decimal as pandas 2's converter gathers them: at most 17 (leading zeros
// included), as an integer while that equals its running double exactly (below 2^53, so up to
// 15 digits), then as the same running double.
struct Mantissa {
    uint64_t whole = 0;
    double number = 0.;
    int digits = 0;
    void take(int digit) {
        if (digits < kExactDigits) {
            whole = whole * 10 + (uint64_t) digit;
        } else {
            if (digits == kExactDigits) number = (double) whole;
            number = number * 10. + digit;
        }
        ++digits;
    }
    double value() const { return digits <= kExactDigits ? (double) whole : number; }
};

// The exponent's digits from i on, added to `exponent`; No without digits, Unsure for more than six.
Dec read_exponent(std::string_view s, size_t &i, long &exponent) {
    const size_t n = s.size();
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
    return Dec::Yes;
}

}  // namespace

// Converted either correctly rounded (as pandas 3 reads it) or the way pandas 2's default ("high"
// precision) converter does it: up to 17 digits gathered into a double, then one multiplication
// or division by a power of ten. Unsure where that converter reports a range error or where the
// text is too odd to be sure; WholeBeyondInt64 (pandas 2 only) where its reader may keep the text.
Dec parse_decimal(std::string_view s, double *out, bool correct_rounding) {
    size_t i = 0, n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t whole_begin = i;
    Mantissa m;
    long exponent = 0;
    bool any = false;
    for (; i < n && is_digit(s[i]); ++i) {
        any = true;
        if (m.digits < kPandas2Digits) m.take(s[i] - '0');
        else ++exponent;
    }
    const size_t whole_end = i;
    if (i < n && s[i] == '.') {
        ++i;
        int num_decimals = 0;
        for (; m.digits < kPandas2Digits && i < n && is_digit(s[i]); ++i, ++num_decimals) m.take(s[i] - '0'), any = true;
        while (i < n && is_digit(s[i])) ++i, any = true;
        exponent -= num_decimals;
    }
    if (!any) return Dec::No;
    const double number = negative ? -m.value() : m.value();
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (const Dec d = read_exponent(s, i, exponent); d != Dec::Yes) return d;
    }
    if (i != n) return Dec::No;
    if (!correct_rounding && whole_end - whole_begin > (size_t) kInt64Digits &&
        whole_beyond_int64(s.substr(whole_begin, whole_end - whole_begin)))
        return Dec::WholeBeyondInt64;
    if (exponent > 308 || exponent < -308) return Dec::Unsure;
    if (!out) return Dec::Yes;
    if (correct_rounding) return correctly_rounded_decimal(s, out);
    const double *e10 = powers_of_ten();
    double v = number;
    if (exponent > 0) v *= e10[exponent];
    else if (exponent < 0) v /= e10[-exponent];
    if (std::isinf(v)) return Dec::Unsure;
    *out = v;
    return Dec::Yes;
}

const char *looks_special(std::string_view s, bool correct_rounding) {
    const bool padded = s.front() == ' ' || s.back() == ' ';
    if (!padded && s.size() > 9) return nullptr;  // longer than any of the words below
    size_t a = 0, b = s.size();
    while (a < b && s[a] == ' ') ++a;
    while (b > a && s[b - 1] == ' ') --b;
    const std::string_view t = s.substr(a, b - a);
    if (t.empty()) return "a cell of blanks only";
    if (padded) {
        int64_t v;
        if (parse_decimal(t, nullptr, correct_rounding) != Dec::No || parse_int(t, v)) return "a number with blanks around it";
    }
    if (t.size() > 9) return nullptr;
    if (is_na_word_any_case(t)) return "a word pandas may read as missing";
    if (is_infinity_word(t)) return "a word pandas may read as infinity";
    if (is_boolean_word_any_case(t)) return "a word pandas may read as a boolean";
    return nullptr;
}

}  // namespace orvane::core::cells
