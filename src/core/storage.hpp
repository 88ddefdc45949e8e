// Storage for the row data of matrices: the copies of the caller's regressors
// and cluster identifiers, which run to hundreds of megabytes.
//
// Large blocks (kLargeBlock bytes and more) are mapped on their own, aligned
// to 2 MiB and offered to the kernel for transparent huge pages, so that the
// first touch of a fresh block faults in 2 MiB at a time instead of 4 KiB;
// where the kernel declines (huge pages off, another system), ordinary pages
// are used without notice.  Smaller blocks come from operator new.
//
// Elements constructed without a value are left uninitialised: a matrix made
// to be overwritten (see Matrix's Uninitialized constructor) is not
// zero-filled first.  Every other construction (a fill value, a copy) is the
// usual one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace quorvel {

namespace storage {

// Blocks from this size on are mapped for themselves: above it the C
// library maps fresh memory for every allocation anyway (its dynamic mapping
// threshold stops growing at 32 MiB on 64-bit systems), so there is no reuse
// of freed heap memory to lose.
inline constexpr std::size_t kLargeBlock = std::size_t{32} << 20;

// bytes > 0.  Throws std::bad_alloc when no memory is to be had.
void* allocate(std::size_t bytes);
// p from allocate(bytes), with the same bytes.
void release(void* p, std::size_t bytes) noexcept;

}  // namespace storage

template <class T>
struct RowAllocator {
    using value_type = T;

    RowAllocator() noexcept = default;
    template <class U>
    RowAllocator(const RowAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(storage::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { storage::release(p, n * sizeof(T)); }

    // Default-initialisation where the container asks for value-initialisation.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }

    friend bool operator==(const RowAllocator&, const RowAllocator&) noexcept { return true; }
    friend bool operator!=(const RowAllocator&, const RowAllocator&) noexcept { return false; }
};

using RowStorage = std::vector<double, RowAllocator<double>>;

// The same values in the same order as a plain vector.
inline bool operator==(const RowStorage& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
inline bool operator!=(const RowStorage& a, const std::vector<double>& b) { return !(a == b); }

}  // namespace quorvel
