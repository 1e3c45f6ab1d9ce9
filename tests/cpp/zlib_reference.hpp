// zlib as the reference the DEFLATE decoder is checked against (test_inflate, fuzz_inflate).
#pragma once

#include <zlib.h>

#include <string>

namespace zlib_reference {

// zlib's deflate of `text`: raw (window_bits -9 .. -15) or gzip (31).
inline std::string deflate(const std::string &text, int level, int strategy, int window_bits = -15, int mem_level = 8) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, window_bits, mem_level, strategy);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    ::deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// What zlib reads from a raw stream into at most `room` bytes: true with the text when it reaches
// the stream's end, false when it reports an error or wants more input or room.
inline bool reads(const std::string &raw, std::string &text, size_t room) {
    z_stream z{};
    inflateInit2(&z, -15);
    text.assign(room, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
    z.avail_in = uInt(raw.size());
    z.next_out = reinterpret_cast<Bytef *>(text.data());
    z.avail_out = uInt(text.size());
    const int rc = inflate(&z, Z_FINISH);
    text.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

}  // namespace zlib_reference
