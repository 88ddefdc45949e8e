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

// The 2 MiB stretches of the block get huge pages.  A last stretch that
// fills less than half of one stays on ordinary pages instead of taking (and
// holding) a whole huge page; one that fills more gets the page, which costs
// less than half of it in memory and saves its ordinary pages' faults (an 8
// MB outcome copy, 1.7 MB of it past its last whole huge page: 1.55 against
// 0.68 ms).
std::size_t mapped_length(std::size_t bytes) {
    const std::size_t tail = bytes % kHugePage;
    if (tail >= kHugePage / 2) return bytes - tail + kHugePage;  // may wrap: the caller checks
    return (bytes + kPage - 1) / kPage * kPage;
}

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
