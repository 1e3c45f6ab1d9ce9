// Text held in Arrow's string layout (pyarrow's string and large_string chunks), described by
// pointers into the chunks' buffers: offsets, bytes and validity bits. Plain C++; the binding side
// fills it from the buffers it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace orvane::core {

// One chunk: row i's text runs from offset i to offset i + 1 of `bytes`; it is missing where its
// validity bit is clear.
struct TextChunk {
    const unsigned char *offsets = nullptr;  // from the chunk's first row on: int32 or int64 values
    const char *bytes = nullptr;
    int64_t byte_count = 0;
    const uint8_t *validity = nullptr;  // null when no row is missing
    int64_t validity_start = 0;         // the bit of the chunk's first row
};

struct TextChunks {
    bool large = false;                // large_string: int64 offsets; string: int32 offsets
    std::vector<TextChunk> chunks;
    std::vector<int64_t> first_row;    // column row of each chunk's first row, then the length

    // The chunk holding column row `row` (0 <= row < length); `c` is the previous answer, as rows
    // mostly come in runs.
    size_t chunk_of(int64_t row, size_t c) const {
        if (row >= first_row[c] && row < first_row[c + 1]) return c;
        // The last chunk starting at or before `row`, by a bisection without branches on the data
        // (the rows of a gather often jump between chunks at random).
        size_t base = 0, count = first_row.size() - 1;
        while (count > 1) {
            const size_t half = count / 2;
            base = first_row[base + half] <= row ? base + half : base;
            count -= half;
        }
        return base;
    }
    // Offset `i` of a chunk (0 <= i <= its length).
    int64_t offset(const TextChunk &chunk, int64_t i) const {
        if (large) {
            int64_t v;
            std::memcpy(&v, chunk.offsets + 8 * i, 8);
            return v;
        }
        int32_t v;
        std::memcpy(&v, chunk.offsets + 4 * i, 4);
        return v;
    }
    bool missing(const TextChunk &chunk, int64_t i) const {
        const int64_t bit = chunk.validity_start + i;
        return chunk.validity && !(chunk.validity[bit / 8] >> (bit % 8) & 1);
    }
    // Row `i` of a chunk; false when its offsets do not describe bytes of the chunk.
    bool text(const TextChunk &chunk, int64_t i, std::string_view &out) const {
        const int64_t from = offset(chunk, i), to = offset(chunk, i + 1);
        if (from < 0 || to < from || to > chunk.byte_count) return false;
        out = to > from ? std::string_view(chunk.bytes + from, static_cast<size_t>(to - from)) : std::string_view();
        return true;
    }
};

}  // namespace orvane::core
