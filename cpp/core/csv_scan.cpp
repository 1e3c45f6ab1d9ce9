// The CSV reader's scan: files read whole, lines split into fields, each column's dtype inferred
// as pandas' read_csv infers it, flat and grouped layouts. Lines end in LF or CRLF (pandas and the
// csv module read both alike). Anything it cannot decide exactly is refused, with the reason kept
// for the caller's log.
#include "core/csv_internal.hpp"


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <unordered_map>


namespace orvane::core {

using namespace csv_internal;

int Frame::find(std::string_view name) const {
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].name == name) return (int) i;
    return -1;
}

bool read_file(const std::string &path, std::string &out) {
    if (path.find('\0') != std::string::npos) return false;  // the C library would cut the path there
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Sized once from the file's length, then read straight into place (a file that grows or
    // shrinks meanwhile is read to its end all the same).
    struct stat st;
    size_t size = ::fstat(fd, &st) == 0 && st.st_size > 0 ? (size_t) st.st_size : 0;
    out.resize(size + 1);
    size_t got = 0;
    bool ok = true;
    while (true) {
        if (got == out.size()) out.resize(out.size() * 2 + 65536);
        const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += (size_t) n;
    }
    ::close(fd);
    out.resize(got);
    return ok;
}


namespace csv_internal {

void split(std::string_view line, std::vector<std::string_view> &fields) {
    fields.clear();
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        if (comma == std::string_view::npos) {
            fields.push_back(line.substr(pos));
            return;
        }
        fields.push_back(line.substr(pos, comma - pos));
        pos = comma + 1;
    }
}

bool is_missing(const CsvColumn &c, size_t r) {
    switch (c.kind) {
        case CsvKind::Float: return std::isnan(c.floats[r]);
        case CsvKind::Text: return c.texts[r].data() == nullptr;
        default: return false;
    }
}

}  // namespace csv_internal

