// Inflating a gzip file held in memory, for readers that then scan the whole text: by core/inflate
// where it reads the member (its trailer's CRC and size checked), else by zlib.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace orvane::core::gzip_member {

// Decompressed bytes, in one malloc'd block (not zero-filled first, unlike a std::string).
class Inflated {
public:
    std::string_view text() const { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(char *p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, Free> data_;
    size_t size_ = 0;
    friend std::optional<Inflated> inflate_single(std::string_view);
    friend class InflateAhead;
};

// The contents of a gzip file made of exactly one member with nothing after it (what gzip.open
// reads back as one stream). nullopt for anything else (a damaged or truncated stream, several
// members, trailing bytes), so that the caller lets Python's gzip read it and report.
std::optional<Inflated> inflate_single(std::string_view compressed);

// inflate_single on a thread of its own, into a buffer sized by the trailer's size field, so that
// the caller can read the text while the rest is being inflated. One reader thread calls wait()
// and finish(): where core/inflate reads the member, that thread also takes the text's CRC, over
// the bytes it has been given, while it would otherwise wait for more.
class InflateAhead {
public:
    explicit InflateAhead(std::string_view compressed);  // `compressed` must outlive this
    ~InflateAhead();
    InflateAhead(const InflateAhead &) = delete;
    InflateAhead &operator=(const InflateAhead &) = delete;

    // Blocks until more than `seen` bytes are ready or inflating has ended: (bytes ready, ended).
    std::pair<size_t, bool> wait(size_t seen);
    const char *data() const { return out_.data_.get(); }  // the ready bytes are valid
    void cancel();  // stop early (finish() then gives nullopt)
    // After the end: inflate_single's answer, except nullopt too when the text is larger than the
    // trailer says (then too_large()), or when cancelled.
    std::optional<Inflated> finish();
    bool too_large() const { return too_large_; }

private:
    void run(std::string_view compressed);
    void run_fast(std::string_view compressed);  // run() for the members core/inflate reads
    void sum_to(size_t end);                      // the reader's CRC taken up to `end`
    Inflated out_;
    size_t capacity_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t ready_ = 0;
    bool ended_ = false, whole_ = false, cancelled_ = false, too_large_ = false;
    bool crc_by_reader_ = false;  // set before the worker starts
    uint32_t stated_crc_ = 0;     // the trailer's, once the worker has ended
    uint32_t crc_ = 0;            // the reader's own: the CRC of the first `summed_` bytes
    size_t summed_ = 0;
    std::thread worker_;
};

}  // namespace orvane::core::gzip_member
