// The body of a data file read into columns: a fast road that converts every cell as it is met
// for the common file, and a general one that splits the whole body into fields and converts each
// column as pandas infers its dtype.
#include "core/csv_internal.hpp"

#include <array>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace orvane::core::csv_internal {

namespace {

// Converts column `j` of the table of fields (rows x width) as pandas infers its dtype, each
// field scanned once.
bool convert_column(Scan &scan, const std::vector<std::string_view> &cells, size_t width, size_t j, size_t rows, CsvColumn &col) {
    if (rows == 0) {
        col.kind = CsvKind::Text;
        return true;
    }
    std::pmr::vector<int64_t> ints(rows);
    std::pmr::vector<double> floats(rows);
    const bool correct = scan.options.correct_rounding;
    bool any_na = false, any_int = false, any_float = false, any_text = false, long_int = false;
    for (size_t r = 0; r < rows; ++r) {
        std::string_view s = cells[r * width + j];
        if (s.empty()) {
            any_na = true;
            floats[r] = cells::kNaN;
            continue;
        }
        bool long_digits = false, negative_zero = false;
        if (cells::parse_int(s, ints[r], &long_digits, &negative_zero)) {
            any_int = true;
            // As a float, an integer is exact below 2^53 (pandas reads it the same way then).
            if (ints[r] > cells::kExactIntLimit || ints[r] < -cells::kExactIntLimit) long_int = true;
            // In a float column pandas 2's converter reads at most 17 digits, leading zeros
            // included ("000000000000000064" is 60.0): such cells take the decimal road.
            if (s.size() > (size_t) cells::kExactDigits) (void) cells::parse_decimal(s, &floats[r], correct);
            else floats[r] = negative_zero ? -0.0 : (double) ints[r];
            continue;
        }
        if (long_digits) return scan.refuse("an integer of more than 18 digits");
        switch (cells::parse_decimal(s, &floats[r], correct)) {
            case cells::Dec::Yes: any_float = true; continue;
            case cells::Dec::Unsure: return scan.refuse("a number outside the range the converter is sure of");
            case cells::Dec::WholeBeyondInt64: return scan.refuse("a decimal whose whole part is beyond 64-bit integers");
            case cells::Dec::No: break;
        }
        if (const char *why = cells::looks_special(s, correct)) return scan.refuse(why);
        any_text = true;
    }
    if (!any_int && !any_float && !any_text) return scan.refuse("a column of empty cells only");  // concat's dtype rules differ
    if (any_text) {
        if (any_int || any_float) return scan.refuse("a column mixing text and numbers");  // pandas' chunked reader may keep numbers
        col.kind = CsvKind::Text;
        col.texts.resize(rows);
        for (size_t r = 0; r < rows; ++r) {
            std::string_view s = cells[r * width + j];
            col.texts[r] = s.empty() ? std::string_view() : s;
        }
        return true;
    }
    if (!any_float && !any_na) {
        col.kind = CsvKind::Int;
        col.ints = std::move(ints);
        return true;
    }
    if (long_int) return scan.refuse("an integer beyond 2^53 in a float column");
    col.kind = CsvKind::Float;
    col.floats = std::move(floats);
    return true;
}


// ---- the fast road: one pass over the body for the common file ----------------------------
//
// Each column's kind is taken from the first row and every cell is converted as it is met:
// integers, plain decimals (at most 15 digits, no exponent) and text. Where a cell is anything
// else (an empty cell, an exponent, a long number, a text cell in a number column, a byte the
// scan refuses, a ragged line) the fast road gives up and the general one reads the whole file.
// A cell ends at ',', '\n' or '\r' (a CR that does not begin a CRLF line end sends the file to the
// general road).

enum class Cell : uint8_t { Int, Float, Text };

inline bool cell_end(char c) { return c == ',' || c == '\n' || c == '\r'; }

// A number cell starting at p: [+-] digits [. digits], ending at `stop` or at a cell end.
// Int when it has no '.', at most 15 characters (so that it reads the same as a float); Float
// for a plain decimal of at most 15 digits: its digits as a whole number m (with its sign, as a
// double: exact) and the count k of digits after the point; its value is m / 10^k, which both
// converters give (m and 10^k exact, one correctly rounded division). Text when it is neither
// (the caller then gives up unless the column is text). `end` points at the cell's terminator.
inline Cell number_cell(const char *p, const char *stop, int64_t &iv, double &dv, uint8_t &scale,
                        const char *&end) {
    const char *const begin = p;
    const bool negative = p < stop && *p == '-';
    if (p < stop && (*p == '-' || *p == '+')) ++p;
    const char *digits = p;
    uint64_t m = 0;
    p = cells::take_digits(p, stop, m);
    size_t count = (size_t) (p - digits);
    end = p;
    if (count == 0 || count > 15) return Cell::Text;
    if (p == stop || cell_end(*p)) {
        iv = negative ? -(int64_t) m : (int64_t) m;
        dv = negative ? -(double) m : (double) m;
        scale = 0;
        return (size_t) (p - begin) <= 15 ? Cell::Int : Cell::Text;
    }
    if (*p != '.') return Cell::Text;
    const char *fraction = ++p;
    p = cells::take_digits(p, stop, m);  // m < 10^15 while count <= 15
    const size_t k = (size_t) (p - fraction);
    count += k;
    end = p;
    if (k == 0 || count > 15 || (p < stop && !cell_end(*p))) return Cell::Text;
    dv = negative ? -(double) m : (double) m;
    scale = (uint8_t) k;
    return Cell::Float;
}

// A text cell starting at p, ending at `stop` or at a cell end; false on a byte the scan refuses
// (quotes, control or non-ASCII bytes), or when pandas would read it as something other than text.
// Per byte: 0 plain, 1 a cell's end (',', '\n', '\r'), 2 refused (quotes, control, non-ASCII).
constexpr std::array<uint8_t, 256> byte_classes() {
    std::array<uint8_t, 256> c{};
    for (int b = 0; b < 256; ++b) c[b] = refused_byte((unsigned char) b) ? 2 : 0;
    c[','] = c['\n'] = c['\r'] = 1;
    return c;
}
constexpr std::array<uint8_t, 256> kByteClass = byte_classes();

// The first byte from p on that is not plain (kByteClass), or `stop`. Sixteen bytes at a time
// where SSE2 is there: the bytes not plain are those below 0x20 or from 0x7f on, '"' and ','.
inline const char *first_not_plain(const char *p, const char *stop) {
#ifdef __SSE2__
    const __m128i below = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f), quote = _mm_set1_epi8('"'),
                  comma = _mm_set1_epi8(',');
    for (; stop - p >= 16; p += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // signed: bytes from 0x80 on are negative, so below 0x20 too
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, below), _mm_cmpeq_epi8(x, del)),
                                         _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, comma)));
        if (const int mask = _mm_movemask_epi8(hit)) return p + __builtin_ctz((unsigned) mask);
    }
