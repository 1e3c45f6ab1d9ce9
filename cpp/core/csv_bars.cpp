#include "core/csv_bars.hpp"

#include <algorithm>
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

int Frame::find(std::string_view name) const {
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].name == name) return (int) i;
    return -1;
}

bool read_file(const std::string &path, std::string &out) {
    if (path.find('\0') != std::string::npos) return false;  // the C library would cut the path there
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

thread_local const char *t_refusal = "";
thread_local int t_refusal_file = -1;
bool t_correct_rounding = false;

bool refuse(const char *why) {
    t_refusal = why;
    return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

// An integer as pandas' tokenizer reads it: optional sign, digits (at most 18: no overflow).
// `long_digits` is set for a longer run of digits, which pandas may read as int64, as a float or
// as text depending on its value and on the column; `negative_zero` for "-0", "-00", ...
bool parse_int(std::string_view s, int64_t &v, bool *long_digits = nullptr, bool *negative_zero = nullptr) {
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

enum class Dec { No, Yes, Unsure };

// Powers of ten as the compiler spells 1e0 .. 1e308: correctly rounded.
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

// The decimal syntax pandas accepts, [+-] digits [. digits] [eE [+-] digits]. Converted either
// correctly rounded (as pandas 3 reads it) or the way pandas 2's default ("high" precision)
// converter does it: up to 17 digits gathered into a double, then one multiplication or division
// by a power of ten. Unsure where that converter reports a range error or where the text is too
// odd to be sure.
Dec parse_decimal(std::string_view s, double *out) {
    size_t i = 0, n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
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
    if (!out) return exponent > 308 || exponent < -308 ? Dec::Unsure : Dec::Yes;
    if (exponent > 308 || exponent < -308) return Dec::Unsure;
    if (t_correct_rounding) return correctly_rounded(s, out);
    const double *e10 = powers_of_ten();
    if (exponent > 0) number *= e10[exponent];
    else if (exponent < 0) number /= e10[-exponent];
    if (std::isinf(number)) return Dec::Unsure;
    *out = number;
    return Dec::Yes;
}

// Texts that pandas reads as missing, boolean or infinite, or numbers with blanks around them.
bool looks_special(std::string_view s) {
    const bool padded = s.front() == ' ' || s.back() == ' ';
    if (!padded && s.size() > 9) return false;  // longer than any of the words below
    size_t a = 0, b = s.size();
    while (a < b && s[a] == ' ') ++a;
    while (b > a && s[b - 1] == ' ') --b;
    std::string_view t = s.substr(a, b - a);
    if (t.empty()) return true;
    if (padded) {
        int64_t v;
        if (parse_decimal(t, nullptr) != Dec::No || parse_int(t, v)) return true;
    }
    if (t.size() > 9) return false;
    char low[16];
    for (size_t i = 0; i < t.size(); ++i) low[i] = (char) std::tolower((unsigned char) t[i]);
    std::string_view l(low, t.size());
    static constexpr std::string_view words[] = {
        "nan",  "-nan",     "+nan",     "na",   "n/a",  "null", "none",     "#n/a",      "#na",       "#n/a n/a",
        "-1.#ind", "-1.#qnan", "1.#ind", "1.#qnan", "<na>", "inf", "+inf", "-inf", "infinity", "+infinity",
        "-infinity", "true", "false"};
    for (std::string_view w : words)
        if (l == w) return true;
    return false;
}


// Converts column `j` of the table of fields (rows x width) as pandas infers its dtype, each
// field scanned once.
bool convert_column(const std::vector<std::string_view> &cells, size_t width, size_t j, size_t rows, CsvColumn &col) {
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
            if (s.size() > 15) (void) parse_decimal(s, &floats[r]);
            else floats[r] = negative_zero ? -0.0 : (double) ints[r];
            continue;
        }
        if (long_digits) return refuse("an integer of more than 18 digits");
        switch (parse_decimal(s, &floats[r])) {
            case Dec::Yes: any_float = true; continue;
            case Dec::Unsure: return refuse("a number outside the range the converter is sure of");
            case Dec::No: break;
        }
        if (looks_special(s)) return refuse("a missing-value marker, boolean, infinity or padded number");
        any_text = true;
    }
    if (!any_int && !any_float && !any_text) return refuse("a column with no value");  // concat's dtype rules differ
    if (any_text) {
        if (any_int || any_float) return refuse("a column mixing text and numbers");  // pandas' chunked reader may keep numbers
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
    if (long_int) return refuse("an integer beyond 2^53 in a float column");
    col.kind = CsvKind::Float;
    col.floats = std::move(floats);
    return true;
}

bool is_missing(const CsvColumn &c, size_t r) {
    switch (c.kind) {
        case CsvKind::Float: return std::isnan(c.floats[r]);
        case CsvKind::Text: return c.texts[r].data() == nullptr;
        default: return false;
    }
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

}  // namespace

const char *last_refusal() { return t_refusal; }

int last_refusal_file() { return t_refusal_file; }

void set_correct_rounding(bool on) { t_correct_rounding = on; }

bool parse_data_file(std::string_view bytes, Frame &out) {
    out = Frame();
    // The header lines (up to three); the body is checked and split in one pass below.
    std::vector<std::string_view> lines;
    size_t body = 0;
    while (lines.size() < 3 && body < bytes.size()) {
        size_t nl = bytes.find('\n', body);
        if (nl == std::string_view::npos) nl = bytes.size();
        lines.push_back(bytes.substr(body, nl - body));
        body = nl + 1;
    }
    if (lines.empty()) return refuse("an empty file");
    for (std::string_view l : lines) {
        if (l.empty()) return refuse("a blank header line");  // blank lines: pandas skips them, the csv module does not
        for (unsigned char ch : l)
            if (ch < 0x20 || ch >= 0x7f || ch == '"') return refuse("quotes, control or non-ASCII bytes in the header");
    }

    std::vector<std::string_view> head, second;
    split(lines[0], head);
    const bool flat = std::find(head.begin(), head.end(), "open") != head.end();
    if (!flat) {
        if (lines.size() < 3) return refuse("no layout: no field 'open' in row 1 and fewer than three header rows");
        split(lines[1], second);
        if (std::find(second.begin(), second.end(), "open") == second.end()) return refuse("no layout: no field 'open' in row 1 or row 2");
    }

    const size_t width = head.size();
    const size_t first = flat ? 1 : 3;
    if (!flat) {
        std::vector<std::string_view> names;
        split(lines[2], names);
        if (second.size() != width || names.size() != width || head[0] != "" || second[0] != "" ||
            names[0] != "time_key")
            return refuse("an unusual grouped header");
        for (size_t j = 1; j < width; ++j)
            if (!names[j].empty() || head[j].empty() || second[j].empty()) return refuse("an unusual grouped header");
    } else {
        for (std::string_view n : head)
            if (n.empty()) return refuse("an unnamed column");
        if (!unique_names(head)) return refuse("repeated column names");
    }
    std::vector<std::string_view> cells;
    if (bytes.size() > 64) cells.reserve(bytes.size() / 6);
    // One pass over the body: fields end at commas, records at line ends.
    const size_t offset = (size_t) (lines[first - 1].data() - bytes.data()) + lines[first - 1].size() + 1;
    const char *p = bytes.data() + std::min(offset, bytes.size());
    const char *const stop = bytes.data() + bytes.size();
    size_t rows = 0;
    while (p < stop) {
        size_t count = 0;
        const char *field = p;
        if (*p == '\n') return refuse("a blank line");  // a blank line
        while (true) {
            if (p == stop || *p == '\n') {
                cells.emplace_back(field, (size_t) (p - field));
                ++count;
                if (p != stop) ++p;
                break;
            }
            const unsigned char ch = (unsigned char) *p;
            if (ch == ',') {
                cells.emplace_back(field, (size_t) (p - field));
                ++count;
                field = ++p;
                continue;
            }
            if (ch < 0x20 || ch >= 0x7f || ch == '"') return refuse("quotes, control or non-ASCII bytes");
            ++p;
        }
        if (count != width) return refuse("a ragged line");  // ragged, or a blank line
        ++rows;
    }

    if (flat) {
        out.rows = rows;
        out.cols.resize(width);
        for (size_t j = 0; j < width; ++j) {
            out.cols[j].name = std::string(head[j]);
            if (!convert_column(cells, width, j, rows, out.cols[j])) return false;
        }
        return true;
    }

    // Grouped: (group, field) pairs must be distinct; the principal group has the most volume.
    std::vector<std::string> pairs;
    for (size_t j = 1; j < width; ++j) pairs.push_back(std::string(head[j]) + '\n' + std::string(second[j]));
    std::vector<std::string_view> pv(pairs.begin(), pairs.end());
    if (!unique_names(pv)) return refuse("repeated (group, field) pairs");
    Frame all;
    all.rows = rows;
    all.cols.resize(width);
    for (size_t j = 0; j < width; ++j) {
        all.cols[j].name = std::string(j == 0 ? std::string_view("time_key") : second[j]);
        if (!convert_column(cells, width, j, rows, all.cols[j])) return false;
    }
    std::vector<std::string_view> groups;
    for (size_t j = 1; j < width; ++j)
        if (head[j] != "meta" && std::find(groups.begin(), groups.end(), head[j]) == groups.end())
            groups.push_back(head[j]);
    if (groups.empty()) return refuse("no group but meta");
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
        if (vol < 0 || !group_volume(all, members, vol, sum)) return refuse("a group whose volume sum is not exact");
        if (best < 0 || sum > best_sum) best = (int) g, best_sum = sum;
    }
    out.rows = rows;
    out.cols.push_back(std::move(all.cols[0]));
    for (size_t j = 1; j < width; ++j)
        if (head[j] == groups[best]) {
            // reset_index cannot insert the index's "time_key" beside a field of that name
            if (second[j] == "time_key") return refuse("a group holding a field named time_key");
            out.cols.push_back(std::move(all.cols[j]));
        }
    return true;
}

int days_in_month(int y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return d[m - 1];
}

namespace {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned) (y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t) doe - 719468;
}

