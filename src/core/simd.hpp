// Four doubles at a time, through the compiler's generic vectors: each lane
// is rounded as its scalar operation would be (no contraction, no
// reassociation), so lanes give exactly the scalar results.  Used only
// inside functions compiled per instruction set (QUORVEL_MULTIVERSION), into
// which these helpers are always inlined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/linalg.hpp"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
// GCC 12 warns that the placeholder operand of the intrinsics' masked forms
// (a self-initialised "undefined" vector) may be used uninitialised; it is
// never read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_HAVE_V4 1

namespace quorvel::simd {

// The helpers pass vectors by value but are always inlined, so no call ABI
// is involved.
#pragma GCC diagnostic ignored "-Wpsabi"
// Four doubles, loaded and stored without an alignment requirement.
typedef double v4 __attribute__((vector_size(32), aligned(8)));

QUORVEL_ALWAYS_INLINE inline v4 load4(const double* p) {
    v4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QUORVEL_ALWAYS_INLINE inline void store4(double* p, v4 v) { std::memcpy(p, &v, sizeof v); }
QUORVEL_ALWAYS_INLINE inline v4 broadcast4(double s) { return v4{s, s, s, s}; }

// Lane masks (all ones or all zeros per lane), as comparisons give them.
typedef long long m4 __attribute__((vector_size(32), aligned(8)));
QUORVEL_ALWAYS_INLINE inline m4 load4i(const std::int64_t* p) {
    m4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QUORVEL_ALWAYS_INLINE inline void store4(std::int64_t* p, m4 v) { std::memcpy(p, &v, sizeof v); }
// The lanes' bit patterns, so that == compares bits (-0.0 and 0.0 differ,
// a NaN equals itself).
QUORVEL_ALWAYS_INLINE inline m4 bits(v4 v) {
    m4 out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}
QUORVEL_ALWAYS_INLINE inline bool all(m4 m) { return ((m[0] & m[1]) & (m[2] & m[3])) != 0; }

}  // namespace quorvel::simd
#endif

namespace quorvel::simd {

// acc_l = acc_l + term(r, x_rl) for r = 0..len-1 in order, for the kp
// columns of rows (stride rs; past a row's own columns, where rs < kp, the
// next row's values fall on the acc_l that are never read).  term is
// generic: it is given four columns at a time as a vector (held in registers
// across the rows) where vectors are available, one double otherwise, and
// rounds each lane as written.  kp is a multiple of four.
//
// With NS series, also totals[i] = totals[i] + series[i][r] for r in order,
// in the first sweep over the rows: summed on their own, such sums would
// wait on the latency of each addition in turn; here the other sums' work
// fills that time.
template <int NS>
struct RowSums {
    double* totals;
    const double* series[NS > 0 ? NS : 1];
};

#if QUORVEL_HAVE_V4
template <int LV, int NS, class Term>
QUORVEL_ALWAYS_INLINE inline void add_weighted_group(double* acc, const double* rows, std::size_t rs,
                                                     std::size_t len, std::size_t l, Term term,
                                                     const RowSums<NS>& sums) {
    v4 sum[LV > 0 ? LV : 1];
    double total[NS > 0 ? NS : 1];
    for (int c = 0; c < LV; ++c) sum[c] = load4(acc + l + 4 * c);
    for (int i = 0; i < NS; ++i) total[i] = sums.totals[i];
    for (std::size_t r = 0; r < len; ++r) {
        for (int c = 0; c < LV; ++c) sum[c] = sum[c] + term(r, load4(rows + r * rs + l + 4 * c));
        for (int i = 0; i < NS; ++i) total[i] = total[i] + sums.series[i][r];
    }
    for (int c = 0; c < LV; ++c) store4(acc + l + 4 * c, sum[c]);
    for (int i = 0; i < NS; ++i) sums.totals[i] = total[i];
}
#endif

template <int NS = 0, class Term>
QUORVEL_ALWAYS_INLINE inline void add_weighted_rows_at(double* acc, std::size_t kp, const double* rows,
                                                       std::size_t rs, std::size_t len, Term term,
                                                       const RowSums<NS>& sums = {}) {
#if QUORVEL_HAVE_V4
    // Up to four groups of four columns per sweep over the rows, so that
    // their additions overlap; the series go with the first sweep (alone
    // when there are no columns).
    const RowSums<0> none{};
    const std::size_t first = kp / 4 < 4 ? kp / 4 : 4;
    switch (first) {
        case 4: add_weighted_group<4>(acc, rows, rs, len, 0, term, sums); break;
        case 3: add_weighted_group<3>(acc, rows, rs, len, 0, term, sums); break;
        case 2: add_weighted_group<2>(acc, rows, rs, len, 0, term, sums); break;
        case 1: add_weighted_group<1>(acc, rows, rs, len, 0, term, sums); break;
        default: add_weighted_group<0>(acc, rows, rs, len, 0, term, sums); break;
    }
    std::size_t l = 4 * first;
    for (; l + 16 <= kp; l += 16) add_weighted_group<4>(acc, rows, rs, len, l, term, none);
    switch ((kp - l) / 4) {
        case 3: add_weighted_group<3>(acc, rows, rs, len, l, term, none); break;
        case 2: add_weighted_group<2>(acc, rows, rs, len, l, term, none); break;
        case 1: add_weighted_group<1>(acc, rows, rs, len, l, term, none); break;
        default: break;
    }
#else
    for (std::size_t r = 0; r < len; ++r) {
        for (std::size_t l = 0; l < kp; ++l) acc[l] = acc[l] + term(r, rows[r * rs + l]);
        for (int i = 0; i < NS; ++i) sums.totals[i] = sums.totals[i] + sums.series[i][r];
    }
#endif
}

// Whether rows [first, first + len) of a matrix of `rows` rows of k
// contiguous columns can be read in place as rows of kp columns (k rounded up
// to four), as add_weighted_rows_at and the Hessian's tiles read them: the
// last row's kp columns must end within the matrix.  len >= 1.
inline bool rows_fit_in_place(std::size_t first, std::size_t len, std::size_t k, std::size_t kp,
                              std::size_t rows) {
    return (first + len - 1) * k + kp <= rows * k;
}

inline constexpr std::uintptr_t kCacheLine = 64;

// A request for the cache line at address: a hint only, which never faults
// and changes no result.
QUORVEL_ALWAYS_INLINE inline void request_line(std::uintptr_t address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(reinterpret_cast<const void*>(address), 0, 3);
#else
    (void)address;
#endif
}

// Every line of [begin, end) at once: for stretches of a few lines.
QUORVEL_ALWAYS_INLINE inline void request_lines(const void* begin, const void* end) {
    const auto b = reinterpret_cast<std::uintptr_t>(begin), e = reinterpret_cast<std::uintptr_t>(end);
    if (e <= b) return;
    for (std::uintptr_t a = b - b % kCacheLine; a < e; a += kCacheLine) request_line(a);
}

// Requests the cache lines of a stretch of memory (the next block's rows,
// while this block is computed) a share at a time: step s of `steps` asks
// for the lines up to s / steps of the stretch.  All of a block's lines at
// once would wait on the few misses a core keeps outstanding, stalling the
// computation they are meant to overlap; the processor's own prefetcher
// runs only while the rows are being read, and stops at every 4 KiB.
class Lookahead {
public:
    void reset(const void* begin, const void* end, unsigned steps) {
        const auto b = reinterpret_cast<std::uintptr_t>(begin);
        begin_ = next_ = b - b % kCacheLine;
        end_ = reinterpret_cast<std::uintptr_t>(end);
        if (end_ < begin_) end_ = begin_;
        steps_ = steps;
        step_ = 0;
    }
    QUORVEL_ALWAYS_INLINE void step() {
        if (step_ >= steps_) return;
        ++step_;
        const std::uintptr_t to = begin_ + (end_ - begin_) / steps_ * step_;
        const std::uintptr_t stop = step_ == steps_ ? end_ : to;
        for (; next_ < stop; next_ += kCacheLine) request_line(next_);
    }

private:
    std::uintptr_t begin_ = 0, next_ = 0, end_ = 0;
    unsigned steps_ = 0, step_ = 0;
};

// Rows r < len of k contiguous doubles, row r at src + r * row_stride bytes
// (any alignment), into rows of stride kp; the padding columns of dst are
// left as they are.  With k >= 4 a row's last columns are copied as the four
// ending at column k, overlapping those already copied.  Inline, with no
// call of memcpy per row: for rows this short the call would cost more than
// the copy.
QUORVEL_ALWAYS_INLINE inline void copy_rows(double* dst, std::size_t kp, const char* src, std::ptrdiff_t row_stride,
                                            std::size_t k, std::size_t len) {
    constexpr std::size_t d = sizeof(double);
    for (std::size_t r = 0; r < len; ++r, dst += kp) {
        const char* row = src + static_cast<std::ptrdiff_t>(r) * row_stride;
#if QUORVEL_HAVE_V4
        if (k >= 4) {
            v4 v;
            std::size_t j = 0;
            for (; j + 4 <= k; j += 4) {
                std::memcpy(&v, row + j * d, sizeof v);
                store4(dst + j, v);
            }
            if (j < k) {
                std::memcpy(&v, row + (k - 4) * d, sizeof v);
                store4(dst + k - 4, v);
            }
            continue;
        }
#endif
        for (std::size_t j = 0; j < k; ++j) std::memcpy(dst + j, row + j * d, d);
    }
}

// copy_rows, with the row unrolled for widths of 5 to 16 columns: with the
// width known only at run time the loop's own overhead cost as much as the
// loads and stores (a full pass of the fit at k = 10 measured 21.6 -> 20.3 ns
// a row).  The fit's passes copy the same rows again and again; ame, which
// copies them once, measured no faster with it.  Each case inlines copy_rows
// with its width a constant, for the compiler to unroll.
QUORVEL_ALWAYS_INLINE inline void copy_rows_unrolled(double* dst, std::size_t kp, const char* src,
                                                     std::ptrdiff_t row_stride, std::size_t k, std::size_t len) {
#if QUORVEL_HAVE_V4
    switch (k) {
        case 5: return copy_rows(dst, kp, src, row_stride, 5, len);
        case 6: return copy_rows(dst, kp, src, row_stride, 6, len);
        case 7: return copy_rows(dst, kp, src, row_stride, 7, len);
        case 8: return copy_rows(dst, kp, src, row_stride, 8, len);
        case 9: return copy_rows(dst, kp, src, row_stride, 9, len);
        case 10: return copy_rows(dst, kp, src, row_stride, 10, len);
        case 11: return copy_rows(dst, kp, src, row_stride, 11, len);
        case 12: return copy_rows(dst, kp, src, row_stride, 12, len);
        case 13: return copy_rows(dst, kp, src, row_stride, 13, len);
        case 14: return copy_rows(dst, kp, src, row_stride, 14, len);
        case 15: return copy_rows(dst, kp, src, row_stride, 15, len);
        case 16: return copy_rows(dst, kp, src, row_stride, 16, len);
        default: break;
    }
#endif
    copy_rows(dst, kp, src, row_stride, k, len);
}

// z_r = sum_l x(r, l) * b_l, l = 0..k-1 ascending from 0.0, for len rows of
// stride `stride`; eight rows at a time, each with its own sum, so that the
// additions of different rows overlap (four would leave the adder waiting on
// their latency).
QUORVEL_ALWAYS_INLINE inline void linear_index(double* z, const double* rows, std::size_t stride, std::size_t k,
                                               const double* b, std::size_t len) {
    std::size_t r = 0;
    for (; r + 8 <= len; r += 8) {
        const double* x = rows + r * stride;
        double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t l = 0; l < k; ++l) {
            const double bl = b[l];
            for (int q = 0; q < 8; ++q) s[q] = s[q] + x[q * stride + l] * bl;
        }
        for (int q = 0; q < 8; ++q) z[r + q] = s[q];
    }
    for (; r < len; ++r) {
        const double* x = rows + r * stride;
        double s = 0.0;
        for (std::size_t l = 0; l < k; ++l) s = s + x[l] * b[l];
        z[r] = s;
    }
}

#if QUORVEL_HAVE_V4
// s = s + x(i, l + e) * b_e for e = 0..C-1 in order, for the four rows i of
// x (stride kp) and their four sums in s.  The block of four rows by four
// columns is transposed in registers: unpacking rows 0 and 1 (and 2 and 3)
// pairs their columns 0 and 2 (1 and 3) in each half, and joining the halves
// gives the columns.  Written on whole-row loads: built from scalars, GCC
// assembles each column from four loads and three lane inserts instead.
template <int C>
QUORVEL_ALWAYS_INLINE inline v4 add_columns(v4 s, const double* x, std::size_t kp, const double* b) {
    typedef long long i4 __attribute__((vector_size(32)));
    const v4 a0 = load4(x), a1 = load4(x + kp), a2 = load4(x + 2 * kp), a3 = load4(x + 3 * kp);
    const v4 lo01 = __builtin_shuffle(a0, a1, i4{0, 4, 2, 6}), hi01 = __builtin_shuffle(a0, a1, i4{1, 5, 3, 7});
    const v4 lo23 = __builtin_shuffle(a2, a3, i4{0, 4, 2, 6}), hi23 = __builtin_shuffle(a2, a3, i4{1, 5, 3, 7});
    s = s + __builtin_shuffle(lo01, lo23, i4{0, 1, 4, 5}) * broadcast4(b[0]);
    if (C > 1) s = s + __builtin_shuffle(hi01, hi23, i4{0, 1, 4, 5}) * broadcast4(b[1]);
    if (C > 2) s = s + __builtin_shuffle(lo01, lo23, i4{2, 3, 6, 7}) * broadcast4(b[2]);
    if (C > 3) s = s + __builtin_shuffle(hi01, hi23, i4{2, 3, 6, 7}) * broadcast4(b[3]);
    return s;
}
#endif

// The same sums from rows padded to kp columns (kp >= k rounded up to four;
// the padding is loaded but never added).  Sixteen rows at a time, as four
// vectors of four rows' sums, which overlap the latency of their additions.
QUORVEL_ALWAYS_INLINE inline void linear_index_padded(double* z, const double* rows, std::size_t kp,
                                                      std::size_t k, const double* b, std::size_t len) {
    std::size_t r = 0;
#if QUORVEL_HAVE_V4
    constexpr int kGroups = 4;
    for (; r + 4 * kGroups <= len; r += 4 * kGroups) {
        const double* x = rows + r * kp;
        v4 s[kGroups];
        for (int g = 0; g < kGroups; ++g) s[g] = v4{0.0, 0.0, 0.0, 0.0};
        std::size_t l = 0;
        for (; l + 4 <= k; l += 4)
            for (int g = 0; g < kGroups; ++g) s[g] = add_columns<4>(s[g], x + 4 * g * kp + l, kp, b + l);
        for (int g = 0; g < kGroups; ++g) {
            const double* xg = x + 4 * g * kp + l;
            switch (k - l) {
                case 3: s[g] = add_columns<3>(s[g], xg, kp, b + l); break;
                case 2: s[g] = add_columns<2>(s[g], xg, kp, b + l); break;
                case 1: s[g] = add_columns<1>(s[g], xg, kp, b + l); break;
                default: break;
            }
        }
        for (int g = 0; g < kGroups; ++g) store4(z + r + 4 * g, s[g]);
    }
#endif
    linear_index(z + r, rows + r * kp, kp, k, b, len - r);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(QUORVEL_ADDRESS_SANITIZER)
// The eight-wide code for AVX-512 (F and VL) is built: not in builds with
// AddressSanitizer (linalg.hpp).
#define QUORVEL_HAVE_WIDE 1
#define QUORVEL_WIDE_INLINE __attribute__((always_inline, target("avx2,avx512f,avx512vl"))) inline

// Rows a and b (four doubles each) as the low and the high half of a vector.
QUORVEL_WIDE_INLINE __m512d load_row_pair(const double* a, const double* b) {
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(a)), _mm256_loadu_pd(b), 1);
}

// Columns 0 .. c-1 (c <= 4) of eight rows of four doubles, given as the
// pairs p[i] = (row i, row i + 4) of load_row_pair: out[e] holds column e of
// rows 0 .. 7 in order.  Eight two-source shuffles for all four.
QUORVEL_WIDE_INLINE void columns_of_row_pairs(const __m512d* p, __m512d* out, std::size_t c) {
    const __m512d t0 = _mm512_unpacklo_pd(p[0], p[1]), t1 = _mm512_unpackhi_pd(p[0], p[1]);
    const __m512d t2 = _mm512_unpacklo_pd(p[2], p[3]), t3 = _mm512_unpackhi_pd(p[2], p[3]);
    const __m512i even = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13), odd = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    out[0] = _mm512_permutex2var_pd(t0, even, t2);
    if (c > 1) out[1] = _mm512_permutex2var_pd(t1, even, t3);
    if (c > 2) out[2] = _mm512_permutex2var_pd(t0, odd, t2);
    if (c > 3) out[3] = _mm512_permutex2var_pd(t1, odd, t3);
}

