// One CSV cell as pandas' default read_csv reads it: the bytes it leaves alone, integers as its
// tokenizer reads them, decimals as the installed pandas converts them (pandas 2's converter or
// correctly rounded), and the words it reads as missing, boolean or infinite. The readers
// (csv_*.cpp, plain_csv.cpp) compose these pieces, each with its own rule of what it refuses.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

namespace orvane::core::cells {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Digit counts that decide how a run of digits reads.
inline constexpr int kExactDigits = 15;    // an integer of up to 15 digits is exact in a double
inline constexpr int kInt64Digits = 18;    // an integer of up to 18 digits fits int64
inline constexpr int kPandas2Digits = 17;  // digits pandas 2's converter gathers before it drops the rest
inline constexpr int64_t kExactIntLimit = int64_t(1) << 53;  // integers a double holds exactly, in magnitude

// 10^0 .. 10^22: the powers of ten a double holds exactly.
inline constexpr double kTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr int kExactPowers = 22;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The run of digits at p taken onto m (unsigned: a run too long to fit wraps, and the caller
// refuses it by its length); where the run ends.
inline const char *take_digits(const char *p, const char *stop, uint64_t &m) {
    for (; p < stop; ++p) {
        const unsigned d = (unsigned) (unsigned char) *p - '0';
        if (d > 9) break;
        m = m * 10 + d;
    }
    return p;
}

// Bytes the readers leave to pandas: quotes, control and non-ASCII bytes (a line end is the
// reader's own business).
constexpr bool refused_byte(unsigned char ch) { return ch < 0x20 || ch >= 0x7f || ch == '"'; }

// What a refused byte is, for the log.
constexpr const char *refused_byte_reason(unsigned char ch) {
    return ch == '"'   ? "a quote character"
           : ch == '\r' ? "a line ending in a lone CR"  // pandas ends the line there
           : ch >= 0x80  ? "a non-ASCII byte"
                         : "a control byte";
}

// pandas' default missing-value texts, as it matches them (exactly).
inline constexpr std::array<std::string_view, 19> kNaWords = {
    "",     "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan", "1.#IND", "1.#QNAN",
    "<NA>", "N/A",  "NA",       "NULL", "NaN",    "None",     "n/a",  "nan",  "null"};

// Whether `s` equals `lower` (a lower-case word) in any case.
inline bool lower_equals(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i] >= 'A' && s[i] <= 'Z' ? (char) (s[i] + ('a' - 'A')) : s[i];
        if (c != lower[i]) return false;
    }
    return true;
}

// The text without its sign.
inline std::string_view unsigned_part(std::string_view s) {
    return !s.empty() && (s[0] == '+' || s[0] == '-') ? s.substr(1) : s;
}

// A missing-value text of pandas, exactly as listed.
inline bool is_na_word(std::string_view cell) {
    if (cell.size() > 8) return false;  // longer than "#N/A N/A", the longest
    if (cell.empty()) return true;
    // Every word starts with one of these; a number or a word mostly does not.
    const char c = cell.front();
    if (c != '#' && c != '-' && c != '1' && c != '<' && c != 'N' && c != 'n') return false;
    // Numbers begin with '1' and '-' too; the words that do have '#' third ("1.#IND") or fourth
    // ("-1.#IND"), or a letter second ("-NaN").
    if (c == '1' && (cell.size() < 6 || cell[2] != '#')) return false;
    if (c == '-' && (cell.size() < 4 || (cell[1] != 'N' && cell[1] != 'n' && cell[3] != '#'))) return false;
    for (std::string_view m : kNaWords)
        if (m == cell) return true;
    return false;
}
// A missing-value text of pandas in any case, or a NaN with either sign: what some pandas may
// read as missing.
bool is_na_word_any_case(std::string_view s);

// [+-] nan, in any case.
inline bool is_nan_word(std::string_view s) { return lower_equals(unsigned_part(s), "nan"); }
// [+-] inf or infinity, in any case.
inline bool is_infinity_word(std::string_view s) {
    const std::string_view u = unsigned_part(s);
    return lower_equals(u, "inf") || lower_equals(u, "infinity");
}
// pandas' boolean words: True, TRUE, true, False, FALSE, false.
inline bool is_boolean_word(std::string_view s) {
    constexpr std::string_view kBooleans[] = {"True", "TRUE", "true", "False", "FALSE", "false"};
    for (std::string_view b : kBooleans)
        if (s == b) return true;
    return false;
}
// true or false in any case.
inline bool is_boolean_word_any_case(std::string_view s) { return lower_equals(s, "true") || lower_equals(s, "false"); }

// An integer as pandas' tokenizer reads it: optional sign, digits (at most 18: no overflow).
// `long_digits` is set for a longer run of digits, which pandas may read as int64, as a float or
// as text depending on its value and on the column; `negative_zero` for "-0", "-00", ...
bool parse_int(std::string_view s, int64_t &v, bool *long_digits = nullptr, bool *negative_zero = nullptr);

// No: not a decimal. Unsure: one whose value the reader cannot be sure to give as pandas does.
// WholeBeyondInt64: one whose digits before the point (or exponent) exceed 64-bit integers, which
// pandas 2 may keep as text, as its reader first tries the column as integers (pandas 2 only).
enum class Dec { No, Yes, Unsure, WholeBeyondInt64 };

// Decimal text [+-] digits [. digits] [eE [+-] digits] as the installed pandas converts it:
// correctly rounded (pandas 3) or as pandas 2's default converter does; `out` may be null to
// learn only what the text is.
Dec parse_decimal(std::string_view s, double *out, bool correct_rounding);

// [+-] then text std::from_chars reads as a decimal, correctly rounded; false when from_chars
// does not read all of it.
bool correctly_rounded(std::string_view s, double &out);

// Texts that pandas may read as missing, boolean or infinite (compared without case, to be safe),
// or numbers with blanks around them: what the text is, for the log, or null for none of these.
const char *looks_special(std::string_view s, bool correct_rounding);

}  // namespace orvane::core::cells
