#include "core/covariance.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace quorvel {

namespace {

// Checks that x has the n = y.size() rows and beta the x.cols() entries that
// the per-observation loops read.
void check_problem(const char* what, const Matrix& x, const Vector& y, const Vector& beta) {
    if (x.rows() < y.size()) {
        throw InternalError(std::string(what) + ": exog has shape " +
                            shape_text(x.rows(), x.cols()) + " but endog has " +
                            std::to_string(y.size()) + " entries");
    }
    if (beta.size() != x.cols()) {
        throw InternalError(std::string(what) + ": beta has " + std::to_string(beta.size()) +
                            " entries but exog has " + std::to_string(x.cols()) + " columns");
    }
}

// The per-observation quantities of the likelihood for the rows start ..
// start+len-1 (len <= kRowBatch): the linear index z (j ascending from 0.0)
// and lambda = (q phi(t)) / clip(Phi(t)) with q = 2y - 1 and t = z q, the cdf
// evaluated for the whole batch at once.
void batch_terms(const Matrix& x, const Vector& y, const Vector& beta, std::size_t start,
                 std::size_t len, double* z, double* lambda) {
    const std::size_t k = x.cols();
    const double* b = beta.data();
    const Normal normal;
    double t[kRowBatch], q[kRowBatch], p[kRowBatch];
    const double* row = x.data() + start * k;
    for (std::size_t r = 0; r < len; ++r, row += k) {
        double zr = 0.0;
        for (std::size_t j = 0; j < k; ++j) zr = zr + row[j] * b[j];
        const double yi = y[start + r];
        z[r] = zr;
        q[r] = (yi + yi) + (-1.0);
        t[r] = zr * q[r];
    }
    normal.cdf_batch(t, p, len);
    for (std::size_t r = 0; r < len; ++r)
        lambda[r] = (q[r] * normal.pdf(t[r])) / clip_probability(p[r]);
}

}  // namespace

// The multiversioned loops below never throw and never call the interrupt:
// GCC 12 compiles a call to a target_clones function made from its own
// translation unit as one that cannot throw, so an exception leaving such a
// function ends the process.  Their callers call the interrupt between blocks
// of rows instead.
namespace {

// h -= sum over the rows r = 0..len-1 of a block (row r at xd + r * k) of
// w[r] x_r x_r^T.  Rows are taken four at a time so that each row of h is
// loaded and stored once per four rank-one updates; every entry still
// receives the updates one by one in row order.
QUORVEL_MULTIVERSION void subtract_weighted_outer(const double* xd, const double* w, std::size_t len,
                                                  std::size_t k, double* hd) noexcept {
    std::size_t r = 0;
    for (; r + 4 <= len; r += 4) {
        const double* r0 = xd + r * k;
        const double* r1 = r0 + k;
        const double* r2 = r1 + k;
        const double* r3 = r2 + k;
        for (std::size_t j = 0; j < k; ++j) {
            const double a0 = r0[j] * w[r], a1 = r1[j] * w[r + 1];
            const double a2 = r2[j] * w[r + 2], a3 = r3[j] * w[r + 3];
            double* hrow = hd + j * k;
            for (std::size_t l = 0; l < k; ++l)
                hrow[l] = (((hrow[l] - a0 * r0[l]) - a1 * r1[l]) - a2 * r2[l]) - a3 * r3[l];
        }
    }
    for (; r < len; ++r) {
        const double* row = xd + r * k;
        for (std::size_t j = 0; j < k; ++j) {
            const double a = row[j] * w[r];
            double* hrow = hd + j * k;
            for (std::size_t l = 0; l < k; ++l) hrow[l] = hrow[l] - a * row[l];
        }
    }
}

// m += sum over the rows i = 0..len-1 of a block (row i at sd + i * k) of
// s_i s_i^T, four rows at a time as in subtract_weighted_outer.
QUORVEL_MULTIVERSION void add_outer(const double* sd, std::size_t len, std::size_t k, double* md) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const double* s0 = sd + i * k;
        const double* s1 = s0 + k;
        const double* s2 = s1 + k;
        const double* s3 = s2 + k;
        for (std::size_t j = 0; j < k; ++j) {
            double* mrow = md + j * k;
            for (std::size_t l = 0; l < k; ++l)
                mrow[l] = (((mrow[l] + s0[l] * s0[j]) + s1[l] * s1[j]) + s2[l] * s2[j]) + s3[l] * s3[j];
        }
    }
    for (; i < len; ++i) {
        const double* s = sd + i * k;
        for (std::size_t j = 0; j < k; ++j) {
            double* mrow = md + j * k;
            for (std::size_t l = 0; l < k; ++l) mrow[l] = mrow[l] + s[l] * s[j];
        }
    }
}

// Rows per block between two interrupt calls in the O(k^2)-per-row loops:
// four when a row costs k^2 >= 4096 updates, otherwise `otherwise` (a
// multiple of four).  Blocks start at multiples of four, so the rows are
// grouped by four exactly as in one pass over all of them.
std::size_t rows_per_block(std::size_t k, std::size_t otherwise) { return k >= 64 ? 4 : otherwise; }

}  // namespace

