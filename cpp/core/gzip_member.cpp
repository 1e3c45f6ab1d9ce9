#include "core/gzip_member.hpp"

#include "core/crc32.hpp"
#include "core/huge_pages.hpp"
#include "core/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>

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

uint32_t little_endian32(const char *p) {
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The size of the gzip header (RFC 1952) that `data` begins with, for the headers read here: a
// deflate member whose flags are at most a text hint, extra field, name and comment. nullopt for
// anything else (a header CRC, unknown flags, a header cut short), which zlib reads and judges.
std::optional<size_t> header_size(std::string_view data) {
    enum : unsigned char { kText = 1, kHeaderCrc = 2, kExtra = 4, kName = 8, kComment = 16 };
    if (data.size() < 10 || uint8_t(data[0]) != 0x1f || uint8_t(data[1]) != 0x8b || data[2] != 8) return std::nullopt;
    const auto flags = uint8_t(data[3]);
    if (flags & ~(kText | kExtra | kName | kComment)) return std::nullopt;
    size_t at = 10;
    if (flags & kExtra) {
        if (data.size() < at + 2) return std::nullopt;
        at += 2 + (uint8_t(data[at]) | size_t(uint8_t(data[at + 1])) << 8);
    }
    for (unsigned text : {unsigned(kName), unsigned(kComment)}) {
        if (!(flags & text)) continue;
        const size_t zero = data.find('\0', std::min(at, data.size()));
        if (zero == std::string_view::npos) return std::nullopt;
        at = zero + 1;
    }
    if (at > data.size()) return std::nullopt;
    return at;
}

// One member decoded by inflater::inflate_raw, its trailer checked: Whole, or why not. Without
// `check_crc` the text's CRC is left to the caller: Whole then says that all else holds, and
// `crc` is the CRC the trailer states.
struct FastMember {
    enum How { Whole, TooLarge, Cancelled, Unread } how;  // Unread: for zlib to read and judge
    size_t produced;
    uint32_t crc = 0;
};

FastMember inflate_fast(std::string_view compressed, char *out, size_t capacity, size_t step,
                        const std::function<bool(size_t)> &progress, bool check_crc = true) {
    const std::optional<size_t> header = header_size(compressed);
    if (!header) return {FastMember::Unread, 0};
    // The CRC is taken as the text comes, over bytes still in the cache.
    uint32_t crc = 0;
    size_t summed = 0;
    auto sum_to = [&](size_t produced) {
        if (!check_crc) return;
        crc = crc32_continued(crc, out + summed, produced - summed);
        summed = produced;
    };
    const inflater::Result r = inflater::inflate_raw(compressed.substr(*header), out, capacity, step, [&](size_t produced) {
        sum_to(produced);
        return progress(produced);
    });
    switch (r.status) {
        case inflater::Status::Done: break;
        case inflater::Status::Full: return {FastMember::TooLarge, r.produced};
        case inflater::Status::Cancelled: return {FastMember::Cancelled, r.produced};
        case inflater::Status::Bad: return {FastMember::Unread, r.produced};
    }
    const size_t trailer = *header + r.in_used;
    if (compressed.size() != trailer + 8) return {FastMember::Unread, r.produced};  // cut short, or more after it
    if (r.produced == capacity) return {FastMember::TooLarge, r.produced};
    sum_to(r.produced);
    const uint32_t stated = little_endian32(compressed.data() + trailer);
    if ((check_crc && stated != crc) || little_endian32(compressed.data() + trailer + 4) != uint32_t(r.produced))
        return {FastMember::Unread, r.produced};
    return {FastMember::Whole, r.produced, stated};
}

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
    advise_huge_pages(out.data_.get(), capacity);
    const FastMember fast = inflate_fast(compressed, out.data_.get(), capacity, SIZE_MAX, [](size_t) { return true; });
    if (fast.how == FastMember::Whole) {
        out.size_ = fast.produced;
        return out;
    }
    // zlib reads what the fast decoder leaves (and judges a damaged stream)

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
        if (out_.data_) advise_huge_pages(out_.data_.get(), capacity_);
    }
    if (!out_.data_) {
        ended_ = true;
        return;
    }
    crc_by_reader_ = header_size(compressed).has_value();  // the members core/inflate reads
    worker_ = std::thread([this, compressed] { run(compressed); });
}

InflateAhead::~InflateAhead() {
    cancel();
    if (worker_.joinable()) worker_.join();
}

void InflateAhead::run(std::string_view compressed) {
    if (crc_by_reader_) {
        run_fast(compressed);
        return;
    }
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

void InflateAhead::run_fast(std::string_view compressed) {
    auto publish = [&](size_t produced) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_) return false;
            ready_ = produced;
        }
        changed_.notify_all();
        return true;
    };
    const FastMember fast = inflate_fast(compressed, out_.data_.get(), capacity_, kPublishStep, publish, false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stated_crc_ = fast.crc;
        if (fast.how == FastMember::Whole) ready_ = fast.produced;
        ended_ = true;
        whole_ = fast.how == FastMember::Whole;
        too_large_ = fast.how == FastMember::TooLarge;
    }
    changed_.notify_all();
}

void InflateAhead::sum_to(size_t end) {
    if (end <= summed_) return;
    crc_ = crc32_continued(crc_, out_.data_.get() + summed_, end - summed_);
    summed_ = end;
}

std::pair<size_t, bool> InflateAhead::wait(size_t seen) {
    if (crc_by_reader_) sum_to(seen);  // the bytes given so far, while more are being made
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
    if (crc_by_reader_) {
        sum_to(ready_);
        if (crc_ != stated_crc_) return std::nullopt;  // for zlib to read and judge
    }
    out_.size_ = ready_;
    return std::move(out_);
}

}  // namespace orvane::core::gzip_member
