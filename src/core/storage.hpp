// Storage for the row data of matrices and for vectors: the copies of the
// caller's regressors, outcomes and cluster identifiers, which run to
// hundreds of megabytes.
//
// Large blocks (kLargeBlock bytes and more) are mapped on their own, aligned
// to 2 MiB and offered to the kernel for transparent huge pages, so that the
// first touch of a fresh block faults in 2 MiB at a time instead of 4 KiB;
// where the kernel declines (huge pages off, another system), ordinary pages
// are used without notice.  Smaller blocks come from operator new.
//
// In a matrix's storage (RowAllocator) elements constructed without a value
// are left uninitialised: a matrix made to be overwritten (see Matrix's
// Uninitialized constructor) is not zero-filled first.  Every other
// construction (a fill value, a copy), and every construction in a vector's
// storage (VectorAllocator), is the usual one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace quorvel {

namespace storage {

// Blocks from one huge page on are mapped for themselves.  The C library
// maps most blocks of this size afresh too (a freed block raises its mapping
// threshold only to that block's size, so the next one of the same size is
// mapped again), and fresh ordinary pages cost a fault each: an 8 MB outcome
// copy took 5.4 ms in 4 KiB faults against 0.6 ms in 2 MiB ones.
inline constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

// bytes > 0.  Throws std::bad_alloc when no memory is to be had.
void* allocate(std::size_t bytes);
// p from allocate(bytes), with the same bytes.
void release(void* p, std::size_t bytes) noexcept;

// The first writes into a block from allocate(), made in ascending order:
// just before they reach a 2 MiB stretch of the block, a write to the
// stretch's last byte faults its huge page in.  The kernel clears a fresh
// huge page towards the address that faulted, so that those lines are still
// in the cache when the page is used.  Faulted at its first byte, as the
// writes themselves would, a page is cleared from the top down, which here
// took 2.2 times as long as from the bottom up (80 MB: 6.4 against 2.9 ms),
// and a copy into the block 12.4 against 8.5 ms.  A
// block on ordinary pages takes one fault early per stretch, which costs
// nothing.  Small blocks (operator new) are left alone.
class AscendingFill {
public:
    AscendingFill(void* block, std::size_t bytes) : base_(static_cast<char*>(block)), bytes_(bytes) {}
    // Bytes [0, end) of the block are about to be written, and none past
    // those written before.  The byte written here is overwritten with them.
    void reach(std::size_t end) {
        if (bytes_ < kLargeBlock) return;
        if (end > bytes_) end = bytes_;
        while (touched_ < end) {
            const std::size_t top = std::min(bytes_, touched_ + kLargeBlock);
            base_[top - 1] = 0;
            touched_ = top;
        }
    }

private:
    char* base_;
    std::size_t bytes_;
    std::size_t touched_ = 0;  // bytes whose stretches have been faulted in
};

}  // namespace storage

// Allocates from storage::allocate; elements are constructed as usual
// (value-initialisation zeroes).  The storage of Vector, whose n-long copies
// (the outcome) should fault in as the regressors do.
template <class T>
struct VectorAllocator {
    using value_type = T;

    VectorAllocator() noexcept = default;
    template <class U>
    VectorAllocator(const VectorAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(storage::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { storage::release(p, n * sizeof(T)); }

    friend bool operator==(const VectorAllocator&, const VectorAllocator&) noexcept { return true; }
    friend bool operator!=(const VectorAllocator&, const VectorAllocator&) noexcept { return false; }
};

// The same blocks with default-initialisation where the container asks for
// value-initialisation: the storage of matrices.
template <class T>
struct RowAllocator : VectorAllocator<T> {
    RowAllocator() noexcept = default;
    template <class U>
    RowAllocator(const RowAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }
};

using RowStorage = std::vector<double, RowAllocator<double>>;

// The same values in the same order as a plain vector.
inline bool operator==(const RowStorage& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
inline bool operator!=(const RowStorage& a, const std::vector<double>& b) { return !(a == b); }

}  // namespace quorvel