#endif
    while (p < stop && kByteClass[(unsigned char) *p] == 0) ++p;
    return p;
}

inline bool text_cell(const char *p, const char *stop, std::string_view &cell, const CsvOptions &options) {
    const char *const q = first_not_plain(p, stop);
    if (q < stop && kByteClass[(unsigned char) *q] == 2) return false;
    cell = std::string_view(p, (size_t) (q - p));
    if (cell.empty()) return false;
    // A date or time stamp ("2024-03-15 ..."): four digits then '-' is no number, and a text this
    // long that does not end in a blank is none of the words pandas reads specially.
    if (cell.size() > 9 && is_digit(cell[0]) && is_digit(cell[1]) && is_digit(cell[2]) && is_digit(cell[3]) &&
        cell[4] == '-' && cell.back() != ' ')
        return true;
    int64_t iv;
    bool long_digits = false;
    if (cells::parse_int(cell, iv, &long_digits) || long_digits ||
        cells::parse_decimal(cell, nullptr, options.correct_rounding) != cells::Dec::No ||
        cells::looks_special(cell, options.correct_rounding))
        return false;
    return true;
}

// The fast road's columns as they grow: each column's kind, taken from the first row, and its
// values written in place, in room made for whole rows at a time (checked once per row).
class FastColumns {
public:
    FastColumns(const CsvOptions &options, const char *stop, size_t expect, std::vector<CsvColumn> &cols)
        : options_(options), stop_(stop), room_(expect), cols_(cols), out_(cols.size()) {}

