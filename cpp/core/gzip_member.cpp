#include "core/gzip_member.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace orvane::core::gzip_member {

namespace {

constexpr int kGzipWindow = 15 + 16;  // the largest window, gzip header and trailer expected

// zlib counts in uInt: feed and drain at most this much per call.
constexpr size_t kStep = UINT_MAX;

struct Stream {
    z_stream z{};
    bool open = false;
    ~Stream() {
        if (open) inflateEnd(&z);
    }
};

}  // namespace

std::optional<Inflated> inflate_single(std::string_view compressed) {
    if (compressed.size() < 18) return std::nullopt;  // a header and a trailer at least
    Stream s;
    if (inflateInit2(&s.z, kGzipWindow) != Z_OK) return std::nullopt;
    s.open = true;

    // The trailer's last four bytes hold the size modulo 2^32: a first guess at the room needed.
    const auto *tail = reinterpret_cast<const unsigned char *>(compressed.data() + compressed.size() - 4);
    const size_t stated = size_t(tail[0]) | size_t(tail[1]) << 8 | size_t(tail[2]) << 16 | size_t(tail[3]) << 24;
    size_t capacity = std::max<size_t>(stated + 1, 4096);

    Inflated out;
    out.data_.reset(static_cast<char *>(std::malloc(capacity)));
    if (!out.data_) return std::nullopt;

    const auto *next_in = reinterpret_cast<const unsigned char *>(compressed.data());
    size_t left_in = compressed.size();
    while (true) {
        if (out.size_ == capacity) {  // the guess was short (a file over 4 GiB, or a wrong trailer)
            const size_t grown = capacity * 2;
            char *p = static_cast<char *>(std::realloc(out.data_.get(), grown));
            if (!p) return std::nullopt;
            out.data_.release();
            out.data_.reset(p);
            capacity = grown;
        }
        const size_t in_now = std::min(left_in, kStep), out_room = std::min(capacity - out.size_, kStep);
        s.z.next_in = const_cast<unsigned char *>(next_in);
        s.z.avail_in = static_cast<uInt>(in_now);
        s.z.next_out = reinterpret_cast<unsigned char *>(out.data_.get() + out.size_);
        s.z.avail_out = static_cast<uInt>(out_room);
        const int rc = inflate(&s.z, Z_NO_FLUSH);
        const size_t used = in_now - s.z.avail_in;
        next_in += used;
        left_in -= used;
        out.size_ += out_room - s.z.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return std::nullopt;  // damaged data
        if (rc == Z_BUF_ERROR && s.z.avail_out != 0) return std::nullopt;  // room left but no input: truncated
    }
    if (left_in != 0) return std::nullopt;  // another member, or bytes after the stream
    return out;
}

}  // namespace orvane::core::gzip_member
