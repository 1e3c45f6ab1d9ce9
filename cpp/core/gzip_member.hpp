// Inflating a gzip file held in memory, with zlib, for readers that then scan the whole text.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

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
};

// The contents of a gzip file made of exactly one member with nothing after it (what gzip.open
// reads back as one stream). nullopt for anything else (a damaged or truncated stream, several
// members, trailing bytes), so that the caller lets Python's gzip read it and report.
std::optional<Inflated> inflate_single(std::string_view compressed);

}  // namespace orvane::core::gzip_member