// p + s, with p as the first operand: where both are NaN, x86 returns the
// first operand's, and the four-wide sums (compiled with the product first)
// give a NaN product's sign and payload.  The compiler may swap the operands
// of an ordinary addition, so the instruction is written out.
QUORVEL_WIDE_INLINE __m512d add_product_first(__m512d p, __m512d s) {
    __m512d r;
    __asm__("vaddpd %2, %1, %0" : "=v"(r) : "v"(p), "v"(s));
    return r;
}

// s + x(i, e) * b_e for e = 0 .. min(left, 4) - 1 in order, rows i = 0..7 of
// x (stride kp).
QUORVEL_WIDE_INLINE __m512d add_columns_wide(__m512d s, const double* x, std::size_t kp, const double* b,
                                             std::size_t left) {
    const std::size_t c = left < 4 ? left : 4;
    __m512d p[4], col[4];
    for (int i = 0; i < 4; ++i) p[i] = load_row_pair(x + i * kp, x + (i + 4) * kp);
    columns_of_row_pairs(p, col, c);
    s = add_product_first(_mm512_mul_pd(col[0], _mm512_set1_pd(b[0])), s);
    if (c > 1) s = add_product_first(_mm512_mul_pd(col[1], _mm512_set1_pd(b[1])), s);
    if (c > 2) s = add_product_first(_mm512_mul_pd(col[2], _mm512_set1_pd(b[2])), s);
    if (c > 3) s = add_product_first(_mm512_mul_pd(col[3], _mm512_set1_pd(b[3])), s);
    return s;
}

