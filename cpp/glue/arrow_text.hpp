// Text held by pyarrow (pandas 3's `str`, ArrowDtype(pa.string()), ...) read in place: the chunks
// of a string or large_string ChunkedArray, their offsets, bytes and validity bits.
#pragma once

#include "glue/glue.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace glue {

// One chunk: row i's text runs from offset i to offset i + 1 of `bytes`; it is missing where its
// validity bit is clear.
struct ArrowTextChunk {
    const unsigned char *offsets = nullptr;  // from the chunk's first row on: int32 or int64 values
    const char *bytes = nullptr;
    int64_t byte_count = 0;
    const uint8_t *validity = nullptr;  // null when no row is missing
    int64_t validity_start = 0;         // the bit of the chunk's first row
};

struct ArrowTexts {
    bool large = false;                // large_string: int64 offsets; string: int32 offsets
    std::vector<ArrowTextChunk> chunks;
    std::vector<int64_t> first_row;    // column row of each chunk's first row, then the length

    // The chunk holding column row `row` (0 <= row < length); `c` is the previous answer, as rows
    // mostly come in runs.
    size_t chunk_of(int64_t row, size_t c) const;
    // Offset `i` of a chunk (0 <= i <= its length).
    int64_t offset(const ArrowTextChunk &chunk, int64_t i) const {
        if (large) {
            int64_t v;
            std::memcpy(&v, chunk.offsets + 8 * i, 8);
            return v;
        }
        int32_t v;
        std::memcpy(&v, chunk.offsets + 4 * i, 4);
        return v;
    }
    bool missing(const ArrowTextChunk &chunk, int64_t i) const {
        const int64_t bit = chunk.validity_start + i;
        return chunk.validity && !(chunk.validity[bit / 8] >> (bit % 8) & 1);
    }
    // Row `i` of a chunk; false when its offsets do not describe bytes of the chunk.
    bool text(const ArrowTextChunk &chunk, int64_t i, std::string_view &out) const {
        const int64_t from = offset(chunk, i), to = offset(chunk, i + 1);
        if (from < 0 || to < from || to > chunk.byte_count) return false;
        out = to > from ? std::string_view(chunk.bytes + from, static_cast<size_t>(to - from)) : std::string_view();
        return true;
    }
};

// Where a pyarrow Buffer's bytes are, as T.
template <class T>
T *buffer_data(nb::handle buffer) {
    return reinterpret_cast<T *>(nb::cast<uintptr_t>(buffer.attr("address")));
}

// The chunks of a pyarrow ChunkedArray of string or large_string, each buffer checked to hold the
// rows it describes; false for any other type or layout.
bool arrow_texts(nb::handle chunked, ArrowTexts &out);

// ---- pandas arrays and pyarrow, through their public interfaces ------------------------------

// The pyarrow data of a pandas array that pandas keeps in pyarrow (a `StringDtype` of pyarrow
// storage, such as pandas 3's `str`, or an `ArrowDtype`), as its `__arrow_array__` gives it without
// a copy; None for any other array.
nb::object arrow_data(nb::handle values);
// A pandas array of `dtype` holding a pyarrow array (pd.array; no copy for pyarrow text).
nb::object array_from_arrow(nb::handle array, nb::handle dtype);
// What a Series holds: its pandas array for an extension or datetime dtype, else its numpy array
// (no copy), as pandas' own operations see it.
nb::object series_values(nb::handle series);

}  // namespace glue
