#include "core/ame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/normal.hpp"
#include "core/simd.hpp"

namespace quorvel {

// The comparison is meant on the full Unicode lower-case mapping of the name.
// The only code points outside ASCII whose full lower-case mapping contains an
// ASCII letter are U+0130 (to "i" followed by the non-ASCII U+0307, so the
// result is never pure ASCII) and U+212A KELVIN SIGN (to "k", a letter in
// neither word).  Every other non-ASCII code point lower-cases to non-ASCII
// text.  So a name holding any byte >= 0x80 can never lower-case to "const" or
// "intercept", and an ASCII name lower-cases exactly as ASCII does.
bool is_intercept_name(const std::string& utf8_name) {
    std::string lower;
    lower.reserve(utf8_name.size());
    for (const char ch : utf8_name) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x80) return false;
        lower += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : ch;
    }
    return lower == "const" || lower == "intercept";
}

double two_sided_p_value(double z) {
    const double c = normal_cdf(std::fabs(z));
    return (1.0 - c) + (1.0 - c);
}

const char* significance_stars(double p) {
    if (p < 0.01) return "***";
    if (p < 0.05) return "**";
    if (p < 0.1) return "*";
    return "";
}

void check_ame_shapes(std::size_t beta_size, std::size_t v_rows, std::size_t v_cols, std::size_t n,
                      std::size_t k, const std::vector<std::string>& names) {
    const std::string columns = " but exog has " + std::to_string(k) + " columns";
    if (v_rows != k || v_cols != k)
        throw InternalError("cov_params has shape " + shape_text(v_rows, v_cols) + columns);
    if (n > 0 && beta_size != k)
        throw InternalError("params has " + std::to_string(beta_size) + " entries" + columns);
    if (names.size() < k)
        throw InternalError("exog_names has " + std::to_string(names.size()) + " entries" +
                            columns);
    for (std::size_t j = k; j < names.size(); ++j) {
        if (!is_intercept_name(names[j]))
            throw InternalError("exog_names has " + std::to_string(names.size()) + " entries" +
                                columns + " and entry " + std::to_string(j) +
                                " is not an intercept name");
    }
}

AmeColumns classify_ame_columns(const std::vector<std::string>& names, std::size_t k,
                               const std::vector<bool>& binary) {
    AmeColumns out;
    out.intercept.assign(k, false);
    for (std::size_t j = 0; j < k; ++j) {
        out.intercept[j] = is_intercept_name(names[j]);
        if (out.intercept[j]) continue;
        (binary[j] ? out.binary : out.continuous).push_back(j);
    }
    return out;
}

namespace {

// ---- One batch of rows -----------------------------------------------------
//
// The sums over the columns of a batch's rows run four at a time, reading kp
// columns, k rounded up to four, from the start of each row.  Where the rows
// follow each other in the caller's memory they are read there, the last kp -
// k columns of a row being the next row's first, unless that runs past the end
// of x; otherwise (and there) they are copied into a buffer of rows padded
// with zeros.  The padding entries of the sums are never read out.

inline std::size_t padded(std::size_t k) { return (k + 3) / 4 * 4; }

// The per-block sums (padding entries receive only products with zero and
// are never read out).
struct BlockSums {
    double dens = 0.0;
    Vector a;                  // kp: sum_r (t_r x_rl) f_r
    Vector cdf1, cdf0, dens1;  // nb
    Vector diff_x;             // nb x kp: sum_r (f1_r - f0_r) x_rl

    void reset(std::size_t kp, std::size_t nb) {
        dens = 0.0;
        a.assign(kp, 0.0);
        cdf1.assign(nb, 0.0);
        cdf0.assign(nb, 0.0);
        dens1.assign(nb, 0.0);
        diff_x.assign(nb * kp, 0.0);
    }
};

// Rows per batch.  A batch's rows and its dozen row-length temporaries
// stay in the first-level data cache while the column sweeps read them again
// (64 rows at k = 10: about 12 KiB); 256 rows measured 2-7% slower at
// k = 3 to 20 and the same at 50.
constexpr std::size_t kAmeBatch = 64;

// Buffers of one batch of kAmeBatch rows.
struct Batch {
    std::size_t k = 0, kp = 0;
    const double* b = nullptr;               // k coefficients
    const std::size_t* binary = nullptr;     // nb columns summed as binary while active
    std::size_t nb = 0;
    Vector rows;                             // kAmeBatch x kp, for rows copied
    const double* in_place = nullptr;        // the batch's rows in x (stride k), or null: copied
    Vector t, cdf_t, pdf_t;                  // at the row's index
    Vector u, cdf_u, pdf_u;                  // at the other index of a binary column
    Vector v, cdf_v, pdf_v;                  // at t0 where neither index is t
    Vector p1, p0, f1;                       // Phi(t1), Phi(t0) and phi(t1)
    std::vector<std::int64_t> one, zero;     // all ones where t1 (t0) is t
    std::vector<char> active;                // per such column: 0/1 so far, binary sums formed
    bool wide_index = simd::has_avx512();
    simd::Lookahead ahead;                   // the next batch's rows, requested between the steps

