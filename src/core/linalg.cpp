#include "core/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace quorvel {

void fail_index(std::size_t index, std::size_t dim) {
    throw InternalError("assertion failed: index < dim (index " + std::to_string(index) +
                        ", dim " + std::to_string(dim) + ")");
}

Matrix Matrix::identity(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i) m.data_[i * n + i] = 1.0;
    return m;
}

std::string shape_text(std::size_t rows, std::size_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

void copy_view_rows(const MatrixView& v, std::size_t first, std::size_t count, double* out) {
    if (count == 0 || v.cols == 0) return;
    constexpr auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    const char* row = v.base + static_cast<std::ptrdiff_t>(first) * v.row_stride;
    if (v.col_stride == d) {
        // Rows of contiguous doubles (any alignment): one copy per row, or a
        // single one when the rows follow each other too.
        const std::size_t row_bytes = v.cols * sizeof(double);
        if (v.row_stride == static_cast<std::ptrdiff_t>(row_bytes)) {
            std::memcpy(out, row, count * row_bytes);
            return;
        }
        for (std::size_t r = 0; r < count; ++r, out += v.cols, row += v.row_stride) std::memcpy(out, row, row_bytes);
        return;
    }
    for (std::size_t r = first; r < first + count; ++r)
        for (std::size_t c = 0; c < v.cols; ++c) *out++ = v(r, c);
}

void copy_view_into(const MatrixView& v, Matrix& m) {
    if (m.rows() != v.rows || m.cols() != v.cols)
        throw InternalError("copy_view_into: shapes " + shape_text(v.rows, v.cols) + " and " +
                            shape_text(m.rows(), m.cols()) + " differ");
    const std::size_t k = v.cols;
    if (k == 0) return;
    // Whole rows, up to the end of the huge page the copy is in.
    constexpr std::size_t page = storage::kLargeBlock;
    storage::AscendingFill fill(m.data(), v.rows * k * sizeof(double));
    for (std::size_t done = 0; done < v.rows;) {
        const std::size_t stretch = (done * k * sizeof(double) / page + 1) * page;
        const std::size_t upto = std::min(v.rows, (stretch / sizeof(double) + k - 1) / k);
        fill.reach(upto * k * sizeof(double));
        copy_view_rows(v, done, upto - done, m.data() + done * k);
        done = upto;
    }
}

Matrix to_matrix(const MatrixView& v) {
    // Every element is written below.
    Matrix m(v.rows, v.cols, Matrix::Uninitialized{});
    copy_view_into(v, m);
    return m;
}

Vector to_vector(const VectorView& v) {
    // A huge page at a time into storage that is not zero-filled first.
    Vector out;
    out.reserve(v.size);
    storage::AscendingFill fill(out.data(), v.size * sizeof(double));
    const bool neighbours = v.stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
                            reinterpret_cast<std::uintptr_t>(v.base) % alignof(double) == 0;
    constexpr std::size_t per = storage::kLargeBlock / sizeof(double);
    for (std::size_t done = 0; done < v.size;) {
        const std::size_t upto = std::min(v.size, done + per);
        fill.reach(upto * sizeof(double));
        if (neighbours) {
            const double* first = reinterpret_cast<const double*>(v.base);
            out.insert(out.end(), first + done, first + upto);
        } else {
            for (std::size_t i = done; i < upto; ++i) out.push_back(v[i]);
        }
        done = upto;
    }
    return out;
}

namespace {

[[noreturn]] void fail_product(const char* what, std::size_t ar, std::size_t ac, std::size_t br,
                               std::size_t bc) {
    throw InternalError(std::string(what) + ": shapes " + shape_text(ar, ac) + " and " +
                        shape_text(br, bc) + " do not fit");
}

}  // namespace

// c(i, j) = sum_p a(i, p) * b(p, j), accumulated p ascending; the i-p-j loop
// order streams rows of b and c with unit stride.
Matrix matmul(const Matrix& a, const Matrix& b, const Interrupt& interrupt) {
    if (a.cols() != b.rows()) fail_product("matmul", a.rows(), a.cols(), b.rows(), b.cols());
    const std::size_t n = a.rows(), inner = a.cols(), m = b.cols();
    Matrix c(n, m);
    const double* ad = a.data();
    const double* bd = b.data();
    double* cd = c.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (interrupt) interrupt();
        double* crow = cd + i * m;
        for (std::size_t p = 0; p < inner; ++p) {
            const double aip = ad[i * inner + p];
            const double* brow = bd + p * m;
            for (std::size_t j = 0; j < m; ++j) crow[j] = crow[j] + aip * brow[j];
        }
    }
    return c;
}

