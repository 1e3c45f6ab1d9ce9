#include "core/plain_csv.hpp"

#include "core/cells.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace orvane::core::plain_csv {

namespace {

// Largest decimal scale a double holds exactly (1e22), so that one division or multiplication by
// it rounds the same in every correct parser.
constexpr int kExactScale = 22;

using cells::is_digit;

enum class Cell : uint8_t { Missing, Int, Decimal, Text, Unsure };

constexpr std::array<bool, 256> plain_text_starts() {
    std::array<bool, 256> starts{};
    for (int c = 'a'; c <= 'z'; ++c) starts[c] = starts[c - 'a' + 'A'] = true;
    for (char c : {'n', 'N', 't', 'T', 'f', 'F', 'i', 'I'}) starts[(unsigned char) c] = false;
    return starts;
}
constexpr std::array<bool, 256> kPlainTextStart = plain_text_starts();

// What pandas' inference makes of one cell, or Unsure when that is not certain. `significant`
// is set to the digit count of an integer (leading zeros included).
Cell classify(std::string_view s, int &significant) {
    significant = 0;
    // A letter that begins none of pandas' words (missing values, booleans, infinities, NaN: they
    // begin with N, T, F or I in either case, or with no letter) begins a text, unless the cell ends
    // in a space.
    if (!s.empty() && kPlainTextStart[(unsigned char) s.front()] && s.back() != ' ') return Cell::Text;
    if (is_missing(s)) return Cell::Missing;
    if (s.front() == ' ' || s.back() == ' ') return Cell::Unsure;  // pandas' number parser skips spaces
    if (!is_digit(s.front()) &&  // the words below all start with a letter or a sign
        (cells::is_boolean_word(s) || cells::is_infinity_word(s) || cells::is_nan_word(s)))
        return Cell::Unsure;

    // [sign] digits [. digits] [e|E [sign] digits], with at least one mantissa digit.
    size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    int digits = 0, leading_zeros = 0, before_point = 0;
    bool point = false, exponent = false, seen_nonzero = false;
    for (; i < s.size() && (is_digit(s[i]) || (s[i] == '.' && !point)); ++i) {
        if (s[i] == '.') { point = true; continue; }
        ++digits;
        if (!point) ++before_point;
        if (s[i] != '0') seen_nonzero = true;
        else if (!seen_nonzero) ++leading_zeros;
    }
    long scale = 0;
    if (digits > 0 && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        exponent = true;
        size_t j = i + 1;
        bool negative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) negative = s[j++] == '-';
        const size_t first = j;
        for (; j < s.size() && is_digit(s[j]) && j - first < 6; ++j) scale = scale * 10 + (s[j] - '0');
        if (j == first || j != s.size()) return Cell::Unsure;
        if (negative) scale = -scale;
        i = j;
    }
    // Anything else fails pandas' integer and number parsers alike (they accept exactly this form,
    // around optional spaces, which are left to pandas above): text, such as "2020-01-31".
    if (digits == 0 || i != s.size()) return Cell::Text;
    significant = digits - leading_zeros;
    if (!point && !exponent) {
        significant = digits;  // an integer read as a float must have few digits, leading zeros included
        return digits <= cells::kInt64Digits ? Cell::Int : Cell::Unsure;
    }
    // pandas 2 accumulates at most 17 digits (leading zeros included) into a double, then scales
    // by one power of ten: with at most 15 significant digits and an exactly held scale the
    // result is the correctly rounded value, as every correct parser gives.
    const long k = scale - (digits - before_point);
    if (digits > cells::kPandas2Digits || significant > cells::kExactDigits || k > kExactScale || k < -kExactScale)
        return Cell::Unsure;
    return Cell::Decimal;
}

}  // namespace

bool is_missing(std::string_view cell) { return cells::is_na_word(cell); }

namespace {

// What one stretch of data rows says about each column.
struct Part {
    std::vector<size_t> line_starts;
    std::vector<uint8_t> numbers, texts, missing, decimals;
    std::vector<int> widest_int;
    bool plain = true;

