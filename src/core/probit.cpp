#include "core/probit.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "core/cluster_keys.hpp"
#include "core/fast_math.hpp"
#include "core/simd.hpp"

namespace quorvel {

Probit::Probit(Vector y, Matrix x) : endog(std::move(y)), exog(std::move(x)) {
    if (exog.rows() < endog.size()) {
        throw InputError("endog has " + std::to_string(endog.size()) + " observations but exog has only " +
                         std::to_string(exog.rows()) + " rows");
    }
}

namespace {

void check_cluster_rows(const Probit& model, std::size_t rows) {
    if (rows != model.nobs()) {
        throw InternalError("cluster matrix has " + std::to_string(rows) + " rows for " +
                            std::to_string(model.nobs()) + " observations");
    }
}

void check_beta(const Probit& model, const Vector& beta) {
    if (beta.size() != model.k()) {
        throw InternalError("beta has " + std::to_string(beta.size()) + " entries but exog has " +
                            std::to_string(model.k()) + " columns");
    }
}

// ---- Accumulator kernels ----------------------------------------------------
//
// The accumulators work on four columns at a time: a row of k columns is
// read as kp, k rounded up to four.  The rows are read in place in exog,
// where the last kp - k columns of a row are the first of the next one, or,
// at the end of exog, from a copy whose rows are padded with zeros.  The
// padding entries of the accumulators (and of the weighted rows) receive
// whatever those columns give, and are never read out.

inline std::size_t padded(std::size_t k) { return (k + 3) / 4 * 4; }

#if QUORVEL_HAVE_V4
using simd::load4;
using simd::store4;
using simd::v4;

// dst(r, j) = src(r, j) * w_r for r < len and j < kp (dst's row stride kp, a
// multiple of four, src's ss), sixteen columns a step.  Each entry is read
// before it is written, so dst may be src.
QUORVEL_ALWAYS_INLINE inline void scale_rows_loop(double* dst, const double* src, std::size_t kp, std::size_t ss,
                                                  const double* w, std::size_t len) {
    for (std::size_t r = 0; r < len; ++r, src += ss, dst += kp) {
        const v4 wr = simd::broadcast4(w[r]);
        std::size_t j = 0;
        for (; j + 16 <= kp; j += 16)
            for (std::size_t c = 0; c < 16; c += 4) store4(dst + j + c, load4(src + j + c) * wr);
        for (; j < kp; j += 4) store4(dst + j, load4(src + j) * wr);
    }
}

// scale_rows_loop, which the narrow widths inline with the width a constant
// for the compiler to unroll: with the width known only at run time, four
// columns a step, the inner loop's overhead was most of the work (a full
// pass at k = 10 measured 24.2 -> 22.5 ns a row).
QUORVEL_ALWAYS_INLINE inline void scale_rows(double* dst, const double* src, std::size_t kp, std::size_t ss,
                                             const double* w, std::size_t len) {
    switch (kp) {
        case 4: return scale_rows_loop(dst, src, 4, ss, w, len);
        case 8: return scale_rows_loop(dst, src, 8, ss, w, len);
        case 12: return scale_rows_loop(dst, src, 12, ss, w, len);
        case 16: return scale_rows_loop(dst, src, 16, ss, w, len);
        default: break;
    }
    scale_rows_loop(dst, src, kp, ss, w, len);
}

// acc(j + jj, l + 4c + e) for jj < JB, c < LV, e < 4: adds (kAdd) or
// subtracts a(r, j + jj) * x(r, l + 4c + e) for r = 0..len-1 in order.  a
// has row stride kp and x xs, acc is kp x kp.
template <bool kAdd, int JB, int LV>
QUORVEL_ALWAYS_INLINE inline void tile(double* acc, std::size_t kp, const double* a, const double* x,
                                       std::size_t xs, std::size_t len, std::size_t j, std::size_t l) {
    v4 h[JB][LV];
    for (int jj = 0; jj < JB; ++jj)
        for (int c = 0; c < LV; ++c) h[jj][c] = load4(acc + (j + jj) * kp + l + 4 * c);
    for (std::size_t r = 0; r < len; ++r) {
        const double* ar = a + r * kp + j;
        const double* xr = x + r * xs + l;
        v4 xv[LV];
        for (int c = 0; c < LV; ++c) xv[c] = load4(xr + 4 * c);
        for (int jj = 0; jj < JB; ++jj) {
            // One scalar load per broadcast: GCC then broadcasts from memory,
            // where with broadcast4(ar[jj]) it loads four and permutes lanes.
            const double s = ar[jj];
            const v4 b = {s, s, s, s};
            for (int c = 0; c < LV; ++c) {
                const v4 term = b * xv[c];
                h[jj][c] = kAdd ? h[jj][c] + term : h[jj][c] - term;
            }
        }
    }
    for (int jj = 0; jj < JB; ++jj)
        for (int c = 0; c < LV; ++c) store4(acc + (j + jj) * kp + l + 4 * c, h[jj][c]);
}

// Rows j .. j+JB-1 of acc over the columns [0, width), width a multiple of
// four.  Twelve accumulators of four (with the row's loads and the
// broadcast) fit the sixteen vector registers without spilling.
template <bool kAdd, int JB>
QUORVEL_ALWAYS_INLINE inline void tile_rows(double* acc, std::size_t kp, const double* a, const double* x,
                                            std::size_t xs, std::size_t len, std::size_t j, std::size_t width) {
    std::size_t l = 0;
    // Twelve columns per sweep where they are left: a tile of one group of
    // four has too few independent sums to hide the latency of the
    // subtractions.
    for (; l + 12 <= width; l += 12) tile<kAdd, JB, 3>(acc, kp, a, x, xs, len, j, l);
    for (; l + 8 <= width; l += 8) tile<kAdd, JB, 2>(acc, kp, a, x, xs, len, j, l);
    if (l < width) tile<kAdd, JB, 1>(acc, kp, a, x, xs, len, j, l);
}

// acc(j, l) for j < k and l < j + 1 rounded up to four (the lower triangle
// of a symmetric sum and a few entries above it): the sum over r =
// 0..len-1, in order, of a(r, j) * x(r, l).  The rows j are taken four at a
// time, with a step of ahead (where given) after each four: the outer
// products are most of a block's work from eight columns on, and the next
// block's rows are requested while they run.
template <bool kAdd>
QUORVEL_ALWAYS_INLINE inline void accumulate_lower(double* acc, std::size_t kp, std::size_t k, const double* a,
                                                   const double* x, std::size_t xs, std::size_t len,
                                                   simd::Lookahead* ahead) {
    for (std::size_t j = 0; j < k; j += 4) {
        const std::size_t rows = std::min<std::size_t>(4, k - j);
        const std::size_t width = padded(j + rows);
        switch (rows) {
            case 4: tile_rows<kAdd, 4>(acc, kp, a, x, xs, len, j, width); break;
            case 3: tile_rows<kAdd, 3>(acc, kp, a, x, xs, len, j, width); break;
            case 2: tile_rows<kAdd, 2>(acc, kp, a, x, xs, len, j, width); break;
            default: tile_rows<kAdd, 1>(acc, kp, a, x, xs, len, j, width); break;
        }
        if (ahead != nullptr) ahead->step();
    }
}

// Where simd.hpp builds its eight-wide code (not with AddressSanitizer, whose
// builds take the four-wide tiles).
#if QUORVEL_HAVE_WIDE
// The same sums with eight columns to a vector where the processor has
// AVX-512: half the multiplications and subtractions of the four-wide tiles,
// and thirty-two vector registers for the accumulators.  Each entry still
// receives its terms one by one in observation order, so the sums are the
// same to the bit.
typedef double v8 __attribute__((vector_size(64), aligned(8)));

QUORVEL_ALWAYS_INLINE inline v8 load8(const double* p) {
    v8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QUORVEL_ALWAYS_INLINE inline void store8(double* p, v8 v) { std::memcpy(p, &v, sizeof v); }

// As tile, over the columns l .. l + 8 * L8 + 4 * L4 - 1: L8 groups of
// eight, then L4 (0 or 1) of four.
template <bool kAdd, int JB, int L8, int L4>
QUORVEL_ALWAYS_INLINE inline void wide_tile(double* acc, std::size_t kp, const double* a, const double* x,
                                            std::size_t xs, std::size_t len, std::size_t j, std::size_t l) {
    constexpr int N8 = L8 > 0 ? L8 : 1;
    v8 h[JB][N8];
    v4 q[JB];
    for (int jj = 0; jj < JB; ++jj) {
        double* row = acc + (j + jj) * kp + l;
        for (int c = 0; c < L8; ++c) h[jj][c] = load8(row + 8 * c);
        if (L4 > 0) q[jj] = load4(row + 8 * L8);
    }
    for (std::size_t r = 0; r < len; ++r) {
        const double* ar = a + r * kp + j;
        const double* xr = x + r * xs + l;
        v8 xv[N8];
        for (int c = 0; c < L8; ++c) xv[c] = load8(xr + 8 * c);
        const v4 xq = L4 > 0 ? load4(xr + 8 * L8) : v4{};
        for (int jj = 0; jj < JB; ++jj) {
            const double s = ar[jj];
            const v8 b = {s, s, s, s, s, s, s, s};
            for (int c = 0; c < L8; ++c) {
                const v8 term = b * xv[c];
                h[jj][c] = kAdd ? h[jj][c] + term : h[jj][c] - term;
            }
            if (L4 > 0) {
                const v4 term = v4{s, s, s, s} * xq;
                q[jj] = kAdd ? q[jj] + term : q[jj] - term;
            }
        }
    }
    for (int jj = 0; jj < JB; ++jj) {
        double* row = acc + (j + jj) * kp + l;
        for (int c = 0; c < L8; ++c) store8(row + 8 * c, h[jj][c]);
        if (L4 > 0) store4(row + 8 * L8, q[jj]);
    }
}

// Rows j .. j+JB-1 of acc over the columns [0, width): sweeps of 32
// columns while more than 36 are left, then one sweep over the rest (at most
// 20 accumulators, with the row's loads and the broadcast within the 32
// registers).
template <bool kAdd, int JB>
QUORVEL_ALWAYS_INLINE inline void wide_tile_rows(double* acc, std::size_t kp, const double* a, const double* x,
                                                 std::size_t xs, std::size_t len, std::size_t j, std::size_t width) {
    std::size_t l = 0;
    for (; width - l > 36; l += 32) wide_tile<kAdd, JB, 4, 0>(acc, kp, a, x, xs, len, j, l);
    switch ((width - l) / 4) {
        case 1: return wide_tile<kAdd, JB, 0, 1>(acc, kp, a, x, xs, len, j, l);
        case 2: return wide_tile<kAdd, JB, 1, 0>(acc, kp, a, x, xs, len, j, l);
        case 3: return wide_tile<kAdd, JB, 1, 1>(acc, kp, a, x, xs, len, j, l);
        case 4: return wide_tile<kAdd, JB, 2, 0>(acc, kp, a, x, xs, len, j, l);
        case 5: return wide_tile<kAdd, JB, 2, 1>(acc, kp, a, x, xs, len, j, l);
        case 6: return wide_tile<kAdd, JB, 3, 0>(acc, kp, a, x, xs, len, j, l);
        case 7: return wide_tile<kAdd, JB, 3, 1>(acc, kp, a, x, xs, len, j, l);
        case 8: return wide_tile<kAdd, JB, 4, 0>(acc, kp, a, x, xs, len, j, l);
        default: return wide_tile<kAdd, JB, 4, 1>(acc, kp, a, x, xs, len, j, l);
    }
}

// scale_rows eight columns to a vector (the last four of a row that has
// kp % 8 = 4 in a vector of four).  Only called where the processor has
// AVX-512 (use_wide_outer()); the same products, so the same bits.
template <std::size_t KP>
QUORVEL_ALWAYS_INLINE inline void scale_rows_wide_loop(double* dst, const double* src, std::size_t kp,
                                                       std::size_t ss, const double* w, std::size_t len) {
    const std::size_t width = KP > 0 ? KP : kp;
    for (std::size_t r = 0; r < len; ++r, src += ss, dst += width) {
        const double s = w[r];
        const v8 b = {s, s, s, s, s, s, s, s};
        std::size_t j = 0;
        for (; j + 8 <= width; j += 8) store8(dst + j, load8(src + j) * b);
        if (j < width) store4(dst + j, load4(src + j) * v4{s, s, s, s});
    }
}
__attribute__((target("avx2,avx512f,avx512vl"), noinline)) void scale_rows_wide(
    double* dst, const double* src, std::size_t kp, std::size_t ss, const double* w, std::size_t len) noexcept {
    switch (kp) {
        case 4: return scale_rows_wide_loop<4>(dst, src, kp, ss, w, len);
        case 8: return scale_rows_wide_loop<8>(dst, src, kp, ss, w, len);
        case 12: return scale_rows_wide_loop<12>(dst, src, kp, ss, w, len);
        case 16: return scale_rows_wide_loop<16>(dst, src, kp, ss, w, len);
        case 20: return scale_rows_wide_loop<20>(dst, src, kp, ss, w, len);
        case 24: return scale_rows_wide_loop<24>(dst, src, kp, ss, w, len);
        default: return scale_rows_wide_loop<0>(dst, src, kp, ss, w, len);
    }
}

// accumulate_lower's sums for 5 to 12 columns in one sweep of the block's
// rows instead of one sweep per group of four rows of acc: rows 0-3 over
// columns 0-3, rows 4 .. 3+R2 over 0-7 and, where R3 > 0 (and R2 = 4), rows
// 8 .. 7+R3 over 0-11.  Alone, each of these sweeps has only four independent
// sums and waits on their additions; together they keep the multipliers
// busy.  The block's rows are taken in as many parts as there are groups,
// with a step of ahead after each, as the separate sweeps take them.  Each
// entry still receives its terms a(r, j) * x(r, l) one by one for r = 0 ..
// len-1, so the sums are those of the separate sweeps to the bit.
template <bool kAdd, int R2, int R3>
QUORVEL_ALWAYS_INLINE inline void wide_head(double* acc, std::size_t kp, const double* a, const double* x,
                                            std::size_t xs, std::size_t len, simd::Lookahead* ahead) {
    constexpr int N3 = R3 > 0 ? R3 : 1;
    constexpr int parts = R3 > 0 ? 3 : 2;
    v4 q[4];
    v8 h[R2];
    v8 u[N3];
    v4 v[N3];
    for (int i = 0; i < 4; ++i) q[i] = load4(acc + i * kp);
    for (int i = 0; i < R2; ++i) h[i] = load8(acc + (4 + i) * kp);
    for (int i = 0; i < R3; ++i) {
        u[i] = load8(acc + (8 + i) * kp);
        v[i] = load4(acc + (8 + i) * kp + 8);
    }
    std::size_t r = 0;
    for (int part = 1; part <= parts; ++part) {
        const std::size_t end = len * part / parts;
        for (; r < end; ++r) {
            const double* ar = a + r * kp;
            const double* xr = x + r * xs;
            const v4 x4 = load4(xr);
            const v8 x8 = load8(xr);
            const v4 xq = R3 > 0 ? load4(xr + 8) : v4{};
            for (int i = 0; i < 4; ++i) {
                const double s = ar[i];
                const v4 term = v4{s, s, s, s} * x4;
                q[i] = kAdd ? q[i] + term : q[i] - term;
            }
            for (int i = 0; i < R2; ++i) {
                const double s = ar[4 + i];
                const v8 term = v8{s, s, s, s, s, s, s, s} * x8;
                h[i] = kAdd ? h[i] + term : h[i] - term;
            }
            for (int i = 0; i < R3; ++i) {
                const double s = ar[8 + i];
                const v8 term = v8{s, s, s, s, s, s, s, s} * x8;
                u[i] = kAdd ? u[i] + term : u[i] - term;
                const v4 tq = v4{s, s, s, s} * xq;
                v[i] = kAdd ? v[i] + tq : v[i] - tq;
            }
        }
        if (ahead != nullptr) ahead->step();
    }
    for (int i = 0; i < 4; ++i) store4(acc + i * kp, q[i]);
    for (int i = 0; i < R2; ++i) store8(acc + (4 + i) * kp, h[i]);
    for (int i = 0; i < R3; ++i) {
        store8(acc + (8 + i) * kp, u[i]);
        store4(acc + (8 + i) * kp + 8, v[i]);
    }
}

// accumulate_lower with the wide tiles, and the same steps of ahead.  Only
// called where the processor has AVX-512 (use_wide_outer()).
template <bool kAdd>
__attribute__((target("avx2,avx512f,avx512vl"), noinline)) void accumulate_lower_wide(
    double* acc, std::size_t kp, std::size_t k, const double* a, const double* x, std::size_t xs, std::size_t len,
    simd::Lookahead* ahead) noexcept {
    // From 5 to 12 columns, all the groups of rows of acc in one sweep (a fit
    // at 1e6 rows measured 5% faster at k = 10, 2% at k = 8, and the same at
    // k = 6 and 12).  Beyond, the first two groups in one sweep gave no clear
    // gain at k = 16 to 50.
    switch (k) {
        case 5: return wide_head<kAdd, 1, 0>(acc, kp, a, x, xs, len, ahead);
        case 6: return wide_head<kAdd, 2, 0>(acc, kp, a, x, xs, len, ahead);
        case 7: return wide_head<kAdd, 3, 0>(acc, kp, a, x, xs, len, ahead);
        case 8: return wide_head<kAdd, 4, 0>(acc, kp, a, x, xs, len, ahead);
        case 9: return wide_head<kAdd, 4, 1>(acc, kp, a, x, xs, len, ahead);
        case 10: return wide_head<kAdd, 4, 2>(acc, kp, a, x, xs, len, ahead);
        case 11: return wide_head<kAdd, 4, 3>(acc, kp, a, x, xs, len, ahead);
        case 12: return wide_head<kAdd, 4, 4>(acc, kp, a, x, xs, len, ahead);
        default: break;
    }
    for (std::size_t j = 0; j < k; j += 4) {
        const std::size_t rows = std::min<std::size_t>(4, k - j);
        const std::size_t width = padded(j + rows);
        switch (rows) {
            case 4: wide_tile_rows<kAdd, 4>(acc, kp, a, x, xs, len, j, width); break;
            case 3: wide_tile_rows<kAdd, 3>(acc, kp, a, x, xs, len, j, width); break;
            case 2: wide_tile_rows<kAdd, 2>(acc, kp, a, x, xs, len, j, width); break;
            default: wide_tile_rows<kAdd, 1>(acc, kp, a, x, xs, len, j, width); break;
        }
        if (ahead != nullptr) ahead->step();
    }
}

#endif

#else
inline void scale_rows(double* dst, const double* src, std::size_t kp, std::size_t ss, const double* w,
                       std::size_t len) {
    for (std::size_t r = 0; r < len; ++r)
        for (std::size_t j = 0; j < kp; ++j) dst[r * kp + j] = src[r * ss + j] * w[r];
}

template <bool kAdd>
inline void accumulate_lower(double* acc, std::size_t kp, std::size_t k, const double* a, const double* x,
                             std::size_t xs, std::size_t len, simd::Lookahead* ahead) {
    // Row by row: the steps of ahead, one per four of the k rows of acc, all
    // at once.
    for (std::size_t j = 0; j < k && ahead != nullptr; j += 4) ahead->step();
    for (std::size_t r = 0; r < len; ++r)
        for (std::size_t j = 0; j < k; ++j) {
            const double s = a[r * kp + j];
            for (std::size_t l = 0; l < j + 1; ++l) {
                const double term = s * x[r * xs + l];
                acc[j * kp + l] = kAdd ? acc[j * kp + l] + term : acc[j * kp + l] - term;
            }
        }
}

#endif

// acc as accumulate_lower leaves it, with the wide tiles where wide is set.
template <bool kAdd>
QUORVEL_ALWAYS_INLINE inline void add_lower_products(bool wide, double* acc, std::size_t kp, std::size_t k,
                                                     const double* a, const double* x, std::size_t xs,
                                                     std::size_t len, simd::Lookahead* ahead = nullptr) {
#if QUORVEL_HAVE_WIDE
    if (wide) return accumulate_lower_wide<kAdd>(acc, kp, k, a, x, xs, len, ahead);
#else
    (void)wide;
#endif
    accumulate_lower<kAdd>(acc, kp, k, a, x, xs, len, ahead);
}

// scale_rows, through scale_rows_wide where wide is set.
QUORVEL_ALWAYS_INLINE inline void scale_weighted_rows(bool wide, double* dst, const double* src, std::size_t kp,
                                                      std::size_t ss, const double* w, std::size_t len) {
#if QUORVEL_HAVE_WIDE
    if (wide) return scale_rows_wide(dst, src, kp, ss, w, len);
#else
    (void)wide;
#endif
    scale_rows(dst, src, kp, ss, w, len);
}

// Whether the processor has AVX-512, for the wide tiles.
bool use_wide_outer() { return simd::has_avx512(); }

// ---- The pass over the rows -------------------------------------------------

// Where the z_i and P_i of a pass come from: computed from beta (with the
// log-likelihood), or read back from a cache.
struct Source {
    const Vector* beta = nullptr;
    const RowCache* cache = nullptr;
};

// Rows per block.  Without outer products (the log-likelihood alone, or the
// scores for the cluster sums) 64: a pass over X from memory measured 5-10%
// faster at k = 3 to 50 than with blocks of a full batch.  With them, a full
// batch, fewer when a row's outer products are so large (many columns) that
// the interrupt would otherwise be called too rarely, and fewer again to
// keep the operands in the first-level cache (below).
constexpr std::size_t kRowsWithoutOuter = 64;

std::size_t block_rows(std::size_t kp, bool outer) {
    if (!outer) return kRowsWithoutOuter;
    const std::size_t per_row = kp * kp + 1;
    const std::size_t rows = (std::size_t{1} << 22) / per_row;
    // The two operand buffers of the accumulators (rows x kp each), which
    // every sweep of a tile reads again, take at most half of a 32 KiB
    // first-level data cache: the rest holds the block's other buffers and
    // the next block's rows as they arrive (24 KiB measured 4-9% slower at
    // k = 10 and 20, and the same at 3 and 50).
    const std::size_t cached = (std::size_t{16} << 10) / (2 * (kp + 1) * sizeof(double));
    // A multiple of eight rows: the batch cdf, density and log take eight at
    // a time, and a block that leaves a few over pays for a whole group of
    // eight on them, and for the index sums of those rows one by one (a full
    // pass at 1e6 rows measured 3-7% faster at k = 3 to 50 than with the
    // bound above itself, 78 rows at k = 10 for example, and 19 at k = 50).
    const std::size_t block = std::min({kRowBatch, rows, cached});
    return std::max<std::size_t>(8, block / 8 * 8);
}

struct Pass {
    Pass(const Probit& m, unsigned s, RowCache* rec, double* scores, const Interrupt& stop)
        : model(m), sums(s), record(rec), scores_out(scores), interrupt(stop) {}

    const Probit& model;
    unsigned sums;
    RowCache* record;     // where to record z and P, or null
    double* scores_out;   // n x k row scores, or null
    const Interrupt& interrupt;
    ClusterGrouping* grouping = nullptr;  // where the per-cluster score sums go, or null

    double loglike = 0.0;
    std::vector<double> g, h, m;  // padded score, Hessian and meat accumulators
};

// A zero-filled working buffer starting on a 64-byte boundary, so that the
// four-wide loads and stores of its padded rows never straddle cache lines.
class Buffer {
public:
    void assign(std::size_t n) {
        raw_.assign(n + 8, 0.0);
        const auto address = reinterpret_cast<std::uintptr_t>(raw_.data());
        data_ = raw_.data() + ((64 - address % 64) % 64) / sizeof(double);
    }
    double* data() { return data_; }

private:
    std::vector<double> raw_;
    double* data_ = nullptr;
};

// The buffers of one pass, sized for a block of rows.
struct Work {
    std::size_t k, kp;
    bool want_ll, want_score, want_hessian, want_meat, want_lambda;
    // xp: the rows copied at the end of exog; weight and weighted: the
    // Hessian's w_i and x_ij w_i (the meat's x_ij lambda_i after them).
    Buffer xp, weight, weighted, z, p, t, logp, lambda;
    std::vector<std::size_t> cluster;   // the block's clusters, with a grouping
    double ll = 0.0;
    // P (clipped), ln P and phi where the index is zero, from the same
    // kernels: a block whose indexes are all zero (beta = 0, the fit's
    // start) takes them instead of evaluating each row's.
    double p_zero = 0.0, log_zero = 0.0, pdf_zero = 0.0;
    bool beta_zero = false;  // every beta_j is +0 or -0
    bool wide_outer = false;  // the outer products with the AVX-512 tiles
    bool wide_index = false;  // the linear index eight rows to a vector
    simd::Lookahead ahead;   // the next block's rows, requested between the steps
};

// One block of rows [start, start + len).  Compiled for each instruction set
// and called from this file, so it must not throw: GCC treats calls to such
// functions as non-throwing, and an exception leaving one ends the process.
// The interrupt is therefore called between blocks, by run_pass.
QUORVEL_MULTIVERSION void run_block(Pass& pass, const Source& source, Work& w, std::size_t start,
                                    std::size_t len) noexcept {
    const Probit& model = pass.model;
    const std::size_t k = w.k, kp = w.kp;
    const double* y = model.endog.data();
    const Normal normal = model.normal;
    const double* xp = w.xp.data();  // the block's rows as the sums read them
    std::size_t xs = kp;             // and their stride
    double* z = w.z.data();
    double* p = w.p.data();
    double* t = w.t.data();
    double* lambda = w.lambda.data();
    const double* rows = model.exog.data() + start * k;
    if (w.want_lambda) {
        // The next block's rows of exog, requested over the steps of this
        // one (the w.ahead.step() calls below: five in a pass from beta,
        // three from a cache, and one per four columns in each of the outer
        // products), and its endog values at once.  With all the requests
        // in the short steps before the outer products, they waited on each
        // other there and none went out while the outer products ran: at
        // 1e6 x 20 the fit measured 4-8% slower.  Not in a pass of the
        // log-likelihood alone: it reads the rows as it goes, which the
        // processor's prefetcher follows.
        const std::size_t n = model.nobs();
        const std::size_t next = std::min(n, start + len), after = std::min(n, next + len);
        simd::request_lines(y + next, y + after);
        const auto groups = static_cast<unsigned>((k + 3) / 4);
        const unsigned steps = (source.cache != nullptr ? 3u : 5u) + (w.want_hessian ? groups : 0u) +
                               (w.want_meat ? groups : 0u);
        w.ahead.reset(model.exog.data() + next * k, model.exog.data() + after * k, steps);
        // The rows in place, unless reading kp columns of the last one runs
        // past the end of exog: then a copy padded with zeros.  (Copying
        // every block, as this did before, measured 3% slower on the fit at
        // 1e6 x 10 and 9% at 1e6 x 20.)
        if (simd::rows_fit_in_place(start, len, k, kp, model.exog.rows())) {
            xp = rows;
            xs = k;
        } else {
            simd::copy_rows_unrolled(w.xp.data(), kp, reinterpret_cast<const char*>(rows),
                                     static_cast<std::ptrdiff_t>(k * sizeof(double)), k, len);
        }
        w.ahead.step();
    }
    // Every t_r is +0 or -0 (P and phi are the same at both); looked for
    // only where beta is zero, so that the usual loop stays vectorised.
    bool at_zero = w.beta_zero;
    if (source.cache != nullptr) {
        at_zero = false;
        std::memcpy(z, source.cache->z.data() + start, len * sizeof(double));
        std::memcpy(p, source.cache->p.data() + start, len * sizeof(double));
        for (std::size_t r = 0; r < len; ++r) {
            const double yi = y[start + r];
            t[r] = z[r] * ((yi + yi) + (-1.0));
        }
        w.ahead.step();
    } else {
        // From the padded copy where there is one.
        if (w.want_lambda)
            simd::linear_index_rows(w.wide_index, z, xp, xs, k, source.beta->data(), len);
        else
            simd::linear_index(z, rows, k, k, source.beta->data(), len);
        for (std::size_t r = 0; r < len; ++r) {
            const double yi = y[start + r];
            t[r] = z[r] * ((yi + yi) + (-1.0));
        }
        w.ahead.step();
        if (at_zero)
            for (std::size_t r = 0; r < len; ++r) at_zero &= t[r] == 0.0;
        if (at_zero) {
            std::fill(p, p + len, w.p_zero);
        } else {
            // With the density wanted below, phi comes with P (into lambda,
            // where it is used).
            if (w.want_lambda)
                normal.cdf_pdf_batch(t, p, lambda, len);
            else
                normal.cdf_batch(t, p, len);
            for (std::size_t r = 0; r < len; ++r) p[r] = clip_probability(p[r]);
        }
        w.ahead.step();
        if (pass.record != nullptr) {
            std::memcpy(pass.record->z.data() + start, z, len * sizeof(double));
            std::memcpy(pass.record->p.data() + start, p, len * sizeof(double));
        }
        if (w.want_ll) {
            double* logp = w.logp.data();
            if (at_zero)
                std::fill(logp, logp + len, w.log_zero);
            else
                log_batch(p, logp, len);
            // With a score, ln P is summed in the score's sweep below.
            if (!w.want_score) {
                double ll = w.ll;
                for (std::size_t r = 0; r < len; ++r) ll = ll + logp[r];
                w.ll = ll;
            }
        }
        w.ahead.step();
    }
    if (!w.want_lambda) return;

    if (at_zero)
        std::fill(lambda, lambda + len, w.pdf_zero);
    else if (source.cache != nullptr)
        normal.pdf_batch(t, lambda, len);
    for (std::size_t r = 0; r < len; ++r) {
        const double yi = y[start + r];
        const double q = (yi + yi) + (-1.0);
        lambda[r] = (q * lambda[r]) / p[r];
    }
    if (pass.scores_out != nullptr) {
        double* out = pass.scores_out + start * k;
        for (std::size_t r = 0; r < len; ++r)
            for (std::size_t j = 0; j < k; ++j) out[r * k + j] = rows[r * k + j] * lambda[r];
    }
    // g_j = g_j + x_ij lambda_i, rows in order (and ll = ll + ln P_i).
    if (w.want_score) {
        auto term = [&](std::size_t r, auto x) { return x * lambda[r]; };
        if (w.want_ll && source.cache == nullptr)
            simd::add_weighted_rows_at(pass.g.data(), kp, xp, xs, len, term,
                                       simd::RowSums<1>{&w.ll, {w.logp.data()}});
        else
            simd::add_weighted_rows_at(pass.g.data(), kp, xp, xs, len, term);
    }
    w.ahead.step();
    if (w.want_hessian) {
        // w_i = (z_i + lambda_i) lambda_i: H_jl = H_jl - (x_ij w_i) x_il,
        // from a weighted copy of the rows, so that the tiles broadcast
        // x_ij w_i straight from memory.
        double* wr = w.weight.data();
        for (std::size_t r = 0; r < len; ++r) wr[r] = (z[r] + lambda[r]) * lambda[r];
        double* ap = w.weighted.data();
        scale_weighted_rows(w.wide_outer, ap, xp, kp, xs, wr, len);
        add_lower_products<false>(w.wide_outer, pass.h.data(), kp, k, ap, xp, xs, len, &w.ahead);
    }
    if (w.want_meat) {
        // s_ij = x_ij lambda_i, in both operands: M_jl = M_jl + s_il s_ij,
        // from the buffer of the Hessian's weighted rows (done with).
        double* sp = w.weighted.data();
        scale_weighted_rows(w.wide_outer, sp, xp, kp, xs, lambda, len);
        add_lower_products<true>(w.wide_outer, pass.m.data(), kp, k, sp, sp, kp, len, &w.ahead);
    }
}

// Adds the scores s_ij = x_ij lambda_i of rows [start, start + len) to their
// clusters' sums, u_l = u_l + s_il, rows in order.  Outside run_block: the
// grouping allocates (and may throw).  The clusters of the whole block are
// looked up first, so that the lookups of different rows overlap.
void add_cluster_scores(Pass& pass, Work& w, std::size_t start, std::size_t len) {
    const std::size_t k = w.k;
    const double* lambda = w.lambda.data();
    const double* rows = pass.model.exog.data() + start * k;
    std::size_t* cluster = w.cluster.data();
    pass.grouping->clusters_of(start, len, cluster);
    for (std::size_t r = 0; r < len; ++r, rows += k) {
        double* u = pass.grouping->sum(cluster[r]);
        const double lr = lambda[r];
        for (std::size_t l = 0; l < k; ++l) u[l] = u[l] + rows[l] * lr;
    }
}

void run_pass(Pass& pass, const Source& source) {
    const Probit& model = pass.model;
    const std::size_t n = model.nobs();
    Work w;
    w.k = model.k();
    w.kp = padded(w.k);
    w.want_ll = (pass.sums & kLogLike) != 0;
    w.want_score = (pass.sums & kScore) != 0;
    w.want_hessian = (pass.sums & kHessian) != 0;
    w.want_meat = (pass.sums & kMeat) != 0;
    w.wide_outer = use_wide_outer();
    w.wide_index = simd::has_avx512();
    w.want_lambda = w.want_score || w.want_hessian || w.want_meat || pass.scores_out != nullptr ||
                    pass.grouping != nullptr;
    if (w.want_score) pass.g.assign(w.kp, 0.0);
    if (w.want_hessian) pass.h.assign(w.kp * w.kp, 0.0);
    if (w.want_meat) pass.m.assign(w.kp * w.kp, 0.0);
    const std::size_t block = block_rows(w.kp, w.want_hessian || w.want_meat);
    w.xp.assign(block * w.kp);
    if (w.want_hessian) w.weight.assign(block);
    if (w.want_hessian || w.want_meat) w.weighted.assign(block * w.kp);
    w.z.assign(block);
    w.p.assign(block);
    w.t.assign(block);
    w.lambda.assign(block);
    if (w.want_ll) w.logp.assign(block);
    if (pass.grouping != nullptr) w.cluster.resize(block);
    w.p_zero = clip_probability(model.normal.cdf(0.0));
    log_batch(&w.p_zero, &w.log_zero, 1);
    w.pdf_zero = model.normal.pdf(0.0);
    if (source.beta != nullptr)
        w.beta_zero = std::all_of(source.beta->data(), source.beta->data() + w.k, [](double b) { return b == 0.0; });
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t len = std::min(block, n - start);
        if (pass.interrupt) pass.interrupt();
        run_block(pass, source, w, start, len);
        if (pass.grouping != nullptr) add_cluster_scores(pass, w, start, len);
    }
    pass.loglike = w.ll;
}

Vector unpad_vector(const std::vector<double>& g, std::size_t k) {
    return Vector(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(k));
}

// A symmetric sum of which only the lower triangle was formed, mirrored: the
// meat's M_lj is M_jl exactly (s_il s_ij and s_ij s_il are the same
// product); the Hessian's H_lj is taken to be H_jl, formed from the products
// (x_ij w_i) x_il with j >= l, which makes it exactly symmetric.
Matrix unpad_lower(const std::vector<double>& h, std::size_t k) {
    const std::size_t kp = padded(k);
    Matrix m(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l <= j; ++l) m(j, l) = m(l, j) = h[j * kp + l];
    return m;
}

void collect(const Pass& pass, unsigned sums, Evaluation& e) {
    const std::size_t k = pass.model.k();
    if (sums & kScore) e.score = unpad_vector(pass.g, k);
    if (sums & kHessian) e.hessian = unpad_lower(pass.h, k);
    if (sums & kMeat) e.meat = unpad_lower(pass.m, k);
}

// The log-likelihood of the pass and the sums asked for.
Evaluation evaluation_of(const Pass& pass, unsigned sums) {
    Evaluation e;
    e.loglike = pass.loglike;
    collect(pass, sums, e);
    return e;
}

}  // namespace

Evaluation evaluate(const Probit& model, const Vector& beta, unsigned sums, RowCache* cache,
                    const Interrupt& interrupt, ClusterGrouping* grouping) {
    check_beta(model, beta);
    if (grouping != nullptr) check_cluster_rows(model, grouping->rows());
    if (cache != nullptr) {
        cache->z.resize(model.nobs());
        cache->p.resize(model.nobs());
    }
    Pass pass(model, sums | kLogLike, cache, nullptr, interrupt);
    pass.grouping = grouping;
    run_pass(pass, Source{&beta, nullptr});
    return evaluation_of(pass, sums);
}

Evaluation evaluate_copying_rows(Probit& model, const MatrixView& rows, const Vector& beta, unsigned sums) {
    check_beta(model, beta);
    copy_view_into(rows, model.exog);  // checks the shapes first
    const Interrupt none;  // never called in this pass
    Pass pass(model, sums | kLogLike, nullptr, nullptr, none);
    run_pass(pass, Source{&beta, nullptr});
    return evaluation_of(pass, sums);
}

void complete_from_cache(const Probit& model, const RowCache& cache, unsigned sums, Evaluation& e,
                         const Interrupt& interrupt) {
    if (cache.z.size() != model.nobs() || cache.p.size() != model.nobs()) {
        throw InternalError("row cache has " + std::to_string(cache.z.size()) + " rows but endog has " +
                            std::to_string(model.nobs()));
    }
    sums &= kScore | kHessian | kMeat;
    if (sums == 0) return;
    Pass pass(model, sums, nullptr, nullptr, interrupt);
    run_pass(pass, Source{nullptr, &cache});
    collect(pass, sums, e);
}

double log_likelihood(const Probit& model, const Vector& beta) {
    return evaluate(model, beta, kLogLike).loglike;
}

Vector score(const Probit& model, const Vector& beta) {
    return std::move(evaluate(model, beta, kScore).score);
}

Matrix probit_hessian(const Probit& model, const Vector& beta, const Interrupt& interrupt) {
    return std::move(evaluate(model, beta, kHessian, nullptr, interrupt).hessian);
}

Matrix probit_scores(const Probit& model, const Vector& beta, const Interrupt& interrupt) {
    check_beta(model, beta);
    Matrix s(model.nobs(), model.k());
    Pass pass(model, 0, nullptr, s.data(), interrupt);
    run_pass(pass, Source{&beta, nullptr});
    return s;
}

Matrix probit_hc0_meat(const Probit& model, const Vector& beta, const Interrupt& interrupt) {
    check_beta(model, beta);
    Pass pass(model, kMeat, nullptr, nullptr, interrupt);
    run_pass(pass, Source{&beta, nullptr});
    return unpad_lower(pass.m, model.k());
}

ClusterGrouping probit_cluster_grouping(const Probit& model, const Vector& beta, const Matrix& g,
                                        const Interrupt& interrupt) {
    check_beta(model, beta);
    check_cluster_rows(model, g.rows());
    ClusterGrouping grouping(g, model.k());
    Pass pass(model, 0, nullptr, nullptr, interrupt);
    pass.grouping = &grouping;
    run_pass(pass, Source{&beta, nullptr});
    return grouping;
}

ClusterSums probit_cluster_sums(const Probit& model, const Vector& beta, const Matrix& g,
                                const Interrupt& interrupt) {
    return probit_cluster_grouping(model, beta, g, interrupt).take_sums();
}

namespace probit_detail {

bool has_wide_outer() { return use_wide_outer(); }

void add_lower_products(bool wide, bool add, double* acc, std::size_t k, const double* a, const double* x,
                        std::size_t len) {
    wide = wide && use_wide_outer();
    if (add)
        quorvel::add_lower_products<true>(wide, acc, padded(k), k, a, x, padded(k), len);
    else
        quorvel::add_lower_products<false>(wide, acc, padded(k), k, a, x, padded(k), len);
}

}  // namespace probit_detail

}  // namespace quorvel
