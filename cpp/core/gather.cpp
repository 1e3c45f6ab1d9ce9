// Gathers at rows: numbers, Arrow text, and the ranks of texts. The rows of a gather are scattered
// over a source far larger than the cache, so the source is fetched a few rows (or runs) before it
// is read.
#include "core/gather.hpp"

#include "core/distinct_texts.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <limits>
#include <string_view>

namespace orvane::core {

RowSpan::RowSpan(const int64_t *rows, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        lowest = std::min(lowest, rows[i]);
        highest = std::max(highest, rows[i]);
    }
}

namespace {

template <class From, class To>
void take(const From *from, const int64_t *rows, size_t n, To *to, To missing) {
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n && rows[i + kAhead] >= 0) __builtin_prefetch(from + rows[i + kAhead]);
        to[i] = rows[i] < 0 ? missing : static_cast<To>(from[rows[i]]);
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void take_numbers(const double *from, const int64_t *rows, size_t n, double *to) { take(from, rows, n, to, kNaN); }
void take_numbers(const int64_t *from, const int64_t *rows, size_t n, double *to) { take(from, rows, n, to, kNaN); }
void take_numbers(const int64_t *from, const int64_t *rows, size_t n, int64_t *to) {
    take(from, rows, n, to, int64_t{0});  // no row is -1
}
void take_stamps(const int64_t *from, const int64_t *rows, size_t n, int64_t *to) {
    take(from, rows, n, to, std::numeric_limits<int64_t>::min());
}

// ---- text ------------------------------------------------------------------------------------

namespace {

template <class Offset>
int64_t load(const unsigned char *offsets, int64_t i) {
    Offset v;
    std::memcpy(&v, offsets + sizeof(Offset) * static_cast<size_t>(i), sizeof(Offset));
    return v;
}

template <class Offset>
void store(unsigned char *offsets, size_t i, int64_t v) {
    const Offset o = static_cast<Offset>(v);
    std::memcpy(offsets + sizeof(Offset) * i, &o, sizeof(Offset));
}

// How many runs ahead the source is fetched into the cache.
constexpr size_t kRunsAhead = 8;

}  // namespace

// The runs of `rows`: following rows of one chunk, one row repeated, or missing rows.
bool TextTake::find_runs(const TextChunks &src, const int64_t *rows, size_t n) {
    const int64_t length = src.first_row.back();
    size_t c = 0;
    runs_.clear();
    for (size_t i = 0, j = 0; i < n; i = j) {
        Run run;
        j = i + 1;
        if (rows[i] == -1) {
            while (j < n && rows[j] == -1) ++j;
        } else {
            if (rows[i] < 0 || rows[i] >= length) return false;
            c = src.chunk_of(rows[i], c);
            run.chunk = static_cast<uint32_t>(c);
            run.local = rows[i] - src.first_row[c];
            if (j < n && rows[j] == rows[i]) {
                run.kind = Run::kRepeated;
                while (j < n && rows[j] == rows[i]) ++j;
            } else {
                run.kind = Run::kFollowing;
                while (j < n && rows[j] == rows[j - 1] + 1 && rows[j] < src.first_row[c + 1]) ++j;
            }
        }
        run.count = static_cast<int64_t>(j - i);
        runs_.push_back(run);
    }
    return true;
}

// The result's offsets, run by run, and each run's source bytes.
template <class Offset>
bool TextTake::write_offsets(const TextChunks &src, unsigned char *out) {
    total_ = missing_ = 0;
    size_t k = 0;  // result row
    for (size_t r = 0; r < runs_.size(); ++r) {
        if (r + kRunsAhead < runs_.size() && runs_[r + kRunsAhead].kind != Run::kMissing) {
            const Run &ahead = runs_[r + kRunsAhead];
            __builtin_prefetch(src.chunks[ahead.chunk].offsets + sizeof(Offset) * static_cast<size_t>(ahead.local));
        }
        Run &run = runs_[r];
        if (run.kind == Run::kMissing) {
            for (int64_t i = 0; i < run.count; ++i) store<Offset>(out, k++, total_);
            missing_ += run.count;
            continue;
        }
        const TextChunk &chunk = src.chunks[run.chunk];
        const int64_t from = load<Offset>(chunk.offsets, run.local);
        if (from < 0) return false;
        int64_t at = from;
        if (run.kind == Run::kRepeated) {
            at = load<Offset>(chunk.offsets, run.local + 1);
            if (at < from) return false;
            for (int64_t i = 0; i < run.count; ++i) store<Offset>(out, k++, total_ + i * (at - from));
        } else {
            for (int64_t i = 0; i < run.count; ++i) {
                store<Offset>(out, k++, total_ + (at - from));
                const int64_t next = load<Offset>(chunk.offsets, run.local + i + 1);
                if (next < at) return false;
                at = next;
            }
        }
        if (at > chunk.byte_count) return false;
        run.bytes = chunk.bytes + from;
        run.size = at - from;
        total_ += run.kind == Run::kRepeated ? run.size * run.count : run.size;
    }
    store<Offset>(out, k, total_);
    return true;
}

bool TextTake::plan(const TextChunks &src, const int64_t *rows, size_t n, unsigned char *offsets) {
    n_ = n;
    if (!find_runs(src, rows, n)) return false;
    if (src.large) return write_offsets<int64_t>(src, offsets);
    return write_offsets<int32_t>(src, offsets) && total_ <= INT32_MAX;
}

void TextTake::copy(unsigned char *out, unsigned char *valid) const {
    if (valid) std::memset(valid, 0, (n_ + 7) / 8);
    int64_t at = 0;
    size_t k = 0;  // result row
    for (size_t r = 0; r < runs_.size(); ++r) {
        if (r + kRunsAhead < runs_.size()) __builtin_prefetch(runs_[r + kRunsAhead].bytes);
        const Run &run = runs_[r];
        if (run.kind == Run::kMissing) {
            k += static_cast<size_t>(run.count);
            continue;
        }
        if (valid)
            for (size_t i = k; i < k + static_cast<size_t>(run.count); ++i)
                valid[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        k += static_cast<size_t>(run.count);
        if (run.size == 0) continue;
        unsigned char *to = out + at;
        std::memcpy(to, run.bytes, static_cast<size_t>(run.size));
        if (run.kind == Run::kRepeated) {
            // The text once, then what is written so far copied after itself until the run is full.
            const int64_t whole = run.size * run.count;
            for (int64_t done = run.size; done < whole; done *= 2)
                std::memcpy(to + done, to, static_cast<size_t>(std::min(done, whole - done)));
            at += whole;
        } else {
            at += run.size;
        }
    }
}

// ---- ranks of texts --------------------------------------------------------------------------

namespace {

// Rows [begin, end) numbered by their text in `distinct`, into `codes`. A row's chunk is found and
// its offsets fetched kAhead rows before it is read, its bytes kAhead / 2 rows before.
bool number_texts(const TextChunks &src, const int64_t *rows, size_t begin, size_t end, DistinctTexts &distinct,
                  int64_t *codes) {
    const int64_t length = src.first_row.back();
    constexpr size_t kAhead = 16;
    struct Place {
        const TextChunk *chunk = nullptr;
        int64_t local = 0;
    };
    Place ahead[kAhead];
    struct Recent {
        int64_t row = INT64_MIN;
        std::string_view text;
        int64_t code = 0;
    };
    constexpr size_t kRecent = 1024;  // rows read lately, by row number
    std::vector<Recent> recent(kRecent);
    size_t hint = 0;
    auto place = [&](size_t i) {
        if (rows[i] < 0 || rows[i] >= length) return Place{};
        hint = src.chunk_of(rows[i], hint);
        Place p{&src.chunks[hint], rows[i] - src.first_row[hint]};
        __builtin_prefetch(p.chunk->offsets + (src.large ? 8 : 4) * static_cast<size_t>(p.local));
        return p;
    };
    for (size_t i = begin; i < std::min(end, begin + kAhead); ++i) ahead[i % kAhead] = place(i);
    for (size_t i = begin; i < end; ++i) {
        if (i + kAhead / 2 < end) {
            const Place &p = ahead[(i + kAhead / 2) % kAhead];
            if (p.chunk) {
                const int64_t from = src.offset(*p.chunk, p.local);
                if (from >= 0 && from < p.chunk->byte_count) __builtin_prefetch(p.chunk->bytes + from);
            }
        }
        const Place p = ahead[i % kAhead];
        if (i + kAhead < end) ahead[i % kAhead] = place(i + kAhead);
        std::string_view text;
        if (!p.chunk || !src.text(*p.chunk, p.local, text)) return false;
        // A row whose preceding row was read a little earlier (a security's bar a minute after
        // another) shares that row's code when their texts are equal, without a lookup.
        const int64_t row = rows[i];
        const Recent &before = recent[static_cast<size_t>(row - 1) & (kRecent - 1)];
        const int64_t code = before.row == row - 1 && before.text == text ? before.code : distinct.code(text);
        recent[static_cast<size_t>(row) & (kRecent - 1)] = Recent{row, text, code};
        codes[i] = code;
    }
    return true;
}

}  // namespace

bool rank_text_rows(const TextChunks &src, const int64_t *rows, size_t n, unsigned threads,
                    std::vector<int64_t> &codes) {
    // The rows in parts, one per thread, each numbering its own texts; then every part's distinct
    // texts ranked together.
    constexpr size_t kRowsPerPart = size_t{1} << 14;
    const size_t parts = std::clamp<size_t>(n / kRowsPerPart, 1, std::max(threads, 1u));
    codes = large_vector<int64_t>(n);
    std::vector<DistinctTexts> numbered(parts);
    std::vector<char> read(parts, 0);
    parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        read[p] = number_texts(src, rows, n * p / parts, n * (p + 1) / parts, numbered[p], codes.data());
    });
    if (std::find(read.begin(), read.end(), 0) != read.end()) return false;
    std::vector<std::string_view> ranked;
    for (const DistinctTexts &d : numbered)
        for (size_t k = 0; k < d.size(); ++k) ranked.push_back(d.text(k));
    std::sort(ranked.begin(), ranked.end());
    ranked.erase(std::unique(ranked.begin(), ranked.end()), ranked.end());
    parallel_for(parts, static_cast<unsigned>(parts), [&](size_t p) {
        const DistinctTexts &d = numbered[p];
        std::vector<int64_t> rank(d.size());
        for (size_t k = 0; k < d.size(); ++k)
            rank[k] = std::lower_bound(ranked.begin(), ranked.end(), d.text(k)) - ranked.begin();
        for (size_t i = n * p / parts; i < n * (p + 1) / parts; ++i) codes[i] = rank[static_cast<size_t>(codes[i])];
    });
    return true;
}

}  // namespace orvane::core
