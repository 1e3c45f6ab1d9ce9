// The CRC-32 of gzip members (zlib's crc32), with carry-less multiplication where the processor
// has it (asked at run time).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane::core {

// zlib's crc32(crc, data, size): the CRC of `size` more bytes, continuing `crc` (0 to begin).
uint32_t crc32_continued(uint32_t crc, const char *data, size_t size);

}  // namespace orvane::core
