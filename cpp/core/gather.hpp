// Gathers of column values at rows, -1 standing for a missing row (pandas' `take` with
// allow_fill): numbers from a float64 or int64 buffer, text from Arrow string chunks into a new
// Arrow string array, and the sorted ranks of the texts at rows. Plain C++ on pointers and lengths;
// the binding side holds the buffers and makes the results' memory.
#pragma once

#include "core/text_chunks.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::core {

// The smallest and largest of a gather's rows (INT64_MAX and INT64_MIN for none).
struct RowSpan {
    int64_t lowest = INT64_MAX, highest = INT64_MIN;
    RowSpan() = default;
    RowSpan(const int64_t *rows, size_t n);
};

// to[i] = from[rows[i]]; a float64 result holds NaN where rows[i] is -1. Every row must lie in
// the source (see RowSpan), and int64 results take no -1.
void take_numbers(const double *from, const int64_t *rows, size_t n, double *to);
void take_numbers(const int64_t *from, const int64_t *rows, size_t n, double *to);
void take_numbers(const int64_t *from, const int64_t *rows, size_t n, int64_t *to);
// The same for time stamps held as int64: INT64_MIN (NaT) where rows[i] is -1.
void take_stamps(const int64_t *from, const int64_t *rows, size_t n, int64_t *to);

// The texts of `src` at `rows` as one new chunk of the same layout, in two steps around the
// allocation of its bytes: `plan` writes the offsets and says how many bytes follow, `copy` writes
// them. Stretches of rows that follow each other in one chunk, and repeats of one row (a gather
// from a few distinct rows mostly repeats them), are copied at once.
class TextTake {
public:
    // The result's n + 1 offsets (int64 for large chunks, else int32) into `offsets`. False for a
    // row outside the column, offsets that do not describe bytes of their chunk, or int32 offsets
    // that cannot hold the result.
    bool plan(const TextChunks &src, const int64_t *rows, size_t n, unsigned char *offsets);
    int64_t bytes() const { return total_; }    // of the result, after plan
    int64_t missing() const { return missing_; }  // rows of the result
    // The result's bytes() bytes into `bytes`, and, when some rows are missing, its (n + 7) / 8
    // validity bytes into `validity` (null otherwise).
    void copy(unsigned char *bytes, unsigned char *validity) const;

private:
    struct Run {
        enum Kind : uint8_t { kFollowing, kRepeated, kMissing };
        Kind kind = kMissing;
        uint32_t chunk = 0;
        int64_t local = 0;            // chunk row of the first source row
        int64_t count = 0;            // result rows
        const char *bytes = nullptr;  // the stretch's source bytes (following) or its one row's (repeated)
        int64_t size = 0;             // their length
    };
    bool find_runs(const TextChunks &src, const int64_t *rows, size_t n);
    template <class Offset>
    bool write_offsets(const TextChunks &src, unsigned char *out);

    std::vector<Run> runs_;
    size_t n_ = 0;
    int64_t total_ = 0, missing_ = 0;
};

// pd.factorize(texts at rows, sort=True)[0] for chunks without missing rows: each row's text
// numbered (in parts, on up to `threads` threads), then the distinct texts ranked in byte order (the
// order in which pyarrow, and so pandas, sorts str). False for a row outside the column or offsets
// that do not describe bytes of their chunk.
bool rank_text_rows(const TextChunks &src, const int64_t *rows, size_t n, unsigned threads,
                    std::vector<int64_t> &codes);

}  // namespace orvane::core