// c(i, j) = row i of a . row j of b.
Matrix matmul_transposed(const Matrix& a, const Matrix& b, const Interrupt& interrupt) {
    if (a.cols() != b.cols())
        fail_product("matmul_transposed", a.rows(), a.cols(), b.rows(), b.cols());
    const std::size_t n = a.rows(), inner = a.cols(), m = b.rows();
    Matrix c(n, m);
    const double* ad = a.data();
    const double* bd = b.data();
    double* cd = c.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (interrupt) interrupt();
        const double* arow = ad + i * inner;
        for (std::size_t j = 0; j < m; ++j) {
            const double* brow = bd + j * inner;
            double sum = 0.0;
            for (std::size_t p = 0; p < inner; ++p) sum = sum + arow[p] * brow[p];
            cd[i * m + j] = sum;
        }
    }
    return c;
}

void matvec_into(const Matrix& a, const Vector& x, Vector& out) {
    if (a.cols() != x.size() || out.size() != a.rows())
        fail_product("matvec", a.rows(), a.cols(), x.size(), 1);
    const std::size_t n = a.rows(), inner = a.cols();
    const double* ad = a.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double* arow = ad + i * inner;
        double sum = 0.0;
        for (std::size_t p = 0; p < inner; ++p) sum = sum + arow[p] * x[p];
        out[i] = sum;
    }
}

Vector matvec(const Matrix& a, const Vector& x) {
    Vector out(a.rows());
    matvec_into(a, x, out);
    return out;
}

namespace {

void check_square(const char* what, const Matrix& h) {
    if (h.rows() != h.cols()) {
        throw InternalError(std::string(what) + ": matrix of shape " + shape_text(h.rows(), h.cols()) +
                            " is not square");
    }
}

// Partial pivoting in column c of the rows c..k-1 of a row-major array with
// row length w: the first row holding the largest magnitude (strictly larger
// replaces, so a tie keeps the earlier row and a NaN never replaces).  m
// receives that magnitude.
std::size_t pivot_row(const double* a, std::size_t w, std::size_t k, std::size_t c, double& m) {
    std::size_t p = c;
    m = std::fabs(a[c * w + c]);
    for (std::size_t r = c + 1; r < k; ++r) {
        const double v = std::fabs(a[r * w + c]);
        if (v > m) {
            m = v;
            p = r;
        }
    }
    return p;
}

bool has_nan(const Matrix& a) {
    for (double v : a.storage())
        if (std::isnan(v)) return true;
    return false;
}

}  // namespace

std::optional<Matrix> invert_gauss_jordan(const Matrix& h, const Interrupt& interrupt) {
    check_square("invert_gauss_jordan", h);
    const std::size_t k = h.rows(), w = 2 * k;
    Matrix a(k, w);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = 0; c < k; ++c) a(r, c) = h(r, c);
        a(r, k + r) = 1.0;
    }
    double* ad = a.data();
    for (std::size_t c = 0; c < k; ++c) {
        if (interrupt) interrupt();
        double m = 0.0;
        const std::size_t p = pivot_row(ad, w, k, c, m);
        if (m < 1e-14) return std::nullopt;  // a NaN m passes
        if (p != c) {
            for (std::size_t j = 0; j < w; ++j) std::swap(ad[c * w + j], ad[p * w + j]);
        }
        double* prow = ad + c * w;
        const double p0 = prow[c];
        for (std::size_t j = c; j < w; ++j) prow[j] = prow[j] / p0;
        for (std::size_t r = c + 1; r < k; ++r) {
            double* rrow = ad + r * w;
            const double f = rrow[c];
            for (std::size_t j = c; j < w; ++j) rrow[j] = rrow[j] - prow[j] * f;
        }
    }
    for (std::size_t c = k; c-- > 1;) {
        if (interrupt) interrupt();
        const double* crow = ad + c * w;
        for (std::size_t r = 0; r < c; ++r) {
            double* rrow = ad + r * w;
            const double f = rrow[c];
            for (std::size_t j = c; j < w; ++j) rrow[j] = rrow[j] - crow[j] * f;
        }
    }
    Matrix inv(k, k);
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t j = 0; j < k; ++j) inv(r, j) = a(r, k + j);
    return inv;
}

