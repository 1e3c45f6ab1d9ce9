// The core's one door to the file system: a file read whole into memory. The readers and
// cleaners take bytes; the caller reads them through this (or its own reader, in tests).
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace orvane::core {

// A file's bytes, in room that is not zero-filled first: the read writes every byte kept.
class FileBytes {
public:
    const char *data() const { return data_.get(); }
    size_t size() const { return size_; }
    operator std::string_view() const { return {data_.get(), size_}; }

    // Exactly the bytes of `s`, in room of exactly their size (so that a read past them is one
    // past the allocation).
    void assign(std::string_view s) {
        data_ = std::make_unique_for_overwrite<char[]>(s.size() ? s.size() : 1);
        room_ = s.size() ? s.size() : 1;
        size_ = s.size();
        if (size_) std::memcpy(data_.get(), s.data(), size_);
    }

private:
    friend bool read_file(const std::string &path, FileBytes &out);
    // Room for `room` bytes, the first size() kept and the rest left unwritten.
    void reserve(size_t room) {
        if (room <= room_) return;
        std::unique_ptr<char[]> more = std::make_unique_for_overwrite<char[]>(room);
        if (size_) std::memcpy(more.get(), data_.get(), size_);
        data_ = std::move(more);
        room_ = room;
    }

    std::unique_ptr<char[]> data_;
    size_t size_ = 0, room_ = 0;
};

// Reads the file at `path` whole into `out`; false when it cannot be opened or read (or its path
// holds a NUL byte).
bool read_file(const std::string &path, FileBytes &out);

}  // namespace orvane::core
