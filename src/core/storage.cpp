#include "core/storage.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvel::storage {

#if defined(__linux__)

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = std::size_t{4} << 10;

// Whole ordinary pages: the 2 MiB stretches of the block get huge pages, the
// part of the last one the block does not fill stays on ordinary pages
// instead of taking (and holding) a whole huge page.
std::size_t mapped_length(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

}  // namespace

void* allocate(std::size_t bytes) {
    if (bytes < kLargeBlock) return ::operator new(bytes);
    const std::size_t length = mapped_length(bytes);
    if (length < bytes || length + kHugePage < length) throw std::bad_alloc();
    // Map one huge page more than needed and cut the ends off, so that the
    // block starts on a 2 MiB boundary.
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    const std::size_t head = aligned - start;
    if (head != 0) munmap(raw, head);
    const std::size_t tail = kHugePage - head;
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
    void* block = reinterpret_cast<void*>(aligned);
    // Advice only: a kernel without transparent huge pages refuses it, and
    // the block then works with ordinary pages.
    (void)madvise(block, length, MADV_HUGEPAGE);
    return block;
}

void release(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kLargeBlock) {
        ::operator delete(p);
        return;
    }
    munmap(p, mapped_length(bytes));
}

#else

void* allocate(std::size_t bytes) { return ::operator new(bytes); }
void release(void* p, std::size_t) noexcept { ::operator delete(p); }

#endif

}  // namespace quorvel::storage
