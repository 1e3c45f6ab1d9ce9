// One ticker's bars from its files: stacked, windowed, sorted, time keys converted to
// nanoseconds, incomplete rows dropped and futures rolls back-adjusted.
#include "core/csv_internal.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <memory>
#include <unordered_map>

namespace orvane::core {

using namespace csv_internal;

namespace {

// Whether two texts are equal, inline: the texts compared here are short (dates, contract codes).
inline bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Ratio back-adjustment: every row before a change of contract is scaled by the ratio of the
// new contract's first close to the old one's last close, rolls applied in order.
bool roll_adjust(Scan &scan, Frame &f) {
    const int t = f.find("ticker");
    if (t < 0) return true;
    const CsvColumn &tk = f.cols[t];
    if (tk.kind != CsvKind::Text) return scan.refuse("a ticker column that is not text");
    std::vector<size_t> ends;  // last row of each old contract
    for (size_t r = 1; r < f.rows; ++r)
        if (!same_text(tk.texts[r], tk.texts[r - 1])) ends.push_back(r - 1);
    if (ends.empty()) return true;
    int cols[4] = {f.find("close"), f.find("open"), f.find("high"), f.find("low")};
    for (int c : cols)
        if (c < 0 || f.cols[c].kind != CsvKind::Float) return scan.refuse("prices that are not floats in a rolling series");
    const auto &close = f.cols[cols[0]].floats;
    std::vector<double> factors;
    for (size_t e : ends) factors.push_back(close[e + 1] / close[e]);
    for (int c : cols) {
        auto &v = f.cols[c].floats;
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

// One data file parsed; a file without rows has text columns, which pandas' stacking does not
// simply skip.
Parsed<Frame> load_data_file(std::string_view bytes, const CsvOptions &options) {
    Parsed<Frame> frame = parse_data_file(bytes, options);
    if (frame.ok() && frame.value().rows == 0) return Refusal{"a file without rows"};
    return frame;
}

// The frame's text values copied out of the file texts into one buffer of their own (a run of
// equal values shares one copy), so that the file texts can go as soon as a ticker is cleaned.
void own_texts(Frame &frame, std::vector<std::string> &buffers) {
    size_t bytes = 0;
    for (const CsvColumn &c : frame.cols)
        for (size_t r = 0; r < c.texts.size(); ++r)
            if (r == 0 || !same_text(c.texts[r], c.texts[r - 1])) bytes += c.texts[r].size();
    std::vector<std::string> owned(1);
    std::string &own = owned[0];  // stays in place: the vector is moved, never this string
    own.resize(bytes);
    size_t at = 0;
    for (CsvColumn &c : frame.cols) {
        std::string_view last_from, last_to;
        for (std::string_view &t : c.texts) {
            if (!t.data()) continue;  // missing stays missing
            if (!same_text(t, last_from) || !last_to.data()) {
                std::memcpy(own.data() + at, t.data(), t.size());
                last_from = t;
                last_to = std::string_view(own.data() + at, t.size());
                at += t.size();
            }
            t = last_to;
        }
    }
    buffers.swap(owned);  // the file texts go
}

// Consecutive rows [begin, end) of one file.
struct Run {
    uint32_t file, begin, end;
};

void add_row(std::vector<Run> &runs, uint32_t file, uint32_t row) {
    if (!runs.empty() && runs.back().file == file && runs.back().end == row) ++runs.back().end;
    else runs.push_back({file, row, row + 1});
}

// The window's rows and their stamps when every key of every file has one ISO form and each
// file's keys strictly ascend (then text order is time order, each file's window is found by
// bisection of its texts with the window's bounds written in that form, and no two keys are equal) and, when the bars are to be sorted, each
// file's rows in the window come after the previous file's. False when the files are not like
// that (the caller then goes row by row).
bool stamped_window(const std::vector<Frame> &files, int key, bool sort, const Window &window, std::vector<Run> &runs,
                    std::pmr::vector<int64_t> &stamps) {
    runs.clear();
    stamps.clear();
    if (files.empty() || files[0].rows == 0) return false;
    const size_t form = files[0].cols[key].texts[0].size();
    const std::string_view lower = window.lower_key(form), upper = window.upper_key(form);
    std::vector<int64_t> keys;
    stamps.reserve(std::accumulate(files.begin(), files.end(), size_t{0}, [](size_t n, const Frame &f) { return n + f.rows; }));
    int64_t last = 0;  // the last stamp taken so far
    for (size_t i = 0; i < files.size(); ++i) {
        const auto &k = files[i].cols[key].texts;
        const size_t n = files[i].rows;
        keys.resize(n);
        if (!iso_keys(k.data(), n, form, keys.data())) return false;
        for (size_t r = 1; r < n; ++r)
            if (!(keys[r - 1] < keys[r])) return false;
        const size_t begin = (size_t) (std::lower_bound(k.begin(), k.begin() + n, lower) - k.begin());
        const size_t end = (size_t) (std::upper_bound(k.begin(), k.begin() + n, upper) - k.begin());
        if (begin >= end) continue;
        if (sort && !stamps.empty() && !(last < keys[begin])) return false;
        last = keys[end - 1];
        runs.push_back({(uint32_t) i, (uint32_t) begin, (uint32_t) end});
        stamps.insert(stamps.end(), keys.begin() + begin, keys.begin() + end);
    }
    return true;
}

// The time keys of the rows as nanoseconds; all must have the first row's form.
bool key_stamps(const std::vector<Frame> &files, int key, const std::vector<Run> &runs, std::pmr::vector<int64_t> &stamps) {
    size_t total = 0;
    for (const Run &run : runs) total += run.end - run.begin;
    stamps.resize(total);
    if (total == 0) return true;
    const size_t form = files[runs[0].file].cols[key].texts[runs[0].begin].size();
    size_t at = 0;
    for (const Run &run : runs) {
        if (!iso_keys(files[run.file].cols[key].texts.data() + run.begin, run.end - run.begin, form, stamps.data() + at))
            return false;
        at += run.end - run.begin;
    }
    return true;
}

// Rows with a missing cell (NaN or empty text) dropped from the runs and from their stamps.
void drop_missing(const std::vector<Frame> &files, std::vector<Run> &runs, std::pmr::vector<int64_t> &stamps) {
    bool any = false;
    for (const Run &run : runs) {
        if (files[run.file].complete) continue;
        for (const CsvColumn &c : files[run.file].cols) {
            if (c.kind == CsvKind::Float)
                for (uint32_t r = run.begin; r < run.end && !any; ++r) any = std::isnan(c.floats[r]);
            else if (c.kind == CsvKind::Text)
                for (uint32_t r = run.begin; r < run.end && !any; ++r) any = c.texts[r].data() == nullptr;
        }
        if (any) break;
    }
    if (!any) return;
    std::vector<Run> kept;
    size_t i = 0, o = 0;
    for (const Run &run : runs) {
        const Frame &f = files[run.file];
        for (uint32_t r = run.begin; r < run.end; ++r, ++i) {
            bool missing = false;
            for (size_t j = 0; j < f.cols.size() && !missing; ++j) missing = is_missing(f.cols[j], r);
            if (missing) continue;
            stamps[o++] = stamps[i];
            add_row(kept, run.file, r);
        }
    }
    stamps.resize(o);
    runs.swap(kept);
}

// The stacked columns' kinds (ints meet floats as floats), from the first file with rows (`shape`);
// false when the files' columns differ in name, order or dtype.
bool stack_kinds(Scan &scan, const std::vector<Frame> &files, const Frame &shape, std::vector<CsvKind> &kinds) {
    const size_t width = shape.cols.size();
    kinds.resize(width);
    for (size_t j = 0; j < width; ++j) kinds[j] = shape.cols[j].kind;
    for (const Frame &f : files) {
        if (f.cols.size() != width) return scan.refuse("files with different columns");
        for (size_t j = 0; j < width; ++j) {
            if (f.cols[j].name != shape.cols[j].name) return scan.refuse("files with different columns");
            if (!f.rows) continue;
            CsvKind a = kinds[j], b = f.cols[j].kind;
            if (a == b) continue;
            if ((a == CsvKind::Int || a == CsvKind::Float) && (b == CsvKind::Int || b == CsvKind::Float)) kinds[j] = CsvKind::Float;
            else return scan.refuse("files whose column dtypes differ");
        }
    }
    return true;
}

// The rows in the window, row by row, sorted by time key when `sort`; false on equal keys among
// sorted rows (pandas' unstable sort decides their order, so let it).
bool window_rows(Scan &scan, const std::vector<Frame> &files, int key, bool sort, const Window &window,
                 std::vector<Run> &runs) {
    runs.clear();
    std::vector<std::pair<uint32_t, uint32_t>> rows;  // (file, row)
    for (size_t i = 0; i < files.size(); ++i) {
        const Frame &f = files[i];
        if (!f.rows) continue;
        const auto &k = f.cols[key].texts;
        for (size_t r = 0; r < f.rows; ++r)
            if (k[r].data() && window.contains(k[r])) rows.emplace_back((uint32_t) i, (uint32_t) r);
    }
    auto key_of = [&](const std::pair<uint32_t, uint32_t> &p) { return files[p.first].cols[key].texts[p.second]; };
    if (sort) {
        auto less = [&](const auto &x, const auto &y) { return key_of(x) < key_of(y); };
        if (!std::is_sorted(rows.begin(), rows.end(), less)) std::stable_sort(rows.begin(), rows.end(), less);
        for (size_t i = 1; i < rows.size(); ++i)
            if (key_of(rows[i]) == key_of(rows[i - 1])) return scan.refuse("equal time keys");
    }
    for (const auto &[file, row] : rows) add_row(runs, file, row);
    return true;
}

// Column j of every file gathered run by run into `c`, whose kind is set.
void gather(const std::vector<Frame> &files, const std::vector<Run> &runs, size_t j, size_t rows, CsvColumn &c) {
    if (c.kind == CsvKind::Int) c.ints.reserve(rows);
    else if (c.kind == CsvKind::Float) c.floats.reserve(rows);
    else c.texts.reserve(rows);
    for (const Run &run : runs) {
        const CsvColumn &src = files[run.file].cols[j];
        switch (c.kind) {
            case CsvKind::Int:
                c.ints.insert(c.ints.end(), src.ints.begin() + run.begin, src.ints.begin() + run.end);
                break;
            case CsvKind::Float:
                if (src.kind == CsvKind::Int)  // ints meeting floats in the stack
                    for (uint32_t r = run.begin; r < run.end; ++r) c.floats.push_back((double) src.ints[r]);
                else
                    c.floats.insert(c.floats.end(), src.floats.begin() + run.begin, src.floats.begin() + run.end);
                break;
            case CsvKind::Text:
                c.texts.insert(c.texts.end(), src.texts.begin() + run.begin, src.texts.begin() + run.end);
                break;
            case CsvKind::Time: break;
        }
    }
}

// The files' bars stacked, windowed, sorted, converted, dropped and rolled (see clean_ticker).
bool clean_files(Scan &scan, std::vector<Frame> &files, bool sort, const Window &window, Bars &bars) {
    const Frame *shape = nullptr;
    for (const Frame &f : files)
        if (f.rows) { shape = &f; break; }
    if (!shape) return scan.refuse("no rows");
    std::vector<CsvKind> kinds;
    if (!stack_kinds(scan, files, *shape, kinds)) return false;
    const int key = shape->find("time_key");
    if (key < 0 || kinds[key] != CsvKind::Text || shape->find("generic_ticker") >= 0) return scan.refuse("no text time key, or a generic_ticker column");

    // The columns in one block, room for every row of the files; the stamps become the time column.
    size_t total = 0;
    for (const Frame &f : files) total += f.rows;
    size_t bytes = 0;
    for (CsvKind k : kinds) bytes += ((k == CsvKind::Text ? sizeof(std::string_view) : sizeof(int64_t)) * total + 63) / 64 * 64;
    bars.frame = Frame();
    bars.block = std::make_unique<ColumnBlock>(bytes);
    std::pmr::memory_resource *const memory = bars.block->memory();

    // Window, then order by time key. The rows kept, in their final order, as runs of
    // consecutive rows of one file.
    std::vector<Run> runs;
    std::pmr::vector<int64_t> stamps(memory);
    const bool stamped = stamped_window(files, key, sort, window, runs, stamps);
    if (!stamped && !window_rows(scan, files, key, sort, window, runs)) return false;

    // Time keys to nanoseconds, then rows with a missing cell dropped.
    if (!stamped && !key_stamps(files, key, runs, stamps))
        return scan.refuse("time keys not all YYYY-MM-DD or all YYYY-MM-DD HH:MM:SS");
    drop_missing(files, runs, stamps);

    Frame &out = bars.frame;
    out.rows = stamps.size();
    out.cols.reserve(kinds.size());
    for (size_t j = 0; j < kinds.size(); ++j) {
        CsvColumn &c = out.cols.emplace_back(memory);
        c.name = shape->cols[j].name;
        c.kind = (int) j == key ? CsvKind::Time : kinds[j];
        if (c.kind == CsvKind::Time) c.ints = std::move(stamps);  // one memory: taken as it is
        else gather(files, runs, j, out.rows, c);
    }
    return roll_adjust(scan, out);
}

}  // namespace

namespace {

// The files' bars cleaned, their texts copied out of the file texts.
Parsed<Bars> clean(std::vector<Frame> &files, bool sort, const Window &window, const CsvOptions &options) {
    Scan scan{options};
    Bars bars;
    if (!clean_files(scan, files, sort, window, bars)) return Refusal{scan.why};
    own_texts(bars.frame, bars.buffers);
    return bars;
}

}  // namespace

Parsed<Bars> clean_ticker(const std::vector<std::string_view> &files, bool sort, const Window &window,
                          const CsvOptions &options) {
    std::vector<Frame> frames;
    for (size_t i = 0; i < files.size(); ++i) {
        Parsed<Frame> f = load_data_file(files[i], options);
        if (!f.ok()) return Refusal{f.refusal().why, (int) i};
        frames.push_back(std::move(f.value()));
    }
    return clean(frames, sort, window, options);
}

namespace {

// Where clean_tickers stands with one job: its files' bytes and frames as they are parsed.
struct Progress {
    std::vector<FileBytes> buffers;
    std::vector<Frame> files;
    std::vector<const char *> refusals;  // per file: null when it loaded
    std::atomic<size_t> pending{0};

    // The job's result once all its files are parsed: the first file at fault in the files'
    // order, as a reader going through them would find, or the cleaned bars. The file texts go
    // (the bars hold their own copy of theirs).
    Parsed<Bars> finish(const TickerJob &job, const CsvOptions &options) {
        Parsed<Bars> result = Refusal{"no file"};
        const auto fault = std::find_if(refusals.begin(), refusals.end(), [](const char *why) { return why != nullptr; });
        if (fault != refusals.end()) result = Refusal{*fault, (int) (fault - refusals.begin())};
        else result = clean(files, job.sort, job.window, options);
        std::vector<Frame>().swap(files);
        std::vector<FileBytes>().swap(buffers);
        return result;
    }
};

}  // namespace

void clean_tickers(std::vector<TickerJob> &jobs, const CsvOptions &options, unsigned threads, const ReadFile &read) {
    // Every file of every job is one task, in job order; the thread that parses a job's last file
    // cleans that job. Tasks are taken in order, so only a few jobs' files are held at a time.
    struct Task {
        size_t job, file;
    };
    std::vector<Task> tasks;
    std::vector<Progress> progress(jobs.size());
    for (size_t j = 0; j < jobs.size(); ++j) {
        const size_t n = jobs[j].files.size();
        for (size_t f = 0; f < n; ++f) tasks.push_back({j, f});
        jobs[j].result = Refusal{"no file"};
        progress[j].buffers.resize(n);
        progress[j].files.resize(n);
        progress[j].refusals.assign(n, nullptr);
        progress[j].pending = n;
    }
    parallel_for(tasks.size(), threads, [&](size_t k) {
        const Task t = tasks[k];
        Progress &p = progress[t.job];
        FileBytes &bytes = p.buffers[t.file];
        if (!read(jobs[t.job].files[t.file], bytes)) {
            p.refusals[t.file] = "the file cannot be read";
        } else {
            Parsed<Frame> f = load_data_file(bytes, options);
            if (f.ok()) p.files[t.file] = std::move(f.value());
            else p.refusals[t.file] = f.refusal().why;
        }
        if (p.pending.fetch_sub(1, std::memory_order_acq_rel) == 1) jobs[t.job].result = p.finish(jobs[t.job], options);
    });
}

}  // namespace orvane::core
