// What the units of the CSV reader share (not part of its interface, see csv_bars.hpp): a read's
// context, the tokenizer's split and the number conversions.
#pragma once

#include "core/csv_bars.hpp"

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace orvane::core::csv_internal {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One read's context: the options it reads by, and why it refused the file, once it has.
struct Scan {
    const CsvOptions &options;
    const char *why = "";
    bool refuse(const char *reason) {
        why = reason;
        return false;
    }
};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Bytes the reader leaves to pandas: quotes, control and non-ASCII bytes (a CR is read only as
// the first half of a CRLF line end).
constexpr bool refused_byte(unsigned char ch) { return ch < 0x20 || ch >= 0x7f || ch == '"'; }

// What a refused byte is, for the log.
constexpr const char *refused_byte_reason(unsigned char ch) {
    return ch == '"'   ? "a quote character"
           : ch == '\r' ? "a line ending in a lone CR"  // pandas ends the line there
           : ch >= 0x80  ? "a non-ASCII byte"
                         : "a control byte";
}

void split(std::string_view line, std::vector<std::string_view> &fields);

// A file's body, from `p` to `stop`, as `width` columns and their row count (csv_body.cpp): the
// fast road (false: leave it to the general road, nothing refused) and the general one (false:
// refused, with the reason in `scan`).
bool fast_body(const CsvOptions &options, const char *p, const char *stop, size_t width, std::vector<CsvColumn> &cols,
               size_t &rows);
bool general_body(Scan &scan, const char *p, const char *stop, size_t width, std::vector<CsvColumn> &cols,
                  size_t &rows);

// Whether row r of a parsed column is missing (csv_scan.cpp).
bool is_missing(const CsvColumn &c, size_t r);

// No: not a decimal. Unsure: one whose value the reader cannot be sure to give as pandas does.
// WholeBeyondInt64: one whose digits before the point (or exponent) exceed 64-bit integers, which
// pandas 2 may keep as text, as its reader first tries the column as integers (pandas 2 only).
enum class Dec { No, Yes, Unsure, WholeBeyondInt64 };

// An integer as pandas' tokenizer reads it (csv_numbers.cpp).
bool parse_int(std::string_view s, int64_t &v, bool *long_digits = nullptr, bool *negative_zero = nullptr);
// Decimal text as the installed pandas converts it (csv_numbers.cpp).
Dec parse_decimal(std::string_view s, double *out, const CsvOptions &options);
// Texts pandas may read as missing, boolean or infinite, or numbers with blanks around them: what
// the text is, for the log, or null for none of these.
const char *looks_special(std::string_view s, const CsvOptions &options);

}  // namespace orvane::core::csv_internal