    explicit Part(size_t width)
        : numbers(width, 0), texts(width, 0), missing(width, 0), decimals(width, 0), widest_int(width, 0) {}
};

// No byte left to pandas but line ends.
bool printable(std::string_view s) {
    for (char c : s)
        if (c != '\n' && cells::refused_byte((unsigned char) c)) return false;
    return true;
}

// The bytes of a block of up to 16 that matter to the scan, a bit for each: cell ends (',' and
// line ends), line ends, and the bytes left to pandas other than line ends.
struct Marks {
    uint32_t ends = 0, lines = 0, refused = 0;
};

[[gnu::always_inline]] inline Marks marks_of(const char *p, size_t n) {
    Marks m;
#ifdef __SSE2__
    if (n == 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i line = _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'));
        // signed: bytes from 0x80 on are negative, so below 0x20 too
        const __m128i refused = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
                                                          _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f))),
                                             _mm_cmpeq_epi8(x, _mm_set1_epi8('"')));
        m.lines = uint32_t(_mm_movemask_epi8(line));
        m.ends = uint32_t(_mm_movemask_epi8(_mm_or_si128(line, _mm_cmpeq_epi8(x, _mm_set1_epi8(',')))));
        m.refused = uint32_t(_mm_movemask_epi8(refused)) & ~m.lines;
        return m;
    }
#endif
    for (size_t i = 0; i < n; ++i) {
        const uint32_t bit = uint32_t(1) << i;
        if (p[i] == '\n') m.lines |= bit, m.ends |= bit;
        else if (p[i] == ',') m.ends |= bit;
        else if (cells::refused_byte((unsigned char) p[i])) m.refused |= bit;
    }
    return m;
}

// The rows of one stretch of text, cell by cell, as the cell ends are met.
class PartScan {
public:
    PartScan(std::string_view text, size_t begin, size_t width, Part &part)
        : text_(text), width_(width), part_(part), cell_(begin), line_(begin) {}

    // The cell ending at `end` (a comma, or a line end when `line_end`); false once the text is
    // found not plain.
    bool cell_ends(size_t end, bool line_end) {
        if (col_ == 0) {
            if (line_end && end == line_) return fail();  // a blank line: pandas skips it
            part_.line_starts.push_back(line_);
        }
        int digits = 0;
        const Cell cell = col_ < width_ ? classify(text_.substr(cell_, end - cell_), digits) : Cell::Unsure;
        switch (cell) {
            case Cell::Missing: part_.missing[col_] = 1; break;
            case Cell::Int:
                part_.numbers[col_] = 1;
                if (digits > part_.widest_int[col_]) part_.widest_int[col_] = digits;
                break;
            case Cell::Decimal: part_.numbers[col_] = part_.decimals[col_] = 1; break;
            case Cell::Text: part_.texts[col_] = 1; break;
            case Cell::Unsure: return fail();
        }
        ++col_;
        cell_ = end + 1;
        if (!line_end) return true;
        if (col_ != width_) return fail();  // pandas pads short rows and refuses long ones
        col_ = 0;
        line_ = end + 1;
        return true;
    }
    // The end of the stretch: a last line without a line end is a row too.
    bool finish(size_t end) { return line_ >= end || cell_ends(end, true); }

private:
    bool fail() {
        part_.plain = false;
        return false;
    }
    std::string_view text_;
    size_t width_;
    Part &part_;
    size_t cell_, line_;  // where the current cell and line begin
    size_t col_ = 0;
};

// Scan the rows in [begin, end), which starts a line and ends after one (or at the end of text),
// sixteen bytes at a time.
void scan_part(std::string_view text, size_t begin, size_t end_of_part, size_t width, Part &part) {
    PartScan scan(text, begin, width, part);
    for (size_t at = begin; at < end_of_part; at += 16) {
        const Marks m = marks_of(text.data() + at, std::min<size_t>(16, end_of_part - at));
        if (m.refused) {
            part.plain = false;
            return;
        }
        for (uint32_t ends = m.ends; ends; ends &= ends - 1) {
            const unsigned i = unsigned(__builtin_ctz(ends));
            if (!scan.cell_ends(at + i, (m.lines >> i) & 1)) return;
        }
    }
    scan.finish(end_of_part);
}

// Rows of text below this size are scanned on the calling thread alone.
constexpr size_t kParallelBytes = size_t(8) << 20;

}  // namespace

