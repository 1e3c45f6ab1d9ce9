// The core's one door to the file system: a file read whole into memory. The readers and
// cleaners take bytes; the caller reads them through this (or its own reader, in tests).
#pragma once

#include <string>

namespace orvane::core {

// Reads the file at `path` whole into `out`; false when it cannot be opened or read (or its path
// holds a NUL byte).
bool read_file(const std::string &path, std::string &out);

}  // namespace orvane::core
