// Large buffers asked to be backed by 2 MiB pages before they are first touched, as numpy asks for
// its arrays. Fresh memory is faulted in a page at a time, and a fault costs microseconds (more
// on virtual machines): a buffer of a few million rows otherwise spends more time on its faults
// than on being filled. Advice only: where the kernel declines, nothing changes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace orvane::core {

// Advises the whole 2 MiB pages inside [data, data + bytes) for buffers of 4 MiB and more.
inline void advise_huge_pages(const void *data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Room for `n` elements in `v`, advised before anything is written.
template <class T, class A>
void reserve_large(std::vector<T, A> &v, size_t n) {
    v.reserve(n);
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// `n` value-initialised elements, the memory advised before it is written.
template <class T>
std::vector<T> large_vector(size_t n) {
    std::vector<T> v;
    reserve_large(v, n);
    v.resize(n);
    return v;
}

// An allocator whose new elements are default-initialised: a resize leaves trivial values unwritten,
// for buffers that a later pass fills whole (their fresh pages are zeroed by the kernel once, not
// again here).
template <class T>
struct DefaultInit : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInit<U>;
    };
    DefaultInit() = default;
    template <class U>
    DefaultInit(const DefaultInit<U> &) noexcept {}
    template <class U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using scratch_vector = std::vector<T, DefaultInit<T>>;

// `n` elements left unwritten, the memory advised before it is first written.
template <class T>
scratch_vector<T> large_scratch(size_t n) {
    scratch_vector<T> v;
    reserve_large(v, n);
    v.resize(n);
    return v;
}

}  // namespace orvane::core