bool rank_deficient_scaled(const Matrix& h, double rel_tol) {
    check_square("rank_deficient_scaled", h);
    if (has_nan(h)) return false;
    const std::size_t k = h.rows();
    Vector d(k);
    for (std::size_t j = 0; j < k; ++j) {
        const double diag = std::fabs(h(j, j));
        if (diag == 0.0) return true;
        d[j] = 1.0 / std::sqrt(diag);
    }
    Matrix a(k, k);
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t c = 0; c < k; ++c) a(r, c) = (h(r, c) * d[r]) * d[c];
    double* ad = a.data();
    for (std::size_t c = 0; c < k; ++c) {
        double m = 0.0;
        const std::size_t p = pivot_row(ad, k, k, c, m);
        if (m < rel_tol) return true;
        if (!(m <= std::numeric_limits<double>::max())) return false;  // overflowed: no verdict
        if (p != c) {
            for (std::size_t j = c; j < k; ++j) std::swap(ad[c * k + j], ad[p * k + j]);
        }
        const double* prow = ad + c * k;
        for (std::size_t r = c + 1; r < k; ++r) {
            double* rrow = ad + r * k;
            const double f = rrow[c] / prow[c];
            for (std::size_t j = c; j < k; ++j) rrow[j] = rrow[j] - prow[j] * f;
        }
    }
    return false;
}

Vector solve_psd_identified(const Matrix& a, const Vector& b, double rel_tol, std::size_t* rank) {
    check_square("solve_psd_identified", a);
    const std::size_t k = a.rows();
    if (b.size() != k) fail_product("solve_psd_identified", k, k, b.size(), 1);
    Vector x(k, 0.0);
    if (rank != nullptr) *rank = 0;
    for (double v : a.storage())
        if (!std::isfinite(v)) return Vector(k, std::numeric_limits<double>::quiet_NaN());
    for (double v : b)
        if (!std::isfinite(v)) return Vector(k, std::numeric_limits<double>::quiet_NaN());

    // Scale to unit diagonal; columns with a diagonal that is not positive
    // are null directions from the start.
    Vector d(k, 0.0);
    std::vector<std::size_t> open;  // columns not yet taken and not ruled out
    for (std::size_t j = 0; j < k; ++j) {
        if (a(j, j) > 0.0) {
            d[j] = 1.0 / std::sqrt(a(j, j));
            open.push_back(j);
        }
    }
    // s holds the scaled matrix and is overwritten by the factor: after step
    // p, column piv[p] of L lives in s(., piv[p]) for the rows still open.
    Matrix s(k, k);
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t c = 0; c < k; ++c) s(r, c) = (a(r, c) * d[r]) * d[c];
    std::vector<std::size_t> piv;
    Vector l_diag;
    while (!open.empty()) {
        // The open column with the largest remaining diagonal.
        std::size_t best = 0;
        for (std::size_t q = 1; q < open.size(); ++q)
            if (s(open[q], open[q]) > s(open[best], open[best])) best = q;
        const std::size_t p = open[best];
        const double pivot = s(p, p);
        if (!(pivot >= rel_tol)) break;
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(best));
        const double lpp = std::sqrt(pivot);
        // Column p of L below the pivot, then the Schur complement.
        for (const std::size_t r : open) s(r, p) = s(r, p) / lpp;
        for (const std::size_t r : open)
            for (const std::size_t c : open) s(r, c) = s(r, c) - s(r, p) * s(c, p);
        piv.push_back(p);
        l_diag.push_back(lpp);
    }
    const std::size_t m = piv.size();
    if (rank != nullptr) *rank = m;

    // L L^T y = D b on the columns taken, in pivot order: L's entry (row
    // piv[i], column piv[q]) for i > q is s(piv[i], piv[q]).
    Vector y(m);
    for (std::size_t i = 0; i < m; ++i) {
        double v = b[piv[i]] * d[piv[i]];
        for (std::size_t q = 0; q < i; ++q) v = v - s(piv[i], piv[q]) * y[q];
        y[i] = v / l_diag[i];
    }
    for (std::size_t i = m; i-- > 0;) {
        double v = y[i];
        for (std::size_t q = i + 1; q < m; ++q) v = v - s(piv[q], piv[i]) * y[q];
        y[i] = v / l_diag[i];
    }
    for (std::size_t i = 0; i < m; ++i) x[piv[i]] = y[i] * d[piv[i]];
    return x;
}

}  // namespace quorvel