int num(std::string_view s, size_t at, size_t len, bool &ok) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) {
        if (!is_digit(s[i])) { ok = false; return 0; }
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS", all keys of one form; false for anything else (other
// shapes go to pandas' own parser, which infers their format from the first key).
bool iso_to_ns(std::string_view s, size_t form, int64_t &ns) {
    if ((form != 10 && form != 19) || s.size() != form || s[4] != '-' || s[7] != '-') return false;
    bool ok = true;
    int y = num(s, 0, 4, ok), mo = num(s, 5, 2, ok), d = num(s, 8, 2, ok), h = 0, mi = 0, se = 0;
    if (form == 19) {
        if (s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
        h = num(s, 11, 2, ok), mi = num(s, 14, 2, ok), se = num(s, 17, 2, ok);
    }
    if (!ok || y < 1678 || y > 2261 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 ||
        mi > 59 || se > 59)
        return false;
    ns = ((days_from_civil(y, (unsigned) mo, (unsigned) d) * 86400 + h * 3600 + mi * 60 + se)) * 1000000000LL;
    return true;
}

// Ratio back-adjustment: every row before a change of contract is scaled by the ratio of the
// new contract's first close to the old one's last close, rolls applied in order.
bool roll_adjust(Frame &f) {
    const int t = f.find("ticker");
    if (t < 0) return true;
    const CsvColumn &tk = f.cols[t];
    if (tk.kind != CsvKind::Text) return refuse("a ticker column that is not text");
    std::vector<size_t> ends;  // last row of each old contract
    for (size_t r = 1; r < f.rows; ++r)
        if (tk.texts[r] != tk.texts[r - 1]) ends.push_back(r - 1);
    if (ends.empty()) return true;
    int cols[4] = {f.find("close"), f.find("open"), f.find("high"), f.find("low")};
    for (int c : cols)
        if (c < 0 || f.cols[c].kind != CsvKind::Float) return refuse("prices that are not floats in a rolling series");
    const std::vector<double> &close = f.cols[cols[0]].floats;
    std::vector<double> factors;
    for (size_t e : ends) factors.push_back(close[e + 1] / close[e]);
    for (int c : cols) {
        std::vector<double> &v = f.cols[c].floats;
        size_t k = 0;  // first roll that row r precedes
        for (size_t r = 0; r <= ends.back(); ++r) {
            while (ends[k] < r) ++k;
            double x = v[r];
            for (size_t j = k; j < factors.size(); ++j) x = x * factors[j];
            v[r] = x;
        }
    }
    return true;
}

}  // namespace

bool clean_ticker(const std::vector<std::string> &paths, bool sort, std::string_view lower, std::string_view upper,
                  std::vector<std::string> &buffers, Frame &out) {
    buffers.assign(paths.size(), std::string());
    std::vector<Frame> files;
    for (size_t i = 0; i < paths.size(); ++i) {
        t_refusal_file = (int) i;
        if (!read_file(paths[i], buffers[i])) return refuse("the file cannot be read");
        Frame f;
        // A file without rows has text columns, which pandas' stacking does not simply skip.
        if (!parse_data_file(buffers[i], f)) return false;
        if (f.rows == 0) return refuse("a file without rows");
        files.push_back(std::move(f));
    }
    t_refusal_file = -1;
    // Stack: same columns in the same order; ints meet floats as floats.
    const Frame *shape = nullptr;
    for (const Frame &f : files)
        if (f.rows) { shape = &f; break; }
    if (!shape) return refuse("no rows");
    const size_t width = shape->cols.size();
    std::vector<CsvKind> kinds(width);
    for (size_t j = 0; j < width; ++j) kinds[j] = shape->cols[j].kind;
    for (const Frame &f : files) {
        if (f.cols.size() != width) return refuse("files with different columns");
        for (size_t j = 0; j < width; ++j) {
            if (f.cols[j].name != shape->cols[j].name) return refuse("files with different columns");
            if (!f.rows) continue;
            CsvKind a = kinds[j], b = f.cols[j].kind;
            if (a == b) continue;
            if ((a == CsvKind::Int || a == CsvKind::Float) && (b == CsvKind::Int || b == CsvKind::Float)) kinds[j] = CsvKind::Float;
            else return refuse("files whose column dtypes differ");
        }
    }
    const int key = shape->find("time_key");
    if (key < 0 || kinds[key] != CsvKind::Text || shape->find("generic_ticker") >= 0) return refuse("no text time key, or a generic_ticker column");

    // Window by text, then order by time key.
    std::vector<std::pair<uint32_t, uint32_t>> rows;  // (file, row)
    for (size_t i = 0; i < files.size(); ++i) {
        const Frame &f = files[i];
        if (!f.rows) continue;
        const auto &k = f.cols[key].texts;
        for (size_t r = 0; r < f.rows; ++r)
            if (k[r].data() && k[r] >= lower && k[r] <= upper) rows.emplace_back((uint32_t) i, (uint32_t) r);
    }
    auto key_of = [&](const std::pair<uint32_t, uint32_t> &p) { return files[p.first].cols[key].texts[p.second]; };
    if (sort) {
        auto less = [&](const auto &a, const auto &b) { return key_of(a) < key_of(b); };
        if (!std::is_sorted(rows.begin(), rows.end(), less)) std::stable_sort(rows.begin(), rows.end(), less);
        // Equal keys: pandas' unstable sort decides their order, so let it.
        for (size_t i = 1; i < rows.size(); ++i)
            if (key_of(rows[i]) == key_of(rows[i - 1])) return refuse("equal time keys");
    }
    std::vector<int64_t> stamps(rows.size());
    const size_t form = rows.empty() ? 0 : key_of(rows[0]).size();
    for (size_t i = 0; i < rows.size(); ++i)
        if (!iso_to_ns(key_of(rows[i]), form, stamps[i])) return refuse("time keys not all YYYY-MM-DD or all YYYY-MM-DD HH:MM:SS");

    // Drop rows with a missing cell, then gather the columns.
    std::vector<size_t> keep;
    keep.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const Frame &f = files[rows[i].first];
        bool missing = false;
        for (size_t j = 0; j < width && !missing; ++j) missing = is_missing(f.cols[j], rows[i].second);
        if (!missing) keep.push_back(i);
    }
    out = Frame();
    out.rows = keep.size();
    out.cols.resize(width);
    for (size_t j = 0; j < width; ++j) {
        CsvColumn &c = out.cols[j];
        c.name = shape->cols[j].name;
        c.kind = (int) j == key ? CsvKind::Time : kinds[j];
        for (size_t i : keep) {
            const CsvColumn &src = files[rows[i].first].cols[j];
            const size_t r = rows[i].second;
            switch (c.kind) {
                case CsvKind::Time: c.ints.push_back(stamps[i]); break;
                case CsvKind::Int: c.ints.push_back(src.ints[r]); break;
                case CsvKind::Float:
                    c.floats.push_back(src.kind == CsvKind::Int ? (double) src.ints[r] : src.floats[r]);
                    break;
                case CsvKind::Text: c.texts.push_back(src.texts[r]); break;
            }
        }
    }
    return roll_adjust(out);
}

