// The CSV reader's scan of a file's bytes: the header lines and the two layouts (flat, grouped with
// its principal group); the body's columns come from csv_body.cpp. Lines end in LF or CRLF (pandas
// and the csv module read both alike). Anything it cannot decide exactly is refused, with the
// reason kept for the caller's log.
#include "core/csv_internal.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace orvane::core {

using namespace csv_internal;

int Frame::find(std::string_view name) const {
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].name == name) return (int) i;
    return -1;
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
    // The fast road reads no cell as missing: it leaves such a file to the general one.
    out.complete = fast_body(scan.options, body_begin, stop, width, parsed, rows);
    if (!out.complete) {
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