Matrix probit_hessian(const Matrix& x, const Vector& y, const Vector& beta, const Interrupt& interrupt) {
    check_problem("probit_hessian", x, y, beta);
    const std::size_t n = y.size(), k = x.cols();
    Matrix h(k, k);
    double z[kRowBatch], lambda[kRowBatch], w[kRowBatch];
    const std::size_t block = rows_per_block(k, kRowBatch);
    for (std::size_t start = 0; start < n; start += kRowBatch) {
        const std::size_t len = n - start < kRowBatch ? n - start : kRowBatch;
        batch_terms(x, y, beta, start, len, z, lambda);
        for (std::size_t r = 0; r < len; ++r) w[r] = (z[r] + lambda[r]) * lambda[r];
        const double* xd = x.data() + start * k;
        for (std::size_t r = 0; r < len; r += block) {
            subtract_weighted_outer(xd + r * k, w + r, len - r < block ? len - r : block, k, h.data());
            if (interrupt) interrupt();
        }
    }
    return h;
}

std::optional<Matrix> invert_gauss_jordan(const Matrix& h, const Interrupt& interrupt) {
    if (h.rows() != h.cols()) {
        throw InternalError("invert_gauss_jordan: matrix of shape " +
                            shape_text(h.rows(), h.cols()) + " is not square");
    }
    const std::size_t k = h.rows(), w = 2 * k;
    Matrix a(k, w);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = 0; c < k; ++c) a(r, c) = h(r, c);
        a(r, k + r) = 1.0;
    }
    double* ad = a.data();
    for (std::size_t c = 0; c < k; ++c) {
        if (interrupt) interrupt();
        // Pivot: the first row holding the largest magnitude (strictly larger
        // replaces; a NaN never does).
        std::size_t p = c;
        double m = std::fabs(ad[c * w + c]);
        for (std::size_t r = c + 1; r < k; ++r) {
            const double v = std::fabs(ad[r * w + c]);
            if (v > m) {
                m = v;
                p = r;
            }
        }
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

Matrix probit_scores(const Matrix& x, const Vector& y, const Vector& beta,
                     const Interrupt& interrupt) {
    check_problem("probit_scores", x, y, beta);
    const std::size_t n = y.size(), k = x.cols();
    Matrix s(n, k);
    double z[kRowBatch], lambda[kRowBatch];
    for (std::size_t start = 0; start < n; start += kRowBatch) {
        const std::size_t len = n - start < kRowBatch ? n - start : kRowBatch;
        batch_terms(x, y, beta, start, len, z, lambda);
        const double* row = x.data() + start * k;
        double* sd = s.data() + start * k;
        for (std::size_t r = 0; r < len; ++r, row += k, sd += k)
            for (std::size_t j = 0; j < k; ++j) sd[j] = row[j] * lambda[r];
        if (interrupt) interrupt();
    }
    return s;
}

Matrix hc0_meat(const Matrix& scores, const Interrupt& interrupt) {
    const std::size_t n = scores.rows(), k = scores.cols();
    Matrix m(k, k);
    const std::size_t block = rows_per_block(k, kRowBatch);
    for (std::size_t i = 0; i < n; i += block) {
        add_outer(scores.data() + i * k, n - i < block ? n - i : block, k, m.data());
        if (interrupt) interrupt();
    }
    return m;
}

Matrix cluster_meat(const ClusterSums& sums, std::size_t k, const Interrupt& interrupt) {
    Matrix m(k, k);
    double* md = m.data();
    std::size_t visited = 0;
    for (const auto& entry : sums) {
        if ((k >= 64 || ++visited % kRowBatch == 0) && interrupt) interrupt();
        const Vector& u = entry.second;
        if (u.size() != k) {
            throw InternalError("cluster_meat: a cluster sum has " + std::to_string(u.size()) +
                                " entries, expected " + std::to_string(k));
        }
        for (std::size_t j = 0; j < k; ++j) {
            double* mrow = md + j * k;
            for (std::size_t l = 0; l < k; ++l) mrow[l] = mrow[l] + u[j] * u[l];
        }
    }
    return m;
}

Matrix estimate_covariance(const Probit& model, const Vector& beta, bool robust,
                           const ClusterSource& clusters, const Interrupt& interrupt) {
    const std::size_t n = model.nobs(), k = model.k();
    const Matrix h = probit_hessian(model.exog, model.endog, beta, interrupt);
    std::optional<Matrix> inverse = invert_gauss_jordan(h, interrupt);
    Matrix v0;
    if (!inverse) {
        std::fwrite(kSingularHessianWarning, 1, std::char_traits<char>::length(kSingularHessianWarning),
                    stderr);
        std::fflush(stderr);
        v0 = Matrix::identity(k);
    } else {
        v0 = std::move(*inverse);
        for (double& e : v0.storage()) e = -e;
    }
    if (!robust) return v0;

    const Matrix s = probit_scores(model.exog, model.endog, beta, interrupt);
    std::optional<Matrix> g = clusters ? clusters() : std::nullopt;
    Matrix meat;
    if (!g) {
        meat = hc0_meat(s, interrupt);
    } else {
        if (g->rows() != n) {
            throw InputError("cluster mismatch: got " + std::to_string(g->rows()) +
                             " rows, nobs=" + std::to_string(n));
        }
        const std::vector<std::string> keys = combine_cluster_keys(*g, interrupt);
        meat = cluster_meat(sum_scores_by_cluster(keys, s, interrupt), k, interrupt);
    }
    return matmul(matmul(v0, meat, interrupt), v0, interrupt);
}

}  // namespace quorvel