// linear_index_padded with eight rows' sums to a vector, for processors with
// AVX-512 (the caller checks, has_avx512()): sixteen rows at a time as two
// vectors.  Each block of eight rows by four columns is loaded a row pair at
// a time and transposed; each column's vector is then added to the rows'
// sums in column order from 0.0, as above, so the sums are the same bits.
// The rows after the last group of eight take linear_index_padded.
__attribute__((target("avx2,avx512f,avx512vl"), noinline)) inline void linear_index_wide(
    double* z, const double* rows, std::size_t kp, std::size_t k, const double* b, std::size_t len) noexcept {
    std::size_t r = 0;
    for (; r + 16 <= len; r += 16) {
        const double* x = rows + r * kp;
        __m512d s0 = _mm512_setzero_pd(), s1 = _mm512_setzero_pd();
        for (std::size_t l = 0; l < k; l += 4) {
            s0 = add_columns_wide(s0, x + l, kp, b + l, k - l);
            s1 = add_columns_wide(s1, x + 8 * kp + l, kp, b + l, k - l);
        }
        _mm512_storeu_pd(z + r, s0);
        _mm512_storeu_pd(z + r + 8, s1);
    }
    if (r + 8 <= len) {
        __m512d s0 = _mm512_setzero_pd();
        for (std::size_t l = 0; l < k; l += 4) s0 = add_columns_wide(s0, rows + r * kp + l, kp, b + l, k - l);
        _mm512_storeu_pd(z + r, s0);
        r += 8;
    }
    linear_index_padded(z + r, rows + r * kp, kp, k, b, len - r);
}
#endif

// Whether the eight-wide code for AVX-512 (F and VL) is built and the
// processor can run it: linear_index_wide and the Hessian's wide sums.
inline bool has_avx512() {
#if QUORVEL_HAVE_WIDE
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    return has;
#else
    return false;
#endif
}

// linear_index_padded, through linear_index_wide where wide is set (from
// has_avx512()).
QUORVEL_ALWAYS_INLINE inline void linear_index_rows(bool wide, double* z, const double* rows, std::size_t kp,
                                                    std::size_t k, const double* b, std::size_t len) {
#if QUORVEL_HAVE_WIDE
    if (wide) return linear_index_wide(z, rows, kp, k, b, len);
#else
    (void)wide;
#endif
    linear_index_padded(z, rows, kp, k, b, len);
}

}  // namespace quorvel::simd
