// Text held by pyarrow (pandas 3's `str`, ArrowDtype(pa.string()), ...) read in place: the chunks
// of a string or large_string ChunkedArray, their offsets, bytes and validity bits.
#pragma once

#include "core/text_chunks.hpp"
#include "glue/glue.hpp"

#include <cstdint>
#include <vector>

namespace glue {

// The chunks' layout is the core's, so that plain C++ reads them.
using ArrowTextChunk = orvane::core::TextChunk;
using ArrowTexts = orvane::core::TextChunks;

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