namespace {

// The header's names into `t`; false when pandas must read the file.
bool read_header(std::string_view header, Table &t) {
    if (header.empty() || !printable(header)) return false;
    std::unordered_set<std::string_view> seen;
    size_t start = 0;
    while (true) {
        const size_t comma = header.find(',', start);
        const std::string_view name =
            header.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (name.empty() || name.front() == ' ' || name.back() == ' ' || !seen.insert(name).second) return false;
        t.names.push_back(name);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return true;
}

// The parts' rows, in order, and each column's kind from what all parts saw.
std::optional<Table> combine(Table t, std::vector<Part *> parts) {
    const size_t width = t.names.size();
    for (Part *part : parts)
        if (!part->plain) return std::nullopt;
    t.line_starts = std::move(parts[0]->line_starts);
    for (size_t k = 1; k < parts.size(); ++k)
        t.line_starts.insert(t.line_starts.end(), parts[k]->line_starts.begin(), parts[k]->line_starts.end());
    if (t.rows() == 0) return std::nullopt;
    for (size_t c = 0; c < width; ++c) {
        bool numbers = false, texts = false, missing = false, decimals = false;
        int widest_int = 0;
        for (Part *part : parts) {
            numbers |= part->numbers[c] != 0;
            texts |= part->texts[c] != 0;
            missing |= part->missing[c] != 0;
            decimals |= part->decimals[c] != 0;
            widest_int = std::max(widest_int, part->widest_int[c]);
        }
        if (numbers && texts) return std::nullopt;  // mixed columns: pandas' object mix, left to it
        if (texts) {
            t.kinds.push_back(ColumnKind::Text);
        } else if (numbers && !missing && !decimals) {
            t.kinds.push_back(ColumnKind::Int);
        } else {
            // Integers read as floats must be exact in a double.
            if (widest_int > cells::kExactDigits) return std::nullopt;
            t.kinds.push_back(ColumnKind::Float);
        }
    }
    return t;
}

}  // namespace

std::optional<Table> scan(std::string_view text) {
    Table t;
    const size_t header_end = text.find('\n');
    if (header_end == std::string_view::npos || !read_header(text.substr(0, header_end), t)) return std::nullopt;
    const size_t width = t.names.size();

    // Two halves split at a line end, the second on its own thread, when the file is large.
    const size_t body = header_end + 1;
    size_t split = text.size();
    if (text.size() - body > kParallelBytes && std::thread::hardware_concurrency() > 1) {
        const size_t mid = text.find('\n', body + (text.size() - body) / 2);
        if (mid != std::string_view::npos) split = mid + 1;
    }
    // Both halves run through parallel_for, which joins its thread before a failure of either
    // (a full memory, say) reaches the caller, and runs both here when no thread can be had.
    Part first(width), second(width);
    parallel_for(split < text.size() ? 2 : 1, 2, [&](size_t half) {
        if (half == 0) scan_part(text, body, split, width, first);
        else scan_part(text, split, text.size(), width, second);
    });
    return combine(std::move(t), {&first, &second});
}

std::optional<Table> scan_arriving(const char *data, const std::function<std::pair<size_t, bool>(size_t)> &wait) {
    Table t;
    auto [ready, ended] = wait(0);
    // The header: the text up to the first line end.
    size_t header_end = 0;
    for (size_t searched = 0;;) {
        const std::string_view text(data, ready);
        header_end = text.find('\n', searched);
        if (header_end != std::string_view::npos) break;
        if (ended) return std::nullopt;
        searched = ready;
        std::tie(ready, ended) = wait(ready);
    }
    if (!read_header(std::string_view(data, header_end), t)) return std::nullopt;

    // The rows, as whole lines arrive (all that is left once the text has ended).
    Part part(t.names.size());
    size_t pos = header_end + 1;
    while (true) {
        size_t cut = ready;
        if (!ended)
            while (cut > pos && data[cut - 1] != '\n') --cut;
        if (cut > pos) {
            scan_part(std::string_view(data, ready), pos, cut, t.names.size(), part);
            if (!part.plain) return std::nullopt;
            pos = cut;
        }
        if (ended) break;
        std::tie(ready, ended) = wait(ready);
    }
    return combine(std::move(t), {&part});
}

void split_row(std::string_view text, const Table &table, size_t row, std::vector<std::string_view> &cells) {
    cells.clear();
    // The row's cell ends found sixteen bytes at a time (the row is plain: no byte is refused).
    const size_t first = table.line_starts[row];
    size_t start = first;
    for (size_t at = first; at < text.size(); at += 16) {
        const Marks m = marks_of(text.data() + at, std::min<size_t>(16, text.size() - at));
        for (uint32_t ends = m.ends; ends; ends &= ends - 1) {
            const unsigned i = unsigned(__builtin_ctz(ends));
            cells.emplace_back(text.data() + start, at + i - start);
            start = at + i + 1;
            if ((m.lines >> i) & 1) return;
        }
    }
    cells.emplace_back(text.data() + start, text.size() - start);
}

bool is_decimal(std::string_view cell) {
    if (is_missing(cell)) return false;
    return cell.find_first_of(".eE") != std::string_view::npos;
}

int64_t to_int(std::string_view cell) {
    int64_t v = 0;
    (void) cells::parse_int(cell, v);  // an integer the scan accepted
    return v;
}

double to_double(std::string_view cell) {
    if (is_missing(cell)) return cells::kNaN;
    double v = 0;
    (void) cells::correctly_rounded(cell, v);  // a number the scan accepted
    return v;
}

}  // namespace orvane::core::plain_csv
