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

namespace {
constexpr size_t kPublishStep = size_t(1) << 20;  // bytes inflated between two reports to the reader
}

InflateAhead::InflateAhead(std::string_view compressed) {
    if (compressed.size() >= 18) {  // a header and a trailer at least
        const auto *tail = reinterpret_cast<const unsigned char *>(compressed.data() + compressed.size() - 4);
        const size_t stated = size_t(tail[0]) | size_t(tail[1]) << 8 | size_t(tail[2]) << 16 | size_t(tail[3]) << 24;
        capacity_ = stated + 1;  // room for one byte more shows a text larger than stated
        out_.data_.reset(static_cast<char *>(std::malloc(capacity_)));
    }
    if (!out_.data_) {
        ended_ = true;
        return;
    }
    worker_ = std::thread([this, compressed] { run(compressed); });
}

InflateAhead::~InflateAhead() {
    cancel();
    if (worker_.joinable()) worker_.join();
}

void InflateAhead::run(std::string_view compressed) {
    bool whole = false, too_large = false;
    size_t produced = 0;
    Stream s;
    if (inflateInit2(&s.z, kGzipWindow) == Z_OK) {
        s.open = true;
        const auto *next_in = reinterpret_cast<const unsigned char *>(compressed.data());
        size_t left_in = compressed.size();
        while (true) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (cancelled_) break;
            }
            if (produced == capacity_) {
                too_large = true;
                break;
            }
            const size_t in_now = std::min(left_in, kStep);
            const size_t out_room = std::min({capacity_ - produced, kStep, kPublishStep});
            s.z.next_in = const_cast<unsigned char *>(next_in);
            s.z.avail_in = static_cast<uInt>(in_now);
            s.z.next_out = reinterpret_cast<unsigned char *>(out_.data_.get() + produced);
            s.z.avail_out = static_cast<uInt>(out_room);
            const int rc = inflate(&s.z, Z_NO_FLUSH);
            const size_t used = in_now - s.z.avail_in;
            next_in += used;
            left_in -= used;
            produced += out_room - s.z.avail_out;
            if (rc == Z_STREAM_END) {
                whole = left_in == 0 && produced < capacity_;  // nothing after the member, no more than stated
                too_large = produced == capacity_;
                break;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) break;                // damaged data
            if (rc == Z_BUF_ERROR && s.z.avail_out != 0) break;        // truncated
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ready_ = produced;
            }
            changed_.notify_all();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = produced;
        ended_ = true;
        whole_ = whole;
        too_large_ = too_large;
    }
    changed_.notify_all();
}

std::pair<size_t, bool> InflateAhead::wait(size_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ended_ || ready_ > seen; });
    return {ready_, ended_};
}

void InflateAhead::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
}

std::optional<Inflated> InflateAhead::finish() {
    if (worker_.joinable()) worker_.join();
    if (!whole_ || cancelled_) return std::nullopt;
    out_.size_ = ready_;
    return std::move(out_);
}

}  // namespace orvane::core::gzip_member
