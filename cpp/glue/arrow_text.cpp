#include "glue/arrow_text.hpp"

#include <algorithm>

namespace glue {

size_t ArrowTexts::chunk_of(int64_t row, size_t c) const {
    if (row >= first_row[c] && row < first_row[c + 1]) return c;
    return static_cast<size_t>(std::upper_bound(first_row.begin(), first_row.end(), row) - first_row.begin()) - 1;
}

namespace {

int64_t buffer_size(nb::handle buffer) { return nb::cast<int64_t>(buffer.attr("size")); }

template <class T>
const T *buffer_data(nb::handle buffer) {
    return reinterpret_cast<const T *>(nb::cast<uintptr_t>(buffer.attr("address")));
}

}  // namespace

bool arrow_texts(nb::handle chunked, ArrowTexts &out) {
    nb::object types = import("pyarrow").attr("types");
    nb::object type = chunked.attr("type");
    out.large = truthy(types.attr("is_large_string")(type));
    if (!out.large && !truthy(types.attr("is_string")(type))) return false;
    const int64_t width = out.large ? 8 : 4;
    out.chunks.clear();
    out.first_row.assign(1, 0);
    for (nb::handle chunk : chunked.attr("chunks")) {
        const int64_t length = static_cast<int64_t>(nb::len(chunk));
        const int64_t start = nb::cast<int64_t>(chunk.attr("offset"));
        nb::object buffers = chunk.attr("buffers")();
        if (nb::len(buffers) != 3 || start < 0) return false;
        nb::object validity = buffers[0], offsets = buffers[1], bytes = buffers[2];
        ArrowTextChunk c;
        if (length > 0) {
            if (offsets.is_none() || buffer_size(offsets) / width < start + length + 1) return false;
            c.offsets = buffer_data<unsigned char>(offsets) + width * start;
            if (!bytes.is_none()) {
                c.bytes = buffer_data<char>(bytes);
                c.byte_count = buffer_size(bytes);
            }
            if (!validity.is_none()) {
                if (buffer_size(validity) * 8 < start + length) return false;
                c.validity = buffer_data<uint8_t>(validity);
                c.validity_start = start;
            }
        }
        out.chunks.push_back(c);
        out.first_row.push_back(out.first_row.back() + length);
    }
    return true;
}

}  // namespace glue