void reshape_mean(const std::vector<ReshapeInput> &inputs, size_t n_fields, size_t n_ids,
                  std::vector<int64_t> &dates, std::vector<double> &values) {
    // All dates: merged when each ticker's are ascending (the usual case), else sorted.
    dates.clear();
    std::vector<int64_t> merged, unsorted;
    for (const ReshapeInput &in : inputs) {
        if (std::is_sorted(in.dates, in.dates + in.rows)) {
            merged.clear();
            std::set_union(dates.begin(), dates.end(), in.dates, in.dates + in.rows, std::back_inserter(merged));
            dates.swap(merged);
            dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
        } else {
            unsorted.insert(unsorted.end(), in.dates, in.dates + in.rows);
        }
    }
    if (!unsorted.empty()) {
        dates.insert(dates.end(), unsorted.begin(), unsorted.end());
        std::sort(dates.begin(), dates.end());
        dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
    }
    const size_t nd = dates.size();
    const size_t height = n_fields * nd;
    // Column-major: each id's column is contiguous, so one ticker's rows are written in order.
    values.assign(height * n_ids, 0.0);
    std::vector<uint32_t> count(values.size(), 0);
    std::unordered_map<size_t, double> compensation;  // only cells that receive a second value
    for (const ReshapeInput &in : inputs) {
        size_t d = 0;
        const size_t base = (size_t) in.column * height;
        for (size_t r = 0; r < in.rows; ++r) {
            const int64_t t = in.dates[r];
            if (d >= nd || dates[d] != t) {
                if (d + 1 < nd && dates[d + 1] == t) ++d;
                else d = (size_t) (std::lower_bound(dates.begin(), dates.end(), t) - dates.begin());
            }
            for (size_t f = 0; f < n_fields; ++f) {
                const double v = in.fvalues[f] ? in.fvalues[f][r] : (double) in.ivalues[f][r];
                const size_t cell = base + f * nd + d;
                // The compensated running sum of pandas' grouped mean.
                double &sum = values[cell];
                if (count[cell] == 0) {
                    sum = 0.0 + v;
                } else {
                    double &comp = compensation[cell];
                    const double y = v - comp;
                    const double t2 = sum + y;
                    comp = t2 - sum - y;
                    if (comp != comp) comp = 0;
                    sum = t2;
                }
                ++count[cell];
            }
        }
    }
    for (size_t i = 0; i < values.size(); ++i) values[i] = count[i] ? values[i] / count[i] : kNaN;
}

}  // namespace orvane::core