    // Room for row `row` in every column.
    void room_for(size_t row) {
        if (row < room_) return;
        room_ = room_ * 2 + 8;
        for (size_t j = 0; j < cols_.size(); ++j) place(j);
    }

    // Cell j of row `row` at p taken onto its column; `end` set to its terminator. False where the
    // fast road gives up.
    bool take(size_t j, size_t row, const char *p, const char *&end) {
        int64_t iv = 0;
        double dv = 0;
        uint8_t scale = 0;
        end = p;
        Out &o = out_[j];
        // Text columns skip the number parse (a number there sends the file to the general road).
        const Cell cell = row > 0 && o.kind == Cell::Text ? Cell::Text : number_cell(p, stop_, iv, dv, scale, end);
        if (row == 0) {
            o.kind = cell;
            place(j);
        }
        switch (o.kind) {
            case Cell::Int:
                if (cell == Cell::Int) {
                    o.ints[row] = iv;
                    if (iv == 0 && std::signbit(dv)) o.negative_zero = true;
                    return true;
                }
                if (cell != Cell::Float || o.negative_zero) return false;
                to_floats(j, row);
                [[fallthrough]];
            case Cell::Float:
                if (cell == Cell::Text) return false;
                o.floats[row] = dv / cells::kTens[scale];
                return true;
            case Cell::Text: return text(o, row, p, end);
        }
        return false;
    }

    // The columns cut to their `rows` values, their kinds set.
    void finish(size_t rows) {
        for (size_t j = 0; j < cols_.size(); ++j) {
            CsvColumn &c = cols_[j];
            const Cell k = out_[j].kind;
            if (k == Cell::Int) c.ints.resize(rows);
            else if (k == Cell::Float) c.floats.resize(rows);
            else c.texts.resize(rows);
            c.kind = k == Cell::Int ? CsvKind::Int : k == Cell::Float ? CsvKind::Float : CsvKind::Text;
        }
    }

private:
    // Where a column's values go: its kind's vector, sized to the room made.
    struct Out {
        Cell kind = Cell::Text;
        bool negative_zero = false;  // an Int column holding "-0", which a float column keeps as -0.0
        int64_t *ints = nullptr;
        double *floats = nullptr;
        std::string_view *texts = nullptr;
    };

    // Column j's vector of its kind sized to the room made.
    void place(size_t j) {
        CsvColumn &c = cols_[j];
        Out &o = out_[j];
        if (o.kind == Cell::Int) c.ints.resize(room_), o.ints = c.ints.data();
        else if (o.kind == Cell::Float) c.floats.resize(room_), o.floats = c.floats.data();
        else c.texts.resize(room_), o.texts = c.texts.data();
    }

    // An integer column meets a decimal in row `row`: pandas reads the whole column as floats.
    void to_floats(size_t j, size_t row) {
        CsvColumn &c = cols_[j];
        Out &o = out_[j];
        o.kind = Cell::Float;
        place(j);
        for (size_t r = 0; r < row; ++r) o.floats[r] = (double) o.ints[r];
        std::pmr::vector<int64_t>().swap(c.ints);
        o.ints = nullptr;
    }

