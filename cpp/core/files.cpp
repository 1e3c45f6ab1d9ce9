// A file read whole: sized once from its length, then read straight into place.
#include "core/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::core {

namespace {

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool read_file(const std::string &path, FileBytes &out) {
    if (path.find('\0') != std::string::npos) return false;  // the C library would cut the path there
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    // A file that grows or shrinks meanwhile is read to its end all the same.
    struct stat st;
    const bool stated = ::fstat(fd.get(), &st) == 0;
    const size_t size = stated && st.st_size > 0 ? (size_t) st.st_size : 0;
    // A regular file reads short only at its end: no further read is needed to find it.
    const bool regular = stated && S_ISREG(st.st_mode);
    out.size_ = 0;
    out.reserve(size + 1);
    bool ok = true;
    while (true) {
        if (out.size_ == out.room_) out.reserve(out.room_ * 2 + 65536);
        const size_t asked = out.room_ - out.size_;
        const ssize_t n = ::read(fd.get(), out.data_.get() + out.size_, asked);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.size_ += (size_t) n;
        if (regular && (size_t) n < asked) break;
    }
    return ok;
}

}  // namespace orvane::core
