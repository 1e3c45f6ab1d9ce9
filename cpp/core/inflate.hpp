// A raw DEFLATE decoder (RFC 1951) into a buffer of known room, built for speed on large texts:
// a 64-bit bit buffer refilled a word at a time, one table lookup per symbol for all but the
// longest codes (one for two literals whose codes are short enough together), a length or
// distance taken with its extra bits in one step, matches copied a word at a time.
//
// It accepts no more than zlib does: every stream zlib rejects is rejected here too (bad block
// types, stored lengths, code sets that are over-subscribed or incomplete, repeats without a
// length before them, symbols no code defines, distances before the start). It may reject a few
// streams zlib reads (a distance code set made of one code of one bit), so a caller keeps zlib to
// read those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace orvane::core::inflater {

enum class Status {
    Done,       // the last block ended
    Bad,        // not a stream this decoder reads (see above), or one that ends early
    Full,       // the output needs more than `capacity` bytes
    Cancelled,  // `progress` asked to stop
};

struct Result {
    Status status = Status::Bad;
    size_t in_used = 0;   // bytes of the input read up to the end of the last block (Done)
    size_t produced = 0;  // bytes written to `out`
};

// Decodes the stream at the start of `in` into `out`, which has room for `capacity` bytes. After
// each block whose end brings at least `step` new bytes since the last call, `progress(produced)`
// is called (the bytes before `produced` are final); it returns false to stop. It is not called
// at the end: the caller has the Result.
Result inflate_raw(std::string_view in, char *out, size_t capacity, size_t step,
                   const std::function<bool(size_t)> &progress);

}  // namespace orvane::core::inflater