    bool text(Out &o, size_t row, const char *p, const char *&end) {
        // A cell equal to the one above it (a contract code, say) is text as that was.
        std::string_view t = row > 0 ? o.texts[row - 1] : std::string_view();
        const size_t n = t.size();
        bool same = n && (size_t) (stop_ - p) >= n && (p + n == stop_ || cell_end(p[n]));
        for (size_t i = n; same && i-- > 0;) same = p[i] == t[i];  // from the end: stamps differ there
        if (same) t = std::string_view(p, n);
        else if (!text_cell(p, stop_, t, options_)) return false;
        o.texts[row] = t;
        end = p + t.size();
        return true;
    }

    const CsvOptions &options_;
    const char *const stop_;
    size_t room_;
    std::vector<CsvColumn> &cols_;
    std::vector<Out> out_;
};

// Past the terminator at p of a row's cell (the row's last when `last`); false on a ragged line
// or a lone CR (pandas ends the line there).
inline bool past_terminator(const char *&p, const char *stop, bool last) {
    if (p == stop) return last;
    switch (*p) {
        case '\n': ++p; return last;
        case '\r':
            if (!last || stop - p < 2 || p[1] != '\n') return false;
            p += 2;
            return true;
        case ',': ++p; return !last;
        default: return false;
    }
}

}  // namespace

// The body from `p` to `stop` as `width` columns, or false to leave the file to the general road.
bool fast_body(const CsvOptions &options, const char *p, const char *const stop, size_t width, std::vector<CsvColumn> &cols,
               size_t &rows) {
    if (p >= stop || width == 0) return false;
    // Rows expected, from the first line's length (room to spare; the vectors grow if need be).
    const char *first_end = static_cast<const char *>(std::memchr(p, '\n', (size_t) (stop - p)));
    const size_t line = first_end ? (size_t) (first_end - p) + 1 : (size_t) (stop - p);
    FastColumns columns(options, stop, (size_t) (stop - p) / line * 9 / 8 + 8, cols);
    rows = 0;
    while (p < stop) {
        columns.room_for(rows);
        for (size_t j = 0; j < width; ++j) {
            const char *end = p;
            if (!columns.take(j, rows, p, end)) return false;
            p = end;
            if (!past_terminator(p, stop, j + 1 == width)) return false;
        }
        ++rows;
        if (p < stop && (*p == '\n' || *p == '\r')) return false;  // a blank line, or a lone CR
    }
    columns.finish(rows);
    return true;
}

namespace {

// Whether a CRLF line end begins at p.
inline bool crlf_at(const char *p, const char *stop) { return stop - p >= 2 && p[0] == '\r' && p[1] == '\n'; }

}  // namespace

// The body from `p` to `stop` split into fields (one pass: fields end at commas, records at line
// ends), then each column converted as pandas infers its dtype.
bool general_body(Scan &scan, const char *p, const char *const stop, size_t width, std::vector<CsvColumn> &cols,
                  size_t &rows) {
    std::vector<std::string_view> cells;
    if (stop - p > 64) cells.reserve((size_t) (stop - p) / 6);
    rows = 0;
    while (p < stop) {
        size_t count = 0;
        const char *field = p;
        if (*p == '\n' || crlf_at(p, stop)) return scan.refuse("a blank line");  // pandas skips it
        while (true) {
            size_t line_end = 0;  // the length of the line end at p, if any
            if (p == stop || *p == '\n') {
                line_end = p == stop ? 0 : 1;
            } else {
                const unsigned char ch = (unsigned char) *p;
                if (ch == ',') {
                    cells.emplace_back(field, (size_t) (p - field));
                    ++count;
                    field = ++p;
                    continue;
                }
                if (!refused_byte(ch)) {
                    ++p;
                    continue;
                }
                if (!crlf_at(p, stop)) return scan.refuse(refused_byte_reason(ch));
                line_end = 2;
            }
            cells.emplace_back(field, (size_t) (p - field));
            ++count;
            p += line_end;
            break;
        }
        if (count != width) return scan.refuse("a ragged row");  // more or fewer fields than the header
        ++rows;
    }
    for (size_t j = 0; j < width; ++j)
        if (!convert_column(scan, cells, width, j, rows, cols[j])) return false;
    return true;
}

}  // namespace orvane::core::csv_internal