    Batch(std::size_t k_, const double* b_, const std::vector<std::size_t>& bin)
        : k(k_), kp(padded(k_)), b(b_), binary(bin.data()), nb(bin.size()),
          rows(kAmeBatch * padded(k_), 0.0), t(kAmeBatch), cdf_t(kAmeBatch), pdf_t(kAmeBatch),
          u(kAmeBatch), cdf_u(kAmeBatch), pdf_u(kAmeBatch), v(kAmeBatch), cdf_v(kAmeBatch),
          pdf_v(kAmeBatch), p1(kAmeBatch), p0(kAmeBatch), f1(kAmeBatch), one(kAmeBatch), zero(kAmeBatch),
          active(bin.size(), 1) {}
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Adds len rows of the batch to the block sums, each sum in row order, and
// takes the 3 + 2 * (active binary columns) steps of w.ahead on the way.  An
// active column that holds a value other than 0.0 and 1.0 in the batch is
// made inactive and gets no binary sums (nor its two steps).
//
// For a binary column j the indices t1 = t + (1 - x_j) b_j and
// t0 = t + (-x_j) b_j are formed as written; on a row with x_j = 1 the first
// equals t bit for bit (with x_j = 0 the second does), and then Phi and phi
// at t are reused instead of evaluated again: one cdf and one density per
// binary column and row instead of two.  A row where neither equals t (a
// non-finite coefficient, t = 0 with the other sign of zero) evaluates both.
QUORVEL_MULTIVERSION void add_batch(Batch& w, BlockSums& s, const Normal& normal, std::size_t len) noexcept {
    const std::size_t k = w.k, kp = w.kp;
    const double* rows = w.in_place != nullptr ? w.in_place : w.rows.data();
    const std::size_t rs = w.in_place != nullptr ? k : kp;  // their stride
    const double* b = w.b;
    double* t = w.t.data();
    simd::linear_index_rows(w.wide_index, t, rows, rs, k, b, len);
    w.ahead.step();
    double* pdf_t = w.pdf_t.data();
    double* cdf_t = w.cdf_t.data();
    if (w.nb > 0)
        normal.cdf_pdf_batch(t, cdf_t, pdf_t, len);
    else
        normal.pdf_batch(t, pdf_t, len);
    w.ahead.step();

    // a_l = a_l + (t_r x_rl) f_r and dens = dens + f_r, rows in order.
    simd::add_weighted_rows_at(s.a.data(), kp, rows, rs, len,
                               [&](std::size_t r, auto x) { return (t[r] * x) * pdf_t[r]; },
                               simd::RowSums<1>{&s.dens, {pdf_t}});
    w.ahead.step();

    double* u = w.u.data();
    double* v = w.v.data();
    std::int64_t* one = w.one.data();
    std::int64_t* zero = w.zero.data();
    double* cdf_u = w.cdf_u.data();
    double* pdf_u = w.pdf_u.data();
    double* cdf_v = w.cdf_v.data();
    double* pdf_v = w.pdf_v.data();
    for (std::size_t q = 0; q < w.nb; ++q) {
        if (!w.active[q]) continue;
        const std::size_t j = w.binary[q];
        const double bj = b[j];
        const double* xj = rows + j;  // x_rj = xj[r * rs]
        // u is t1 unless t1 is t, then t0; v is t0.  one and zero are all
        // ones where t1 (t0) is t.  On the way, whether the column holds
        // only 0.0 and 1.0 in this batch: if not, it gets no binary sums
        // from this batch on.
        bool both = false;      // some row where neither index is t
        bool zero_one = true;   // every x_rj is 0.0 or 1.0
        std::size_t r = 0;
#if QUORVEL_HAVE_V4
        using simd::v4;
        using simd::m4;
        m4 hit = {-1, -1, -1, -1};  // lanes where one of the indices was t so far
        m4 zero_one_lanes = {-1, -1, -1, -1};  // lanes whose x_rj were all 0.0 or 1.0 so far
        for (; r + 4 <= len; r += 4) {
            const v4 tr = simd::load4(t + r);
            const v4 x = {xj[r * rs], xj[(r + 1) * rs], xj[(r + 2) * rs], xj[(r + 3) * rs]};
            const v4 up = tr + (1.0 - x) * bj;
            const v4 down = tr + (-x) * bj;
            const m4 is1 = simd::bits(up) == simd::bits(tr);
            const m4 is0 = simd::bits(down) == simd::bits(tr);
            simd::store4(u + r, is1 ? down : up);
            simd::store4(v + r, down);
            simd::store4(one + r, is1);
            simd::store4(zero + r, is0);
            hit &= is1 | is0;
            zero_one_lanes &= (x == 0.0) | (x == 1.0);
        }
        both = !simd::all(hit);
        zero_one = simd::all(zero_one_lanes);
#endif
        for (; r < len; ++r) {
            const double x = xj[r * rs];
            const double up = t[r] + (1.0 - x) * bj;
            const double down = t[r] + (-x) * bj;
            const bool is1 = same_bits(up, t[r]);
            const bool is0 = same_bits(down, t[r]);
            one[r] = -static_cast<std::int64_t>(is1);
            zero[r] = -static_cast<std::int64_t>(is0);
            u[r] = is1 ? down : up;
            v[r] = down;
            both = both || !(is1 || is0);
            zero_one = zero_one && (x == 0.0 || x == 1.0);
        }
        if (!zero_one) {
            w.active[q] = 0;
            continue;
        }
        normal.cdf_pdf_batch(u, cdf_u, pdf_u, len);
        w.ahead.step();
        if (both) normal.cdf_pdf_batch(v, cdf_v, pdf_v, len);
        // At t1: t's values when t1 is t, else u's (u = t1).  At t0: u's
        // when t1 is t (u = t0), t's when t0 is t, else v's.  diff (in u,
        // free again) is f1 - f0.
        double* diff = u;
        double* p1s = w.p1.data();
        double* p0s = w.p0.data();
        double* f1s = w.f1.data();
        r = 0;
#if QUORVEL_HAVE_V4
        for (; r + 4 <= len; r += 4) {
            const m4 o = simd::load4i(one + r), z = simd::load4i(zero + r);
            const v4 ct = simd::load4(cdf_t + r), ft = simd::load4(pdf_t + r);
            const v4 cu = simd::load4(cdf_u + r), fu = simd::load4(pdf_u + r);
            const v4 f1 = o ? ft : fu;
            const v4 f0 = o ? fu : (z ? ft : simd::load4(pdf_v + r));
            simd::store4(p1s + r, o ? ct : cu);
            simd::store4(p0s + r, o ? cu : (z ? ct : simd::load4(cdf_v + r)));
            simd::store4(f1s + r, f1);
            simd::store4(diff + r, f1 - f0);
        }
#endif
        for (; r < len; ++r) {
            const bool o = one[r] != 0, z = zero[r] != 0;
            const double f1 = o ? pdf_t[r] : pdf_u[r];
            const double f0 = o ? pdf_u[r] : (z ? pdf_t[r] : pdf_v[r]);
            p1s[r] = o ? cdf_t[r] : cdf_u[r];
            p0s[r] = o ? cdf_u[r] : (z ? cdf_t[r] : cdf_v[r]);
            f1s[r] = f1;
            diff[r] = f1 - f0;
        }
        // diff_x_l = diff_x_l + diff_r x_rl, and the sums of Phi(t1), Phi(t0)
        // and phi(t1), rows in order.
        double sums[3] = {s.cdf1[q], s.cdf0[q], s.dens1[q]};
        simd::add_weighted_rows_at(s.diff_x.data() + q * kp, kp, rows, rs, len,
                                   [&](std::size_t r, auto x) { return diff[r] * x; },
                                   simd::RowSums<3>{sums, {p1s, p0s, f1s}});
        s.cdf1[q] = sums[0];
        s.cdf0[q] = sums[1];
        s.dens1[q] = sums[2];
        w.ahead.step();
    }
}

// Rows [first, first + len) of x into rows of stride kp (their padding left
// as it is), read once from the caller's memory.
QUORVEL_MULTIVERSION void read_rows(double* dst, std::size_t kp, const MatrixView& x, std::size_t first,
                                    std::size_t len) noexcept {
    const std::size_t k = x.cols;
    const char* src = x.base + static_cast<std::ptrdiff_t>(first) * x.row_stride;
    if (x.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        simd::copy_rows(dst, kp, src, x.row_stride, k, len);
        return;
    }
    for (std::size_t r = 0; r < len; ++r, dst += kp) {
        const char* row = src + static_cast<std::ptrdiff_t>(r) * x.row_stride;
        for (std::size_t l = 0; l < k; ++l)
            std::memcpy(dst + l, row + static_cast<std::ptrdiff_t>(l) * x.col_stride, sizeof(double));
    }
}

// Sets ahead to request, over `steps` steps, the rows [next, next + count)
// of x (fewer at its end), where rows follow each other in memory (as in the
// model's own copy), but no more than 16 KiB of them: more pushed the batch's
// own rows out of the first-level cache (at k = 50 slower than none), and the
// processor's prefetcher follows the rest once they are read.  Elsewhere it
// requests nothing.
void request_ahead(simd::Lookahead& ahead, const MatrixView& x, std::size_t next, std::size_t count,
                   unsigned steps) {
    const std::size_t row_bytes = x.cols * sizeof(double);
    const std::size_t rows = next < x.rows ? std::min(count, x.rows - next) : 0;
    if (rows == 0 || row_bytes == 0 || x.col_stride != static_cast<std::ptrdiff_t>(sizeof(double)) ||
        x.row_stride != static_cast<std::ptrdiff_t>(row_bytes)) {
        ahead.reset(nullptr, nullptr, 0);
        return;
    }
    const char* from = x.base + static_cast<std::ptrdiff_t>(next) * x.row_stride;
    ahead.reset(from, from + std::min<std::size_t>(rows * row_bytes, 16384), steps);
}

}  // namespace

std::vector<AmeRow> ame_rows(const AmeSums& sums, std::uint64_t n, const MatrixView& v,
                             const std::vector<std::string>& names, const AmeColumns& columns,
                             const Interrupt& interrupt) {
    const std::size_t k = sums.s.size();
    const Vector& s = sums.s;
    const Matrix& g = sums.g;
    const std::vector<bool>& intercept = columns.intercept;
    const double count = static_cast<double>(n);
    Matrix jac(k, k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t l = 0; l < k; ++l) jac(i, l) = g(i, l) / count;
    const Matrix w = matmul_transposed(matmul(jac, to_matrix(v), interrupt), jac, interrupt);

    std::vector<AmeRow> rows;
    for (std::size_t j = 0; j < k; ++j) {
        if (intercept[j]) continue;
        AmeRow row;
        row.name = names[j];
        row.dydx = s[j] / count;
        const double wjj = w(j, j);
        row.std_err = std::sqrt(wjj > 0.0 ? wjj : 0.0);  // negative or NaN: 0.0
        row.z = row.std_err > 0.0 ? row.dydx / row.std_err
                                  : std::numeric_limits<double>::quiet_NaN();
        row.p_value = two_sided_p_value(row.z);
        row.significance = significance_stars(row.p_value);
        rows.push_back(std::move(row));
    }
    return rows;
}

// Each block is visited once, row by row (in batches of kAmeBatch rows whose
// cdf values are evaluated together), every per-block sum being
// accumulated in row order from 0.0 and then added to its running total.  The
// continuous sums share a_l = sum_r (t_r x_rl) f_r, so their Jacobian rows
// cost O(k) per row in all, not O(k) per column.  Each batch's rows are
// checked for values other than 0.0 and 1.0 before they are summed; a column
// that has one gets no binary sums from then on.
AmeSumsBothWays ame_sums_both_ways(const Vector& b, const MatrixView& x, const std::vector<bool>& intercept,
                                   std::uint64_t chunk_size, const Interrupt& interrupt) {
    if (chunk_size == 0) throw InputError("chunk_size must be at least 1");
    const std::size_t n = x.rows, k = x.cols;
    if (n > 0 && b.size() != k)
        throw InternalError("params has " + std::to_string(b.size()) + " entries but exog has " +
                            std::to_string(k) + " columns");
    if (intercept.size() != k)
        throw InternalError("ame_sums_both_ways: " + std::to_string(intercept.size()) + " intercept flags for " +
                            std::to_string(k) + " columns");
    // The columns that are not intercepts; per-block sums are indexed by
    // position in this list.
    std::vector<std::size_t> columns;
    for (std::size_t j = 0; j < k; ++j)
        if (!intercept[j]) columns.push_back(j);
    const std::size_t nc = columns.size();
    AmeSumsBothWays out{std::vector<bool>(k, false), AmeSums{Vector(k, 0.0), Matrix(k, k)},
                        AmeSums{Vector(k, 0.0), Matrix(k, k)}};
    AmeSums& bin = out.as_binary;
    AmeSums& cont = out.as_continuous;

    Batch batch(k, b.data(), columns);
    BlockSums sums;
    const std::size_t kp = batch.kp;
    // Rows that follow each other in memory, read in place (see Batch).
    const bool contiguous = x.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
                            x.row_stride == static_cast<std::ptrdiff_t>(k * sizeof(double)) &&
                            reinterpret_cast<std::uintptr_t>(x.base) % alignof(double) == 0;
    // Fewer rows per batch when a row costs many operations, so that the
    // interrupt is still called often; recounted as columns drop out.
    auto rows_per_batch = [&](std::size_t binaries) {
        return std::max<std::size_t>(
            1, std::min<std::size_t>(kAmeBatch, (std::size_t{1} << 20) / ((binaries + 1) * kp + 1)));
    };
    std::size_t active = nc;  // columns still summed as binary
    std::size_t per_batch = rows_per_batch(active);
    const Normal normal;

    for (std::size_t start = 0; start < n;) {
        const bool last = chunk_size >= n - start;  // start + chunk_size >= n
        const std::size_t end = last ? n : start + static_cast<std::size_t>(chunk_size);
        sums.reset(kp, nc);

        for (std::size_t first = start; first < end; first += per_batch) {
            if (interrupt) interrupt();
            const std::size_t len = end - first < per_batch ? end - first : per_batch;
            if (contiguous && simd::rows_fit_in_place(first, len, k, kp, n)) {
                batch.in_place = reinterpret_cast<const double*>(x.base) + first * k;
            } else {
                batch.in_place = nullptr;
                read_rows(batch.rows.data(), kp, x, first, len);
            }
            request_ahead(batch.ahead, x, first + len, per_batch, static_cast<unsigned>(3 + 2 * active));
            add_batch(batch, sums, normal, len);
            active = static_cast<std::size_t>(std::count(batch.active.begin(), batch.active.end(), 1));
            per_batch = rows_per_batch(active);
        }

        for (std::size_t q = 0; q < nc; ++q) {
            const std::size_t j = columns[q];
            const double bj = b[j];
            cont.s[j] = sums.dens * bj + cont.s[j];
            for (std::size_t l = 0; l < k; ++l) {
                // d/d beta_j of f(t) beta_j is f(t) + beta_j f'(t) x_j and
                // f'(t) = -t f(t); the other coefficients give only the
                // second term.
                const double block = l == j ? sums.dens + sums.a[l] * (-bj) : sums.a[l] * (-bj);
                cont.g(j, l) = block + cont.g(j, l);
            }
            if (!batch.active[q]) continue;
            bin.s[j] = (sums.cdf1[q] - sums.cdf0[q]) + bin.s[j];
            for (std::size_t l = 0; l < k; ++l) {
                const double block = l == j ? sums.dens1[q] : sums.diff_x[q * kp + l];
                bin.g(j, l) = block + bin.g(j, l);
            }
        }

        if (last) break;
        start = end;
    }
    for (std::size_t q = 0; q < nc; ++q) out.binary[columns[q]] = batch.active[q] != 0;
    return out;
}

AmeSums classified_sums(const AmeSumsBothWays& both) {
    AmeSums sums = both.as_continuous;
    const std::size_t k = sums.s.size();
    for (std::size_t j = 0; j < k; ++j) {
        if (!both.binary[j]) continue;
        sums.s[j] = both.as_binary.s[j];
        for (std::size_t l = 0; l < k; ++l) sums.g(j, l) = both.as_binary.g(j, l);
    }
    return sums;
}

std::vector<AmeRow> compute_ame(const VectorView& beta, const MatrixView& v, const MatrixView& x,
                                const std::vector<std::string>& names, std::uint64_t chunk_size,
                                const Interrupt& interrupt) {
    if (chunk_size == 0) throw InputError("chunk_size must be at least 1");
    check_ame_shapes(beta.size, v.rows, v.cols, x.rows, x.cols, names);
    const std::size_t n = x.rows, k = x.cols;
    std::vector<bool> intercept(k);
    for (std::size_t j = 0; j < k; ++j) intercept[j] = is_intercept_name(names[j]);
    const AmeSumsBothWays both =
        ame_sums_both_ways(n > 0 ? to_vector(beta) : Vector(), x, intercept, chunk_size, interrupt);
    return ame_rows(classified_sums(both), n, v, names, classify_ame_columns(names, k, both.binary), interrupt);
}

}  // namespace quorvel
