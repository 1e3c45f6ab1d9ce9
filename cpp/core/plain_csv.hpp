// A scanner for plain CSV text whose table pandas' default read_csv would build without any doubt:
// printable ASCII, no quotes, no carriage returns, no blank lines, a header of distinct non-empty
// names, every row as wide as the header, and every column either numbers (with missing cells) or
// text (with missing cells). Anything else is left to pandas: the scanner says no rather than guess.
//
// The numbers are converted exactly as pandas 2's default parser converts them, which the scanner
// guarantees by accepting only numbers that parser cannot round differently from the correctly
// rounded value: integers of up to 18 digits, decimals of up to 15 significant digits whose scale
// is a power of ten that a double holds exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

namespace orvane::core::plain_csv {

enum class ColumnKind : uint8_t {
    Int,    // int64: numbers, no missing cell and no decimal in any chunk
    Float,  // float64: numbers and missing cells, or missing cells only
    Text,   // text with missing cells (NaN)
};

struct Table {
    std::vector<std::string_view> names;  // header, in file order
    std::vector<ColumnKind> kinds;
    std::vector<size_t> line_starts;      // offset of each data row's first byte
    size_t rows() const { return line_starts.size(); }
};

// Scan `text` (the whole decompressed file). nullopt: pandas must read this file.
std::optional<Table> scan(std::string_view text);

// scan() of a text still arriving (a file being decompressed): `wait(seen)` blocks until more
// than `seen` bytes are ready at `data`, or the text has ended, and gives (bytes ready, ended).
std::optional<Table> scan_arriving(const char *data, const std::function<std::pair<size_t, bool>(size_t)> &wait);

// The cells of data row `row`, in column order (valid while `text` lives).
void split_row(std::string_view text, const Table &table, size_t row, std::vector<std::string_view> &cells);

// True for the texts pandas reads as missing by default.
bool is_missing(std::string_view cell);

// True for a cell the scanner accepted for a numeric column that is not an integer (it has a decimal
// point or an exponent); false for integers and missing cells.
bool is_decimal(std::string_view cell);

// Conversions of cells the scanner accepted for a numeric column (missing cells give NaN).
int64_t to_int(std::string_view cell);
double to_double(std::string_view cell);

}  // namespace orvane::core::plain_csv