namespace {

// Converts column `j` of the table of fields (rows x width) as pandas infers its dtype, each
// field scanned once.
bool convert_column(Scan &scan, const std::vector<std::string_view> &cells, size_t width, size_t j, size_t rows, CsvColumn &col) {
    if (rows == 0) {
        col.kind = CsvKind::Text;
        return true;
    }
    std::vector<int64_t> ints(rows);
    std::vector<double> floats(rows);
    bool any_na = false, any_int = false, any_float = false, any_text = false, long_int = false;
    for (size_t r = 0; r < rows; ++r) {
        std::string_view s = cells[r * width + j];
        if (s.empty()) {
            any_na = true;
            floats[r] = kNaN;
            continue;
        }
        bool long_digits = false, negative_zero = false;
        if (parse_int(s, ints[r], &long_digits, &negative_zero)) {
            any_int = true;
            // As a float, an integer is exact below 2^53 (pandas reads it the same way then).
            if (ints[r] > 9007199254740992LL || ints[r] < -9007199254740992LL) long_int = true;
            // In a float column pandas 2's converter reads at most 17 digits, leading zeros
            // included ("000000000000000064" is 60.0): such cells take the decimal road.
            if (s.size() > 15) (void) parse_decimal(s, &floats[r], scan.options);
            else floats[r] = negative_zero ? -0.0 : (double) ints[r];
            continue;
        }
        if (long_digits) return scan.refuse("an integer of more than 18 digits");
        switch (parse_decimal(s, &floats[r], scan.options)) {
            case Dec::Yes: any_float = true; continue;
            case Dec::Unsure: return scan.refuse("a number outside the range the converter is sure of");
            case Dec::WholeBeyondInt64: return scan.refuse("a decimal whose whole part is beyond 64-bit integers");
            case Dec::No: break;
        }
        if (const char *why = looks_special(s, scan.options)) return scan.refuse(why);
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
    p = take_digits(p, stop, m);
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
    p = take_digits(p, stop, m);  // m < 10^15 while count <= 15
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
inline bool text_cell(const char *p, const char *stop, std::string_view &cell, const CsvOptions &options) {
    // Per byte: 0 plain, 1 the cell's end (',', '\n', '\r'), 2 refused (quotes, control, non-ASCII).
    static constexpr auto kClass = [] {
        std::array<uint8_t, 256> c{};
        for (int b = 0; b < 256; ++b) c[b] = refused_byte((unsigned char) b) ? 2 : 0;
        c[','] = c['\n'] = c['\r'] = 1;
        return c;
    }();
    const char *q = p;
    uint8_t cls = 0;
    while (q < stop && (cls = kClass[(unsigned char) *q]) == 0) ++q;
    if (q < stop && cls == 2) return false;
    cell = std::string_view(p, (size_t) (q - p));
    if (cell.empty()) return false;
    // A date or time stamp ("2024-03-15 ..."): four digits then '-' is no number, and a text this
    // long that does not end in a blank is none of the words pandas reads specially.
    if (cell.size() > 9 && is_digit(cell[0]) && is_digit(cell[1]) && is_digit(cell[2]) && is_digit(cell[3]) &&
        cell[4] == '-' && cell.back() != ' ')
        return true;
    int64_t iv;
    bool long_digits = false;
    if (parse_int(cell, iv, &long_digits) || long_digits || parse_decimal(cell, nullptr, options) != Dec::No ||
        looks_special(cell, options))
        return false;
    return true;
}

// The body from `p` to `stop` as `width` columns, or false to leave the file to the general road.
bool fast_body(const CsvOptions &options, const char *p, const char *const stop, size_t width, std::vector<CsvColumn> &cols,
               size_t &rows) {
    if (p >= stop || width == 0) return false;
    // Rows expected, from the first line's length (room to spare; the vectors grow if need be).
    const char *first_end = static_cast<const char *>(std::memchr(p, '\n', (size_t) (stop - p)));
    const size_t line = first_end ? (size_t) (first_end - p) + 1 : (size_t) (stop - p);
    const size_t expect = (size_t) (stop - p) / line * 9 / 8 + 8;
    std::vector<Cell> kind(width);
    std::vector<char> negative_zero(width, 0);  // an Int column holding "-0", which a float column keeps as -0.0
    std::vector<std::vector<uint8_t>> scales(width);  // Float columns: digits after the point, per row
    rows = 0;
    while (p < stop) {
        for (size_t j = 0; j < width; ++j) {
            CsvColumn &c = cols[j];
            int64_t iv = 0;
            double dv = 0;
            uint8_t scale = 0;
            const char *end = p;
            // Text columns skip the number parse (a number there sends the file to the general road).
            Cell cell = rows > 0 && kind[j] == Cell::Text ? Cell::Text : number_cell(p, stop, iv, dv, scale, end);
            if (rows == 0) {
                kind[j] = cell;
                if (cell == Cell::Int) c.ints.reserve(expect);
                else if (cell == Cell::Float) c.floats.reserve(expect), scales[j].reserve(expect);
                else c.texts.reserve(expect);
            }
            switch (kind[j]) {
                case Cell::Int:
                    if (cell == Cell::Int) {
                        c.ints.push_back(iv);
                        if (iv == 0 && std::signbit(dv)) negative_zero[j] = 1;
                        break;
                    }
                    if (cell != Cell::Float || negative_zero[j]) return false;
                    // an integer column meets a decimal: pandas reads the whole column as floats
                    kind[j] = Cell::Float;
                    c.floats.reserve(expect);
                    for (int64_t x : c.ints) c.floats.push_back((double) x);
                    scales[j].assign(c.floats.size(), 0);
                    std::vector<int64_t>().swap(c.ints);
                    [[fallthrough]];
                case Cell::Float:
                    if (cell == Cell::Text) return false;
                    c.floats.push_back(dv);
                    scales[j].push_back(scale);
                    break;
                case Cell::Text: {
                    // A cell equal to the one above it (a contract code, say) is text as that was.
                    std::string_view t = c.texts.empty() ? std::string_view() : c.texts.back();
                    const size_t n = t.size();
                    bool same = n && (size_t) (stop - p) >= n && (p + n == stop || cell_end(p[n]));
                    for (size_t i = n; same && i-- > 0;) same = p[i] == t[i];  // from the end: stamps differ there
                    if (same) t = std::string_view(p, n);
                    else if (!text_cell(p, stop, t, options)) return false;
                    c.texts.push_back(t);
                    end = p + t.size();
                    break;
                }
            }
            p = end;
            const bool last = j + 1 == width;
            if (p == stop) {
                if (!last) return false;  // a ragged last line
            } else if (*p == '\n') {
                if (!last) return false;
                ++p;
            } else if (*p == '\r') {
                if (!last || stop - p < 2 || p[1] != '\n') return false;  // a lone CR: pandas ends the line there
                p += 2;
            } else if (*p == ',') {
                if (last) return false;
                ++p;
            } else {
                return false;
            }
        }
        ++rows;
        if (p < stop && (*p == '\n' || *p == '\r')) return false;  // a blank line, or a lone CR
    }
    // Decimals divided by their power of ten in one pass of independent divisions.
    static constexpr double kTens[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
                                       1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    for (size_t j = 0; j < width; ++j) {
        cols[j].kind = kind[j] == Cell::Int ? CsvKind::Int : kind[j] == Cell::Float ? CsvKind::Float : CsvKind::Text;
        if (kind[j] != Cell::Float) continue;
        double *v = cols[j].floats.data();
        const uint8_t *k = scales[j].data();
        for (size_t r = 0, n = cols[j].floats.size(); r < n; ++r) v[r] /= kTens[k[r]];
    }
    return true;
}

// Whether a CRLF line end begins at p.
inline bool crlf_at(const char *p, const char *stop) { return stop - p >= 2 && p[0] == '\r' && p[1] == '\n'; }

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

bool unique_names(const std::vector<std::string_view> &names) {
    std::vector<std::string_view> s(names);
    std::sort(s.begin(), s.end());
    return std::adjacent_find(s.begin(), s.end()) == s.end();
}

// Sum of a volume column over rows without a missing cell in `group`; false when pandas' sum
// could differ from an exact one (non-integral or very large floats).
bool group_volume(const Frame &f, const std::vector<int> &group, int vol, double &sum) {
    const CsvColumn &v = f.cols[vol];
    if (v.kind == CsvKind::Text) return false;
    long double total = 0;
    for (size_t r = 0; r < f.rows; ++r) {
        bool skip = false;
        for (int c : group)
            if (is_missing(f.cols[c], r)) { skip = true; break; }
        if (skip) continue;
        if (v.kind == CsvKind::Int) {
            total += (long double) v.ints[r];
        } else {
            double x = v.floats[r];
            if (x != std::floor(x) || std::fabs(x) > 1e12) return false;
            total += x;
        }
    }
    if (std::fabs((double) total) >= 9007199254740992.0) return false;
    sum = (double) total;
    return true;
}

// A header line: none blank (pandas skips blank lines, the csv module does not), no refused byte.
bool check_header_line(Scan &scan, std::string_view l) {
    if (l.empty()) return scan.refuse("a blank header line");
    for (unsigned char ch : l)
        if (refused_byte(ch)) return scan.refuse(refused_byte_reason(ch));
    return true;
}

// Grouped layout: (group, field) pairs must be distinct; the principal group, the one with the
// most volume, gives the bars, after the first column ("time_key").
bool principal_group(Scan &scan, const std::vector<std::string_view> &head, const std::vector<std::string_view> &second,
                     size_t rows, std::vector<CsvColumn> &parsed, Frame &out) {
    const size_t width = head.size();
    std::vector<std::string> pairs;
    for (size_t j = 1; j < width; ++j) pairs.push_back(std::string(head[j]) + '\n' + std::string(second[j]));
    std::vector<std::string_view> pv(pairs.begin(), pairs.end());
    if (!unique_names(pv)) return scan.refuse("repeated (group, field) pairs");
    Frame all;
    all.rows = rows;
    all.cols = std::move(parsed);
    for (size_t j = 0; j < width; ++j) all.cols[j].name = std::string(j == 0 ? std::string_view("time_key") : second[j]);
    std::vector<std::string_view> groups;
    for (size_t j = 1; j < width; ++j)
        if (head[j] != "meta" && std::find(groups.begin(), groups.end(), head[j]) == groups.end())
            groups.push_back(head[j]);
    if (groups.empty()) return scan.refuse("no group but meta");
    int best = -1;
    double best_sum = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        std::vector<int> members;
        int vol = -1;
        for (size_t j = 1; j < width; ++j)
            if (head[j] == groups[g]) {
                members.push_back((int) j);
                if (second[j] == "volume") vol = (int) j;
            }
        double sum = 0;
        if (vol < 0) return scan.refuse("a group without a volume column");
        if (!group_volume(all, members, vol, sum)) return scan.refuse("a group whose volume is text, or whose sum may not be exact");
        if (best < 0 || sum > best_sum) best = (int) g, best_sum = sum;
    }
    out.rows = rows;
    out.cols.push_back(std::move(all.cols[0]));
    for (size_t j = 1; j < width; ++j)
        if (head[j] == groups[best]) {
            // reset_index cannot insert the index's "time_key" beside a field of that name
            if (second[j] == "time_key") return scan.refuse("a group holding a field named time_key");
            out.cols.push_back(std::move(all.cols[j]));
        }
    return true;
}

bool read_frame(Scan &scan, std::string_view bytes, Frame &out) {
    // The first lines (up to three: the header's, and for a flat file the body's first ones, which
    // the body's scan checks), without their line ends; `next[i]` is where the line after line i
    // begins.
    std::vector<std::string_view> lines;
    size_t next[3] = {0, 0, 0};
    size_t at = 0;
    while (lines.size() < 3 && at < bytes.size()) {
        size_t nl = bytes.find('\n', at);
        const size_t after = nl == std::string_view::npos ? bytes.size() : nl + 1;
        if (nl == std::string_view::npos) nl = bytes.size();
        else if (nl > at && bytes[nl - 1] == '\r') --nl;  // a CRLF line end
        next[lines.size()] = after;
        lines.push_back(bytes.substr(at, nl - at));
        at = after;
    }
    if (lines.empty()) return scan.refuse("an empty file");
    if (!check_header_line(scan, lines[0])) return false;

    std::vector<std::string_view> head, second;
    split(lines[0], head);
    const bool flat = std::find(head.begin(), head.end(), "open") != head.end();
    if (!flat) {
        if (lines.size() < 3) return scan.refuse("no layout: no field 'open' in row 1 and fewer than three header rows");
        if (!check_header_line(scan, lines[1]) || !check_header_line(scan, lines[2])) return false;
        split(lines[1], second);
        if (std::find(second.begin(), second.end(), "open") == second.end()) return scan.refuse("no layout: no field 'open' in row 1 or row 2");
    }

    const size_t width = head.size();
    const size_t first = flat ? 1 : 3;
    if (!flat) {
        std::vector<std::string_view> names;
        split(lines[2], names);
        if (second.size() != width || names.size() != width || head[0] != "" || second[0] != "" ||
            names[0] != "time_key")
            return scan.refuse("an unusual grouped header");
        for (size_t j = 1; j < width; ++j)
            if (!names[j].empty() || head[j].empty() || second[j].empty()) return scan.refuse("an unusual grouped header");
    } else {
        for (std::string_view n : head)
            if (n.empty()) return scan.refuse("an unnamed column");
        if (!unique_names(head)) return scan.refuse("repeated column names");
    }
    // The body: the fast road when it can decide every cell, else the general one.
    const char *const body_begin = bytes.data() + next[first - 1];
    const char *const stop = bytes.data() + bytes.size();
    std::vector<CsvColumn> parsed(width);
    size_t rows = 0;
    if (!fast_body(scan.options, body_begin, stop, width, parsed, rows)) {
        parsed.assign(width, CsvColumn());
        if (!general_body(scan, body_begin, stop, width, parsed, rows)) return false;
    }

    if (flat) {
        out.rows = rows;
        out.cols = std::move(parsed);
        for (size_t j = 0; j < width; ++j) out.cols[j].name = std::string(head[j]);
        return true;
    }

    return principal_group(scan, head, second, rows, parsed, out);
}

}  // namespace

Parsed<Frame> parse_data_file(std::string_view bytes, const CsvOptions &options) {
    Scan scan{options};
    Frame frame;
    if (!read_frame(scan, bytes, frame)) return Refusal{scan.why};
    return frame;
}

}  // namespace orvane::core
