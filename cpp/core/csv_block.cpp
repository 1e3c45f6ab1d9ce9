// A cleaned ticker's column memory: one block; a large one mapped on its own, aligned to and
// advised for 2 MiB pages, and given back to the system as soon as it goes.
#include "core/csv_bars.hpp"
#include "core/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace orvane::core {

namespace {

constexpr size_t kHugePage = size_t{1} << 21;

// `bytes` mapped at a 2 MiB boundary (the map's slack before and after given back); null when the
// system refuses.
std::byte *map_aligned(size_t bytes) {
    void *p = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(p);
    const uintptr_t start = (base + kHugePage - 1) & ~(kHugePage - 1);
    if (start > base) munmap(p, start - base);
    const uintptr_t tail = start + bytes, end = base + bytes + kHugePage;
    if (end > tail) munmap(reinterpret_cast<void *>(tail), end - tail);
    return reinterpret_cast<std::byte *>(start);
}

}  // namespace

void ColumnBlock::Release::operator()(std::byte *p) const {
    if (mapped) munmap(p, mapped);
    else std::free(p);
}

std::unique_ptr<std::byte, ColumnBlock::Release> ColumnBlock::take(size_t bytes) {
    // Only a block that can hold whole 2 MiB pages is mapped (advise_huge_pages' rule).
    if (bytes >= 2 * kHugePage) {
        bytes = (bytes + 4095) & ~size_t{4095};
        if (std::byte *p = map_aligned(bytes)) return {p, Release{bytes}};
        throw std::bad_alloc();
    }
    void *p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return {static_cast<std::byte *>(p), Release{0}};
}

// Nothing is written here: the pages are first touched by the columns, after the advice.
ColumnBlock::ColumnBlock(size_t bytes) : block_(take(bytes)), resource_(block_.get(), bytes) {
    advise_huge_pages(block_.get(), bytes);
}

}  // namespace orvane::core
