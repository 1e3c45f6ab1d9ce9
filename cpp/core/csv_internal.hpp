// What the units of the CSV reader share (not part of its interface, see csv_bars.hpp): a read's
// context and the tokenizer's split; a cell's grammar is cells.hpp's.
#pragma once

#include "core/cells.hpp"
#include "core/csv_bars.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace orvane::core::csv_internal {

using cells::is_digit;
using cells::refused_byte;
using cells::refused_byte_reason;

// One read's context: the options it reads by, and why it refused the file, once it has.
struct Scan {
    const CsvOptions &options;
    const char *why = "";
    bool refuse(const char *reason) {
        why = reason;
        return false;
    }
};

void split(std::string_view line, std::vector<std::string_view> &fields);

// A file's body, from `p` to `stop`, as `width` columns and their row count (csv_body.cpp): the
// fast road (false: leave it to the general road, nothing refused) and the general one (false:
// refused, with the reason in `scan`).
bool fast_body(const CsvOptions &options, const char *p, const char *stop, size_t width, std::vector<CsvColumn> &cols,
               size_t &rows);
bool general_body(Scan &scan, const char *p, const char *stop, size_t width, std::vector<CsvColumn> &cols,
                  size_t &rows);

// Keys k[0..n), all of one ISO form ("YYYY-MM-DD", 10 characters, or "YYYY-MM-DD HH:MM:SS", 19), as
// nanoseconds since the epoch; false when one is not a valid key of that form (csv_keys.cpp).
bool iso_keys(const std::string_view *k, size_t n, size_t form, int64_t *out);

// Whether row r of a parsed column is missing (csv_scan.cpp).
bool is_missing(const CsvColumn &c, size_t r);

}  // namespace orvane::core::csv_internal
