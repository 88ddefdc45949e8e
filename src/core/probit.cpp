#include "core/probit.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "core/fast_math.hpp"

namespace quorvel {

Probit::Probit(Vector y, Matrix x) : endog(std::move(y)), exog(std::move(x)) {
    if (exog.rows() < endog.size()) {
        throw InputError("endog has " + std::to_string(endog.size()) + " observations but exog has only " +
                         std::to_string(exog.rows()) + " rows");
    }
}

namespace {

void check_beta(const Probit& model, const Vector& beta) {
    if (beta.size() != model.k()) {
        throw InternalError("beta has " + std::to_string(beta.size()) + " entries but exog has " +
                            std::to_string(model.k()) + " columns");
    }
}

// ---- Accumulator kernels ----------------------------------------------------
//
// The rows of a batch are copied into a buffer whose rows are padded with
// zeros to a multiple of four columns, so that the accumulators can work on
// four columns at a time.  The padding entries of the accumulators receive
// only products with zero (or NaN times zero) and are never read out.

inline std::size_t padded(std::size_t k) { return (k + 3) / 4 * 4; }

#if defined(__GNUC__) || defined(__clang__)
// The helpers below pass vectors by value but are always inlined into the
// function compiled for each instruction set, so no call ABI is involved.
#pragma GCC diagnostic ignored "-Wpsabi"
// Four doubles, loaded and stored without an alignment requirement.
typedef double v4 __attribute__((vector_size(32), aligned(8)));

QUORVEL_ALWAYS_INLINE inline v4 load4(const double* p) {
    v4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QUORVEL_ALWAYS_INLINE inline void store4(double* p, v4 v) { std::memcpy(p, &v, sizeof v); }

// acc(j + jj, l + c) for jj < 4 and c < 4 LV: adds (kAdd) or subtracts
// a(r, j + jj) * x(r, l + c) for r = 0..len-1 in order.  a and x have row
// stride kp, acc is kp x kp.
template <bool kAdd, int LV>
QUORVEL_ALWAYS_INLINE inline void tile(double* acc, std::size_t kp, const double* a, const double* x,
                                       std::size_t len, std::size_t j, std::size_t l) {
    v4 h[4][LV];
    for (int jj = 0; jj < 4; ++jj)
        for (int c = 0; c < LV; ++c) h[jj][c] = load4(acc + (j + jj) * kp + l + 4 * c);
    for (std::size_t r = 0; r < len; ++r) {
        const double* ar = a + r * kp + j;
        const double* xr = x + r * kp + l;
        v4 xv[LV];
        for (int c = 0; c < LV; ++c) xv[c] = load4(xr + 4 * c);
        for (int jj = 0; jj < 4; ++jj) {
            const double s = ar[jj];
            const v4 b = {s, s, s, s};
            for (int c = 0; c < LV; ++c) {
                const v4 term = b * xv[c];
                h[jj][c] = kAdd ? h[jj][c] + term : h[jj][c] - term;
            }
        }
    }
    for (int jj = 0; jj < 4; ++jj)
        for (int c = 0; c < LV; ++c) store4(acc + (j + jj) * kp + l + 4 * c, h[jj][c]);
}

template <bool kAdd>
QUORVEL_ALWAYS_INLINE inline void accumulate_outer(double* acc, std::size_t kp, const double* a,
                                                   const double* x, std::size_t len) {
    for (std::size_t j = 0; j < kp; j += 4) {
        // Eight accumulators of four (with the row's loads and the
        // broadcast) fit the sixteen vector registers without spilling.
        std::size_t l = 0;
        for (; l + 8 <= kp; l += 8) tile<kAdd, 2>(acc, kp, a, x, len, j, l);
        if (l < kp) tile<kAdd, 1>(acc, kp, a, x, len, j, l);
    }
}
#else
template <bool kAdd>
inline void accumulate_outer(double* acc, std::size_t kp, const double* a, const double* x,
                             std::size_t len) {
    for (std::size_t r = 0; r < len; ++r)
        for (std::size_t j = 0; j < kp; ++j)
            for (std::size_t l = 0; l < kp; ++l) {
                const double term = a[r * kp + j] * x[r * kp + l];
                acc[j * kp + l] = kAdd ? acc[j * kp + l] + term : acc[j * kp + l] - term;
            }
}
#endif

// g_j = x(r, j) * lambda_r + g_j for r = 0..len-1 in order.
QUORVEL_ALWAYS_INLINE inline void accumulate_score(double* g, std::size_t kp, const double* x,
                                                   const double* lambda, std::size_t len) {
    for (std::size_t r = 0; r < len; ++r) {
        const double* xr = x + r * kp;
        const double lr = lambda[r];
        for (std::size_t j = 0; j < kp; ++j) g[j] = xr[j] * lr + g[j];
    }
}

// ---- The pass over the rows -------------------------------------------------

// Where the z_i and P_i of a pass come from: computed from beta (with the
// log-likelihood), or read back from a cache.
struct Source {
    const Vector* beta = nullptr;
    const RowCache* cache = nullptr;
};

// Rows per block: a full batch, fewer when a row's outer products are so
// large (many columns) that the interrupt would otherwise be called too
// rarely.
std::size_t block_rows(std::size_t kp, bool outer) {
    if (!outer) return kRowBatch;
    const std::size_t per_row = kp * kp + 1;
    const std::size_t rows = (std::size_t{1} << 22) / per_row;
    return std::max<std::size_t>(1, std::min(kRowBatch, rows));
}

struct Pass {
    Pass(const Probit& m, unsigned s, bool hc0, RowCache* rec, double* scores, const Interrupt& stop)
        : model(m), sums(s), meat(hc0), record(rec), scores_out(scores), interrupt(stop) {}

    const Probit& model;
    unsigned sums;
    bool meat;            // the HC0 meat instead of the Hessian
    RowCache* record;     // where to record z and P, or null
    double* scores_out;   // n x k row scores, or null
    const Interrupt& interrupt;

    double loglike = 0.0;
    std::vector<double> g, h;  // padded score and outer-product accumulators
};

// The buffers of one pass, sized for a block of rows.
struct Work {
    std::size_t k, kp;
    bool want_score, want_outer, want_lambda;
    std::vector<double> xp, ap, z, p, t, lambda;
    double ll = 0.0;
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
    double* xp = w.xp.data();
    double* z = w.z.data();
    double* p = w.p.data();
    double* t = w.t.data();
    double* lambda = w.lambda.data();
    const double* rows = model.exog.data() + start * k;
    if (w.want_lambda) {
        for (std::size_t r = 0; r < len; ++r) {
            const double* src = rows + r * k;
            double* dst = xp + r * kp;
            for (std::size_t j = 0; j < k; ++j) dst[j] = src[j];
        }
    }
    if (source.cache != nullptr) {
        std::memcpy(z, source.cache->z.data() + start, len * sizeof(double));
        std::memcpy(p, source.cache->p.data() + start, len * sizeof(double));
        for (std::size_t r = 0; r < len; ++r) {
            const double yi = y[start + r];
            t[r] = z[r] * ((yi + yi) + (-1.0));
        }
    } else {
        const double* b = source.beta->data();
        const double* row = rows;
        for (std::size_t r = 0; r < len; ++r, row += k) {
            double zr = 0.0;
            for (std::size_t j = 0; j < k; ++j) zr = zr + row[j] * b[j];
            const double yi = y[start + r];
            z[r] = zr;
            t[r] = zr * ((yi + yi) + (-1.0));
        }
        normal.cdf_batch(t, p, len);
        for (std::size_t r = 0; r < len; ++r) p[r] = clip_probability(p[r]);
        if (pass.record != nullptr) {
            std::memcpy(pass.record->z.data() + start, z, len * sizeof(double));
            std::memcpy(pass.record->p.data() + start, p, len * sizeof(double));
        }
        // ln P, formed in the lambda buffer, which is free until below.
        log_batch(p, lambda, len);
        double ll = w.ll;
        for (std::size_t r = 0; r < len; ++r) ll = ll + lambda[r];
        w.ll = ll;
    }
    if (!w.want_lambda) return;

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
    if (w.want_score) accumulate_score(pass.g.data(), kp, xp, lambda, len);
    if (!w.want_outer) return;
    if (pass.meat) {
        // s_ij = x_ij lambda_i, in both operands: M_jl = M_jl + s_il s_ij.
        for (std::size_t r = 0; r < len; ++r)
            for (std::size_t j = 0; j < kp; ++j) xp[r * kp + j] = xp[r * kp + j] * lambda[r];
        accumulate_outer<true>(pass.h.data(), kp, xp, xp, len);
    } else {
        double* ap = w.ap.data();
        for (std::size_t r = 0; r < len; ++r) {
            const double wr = (z[r] + lambda[r]) * lambda[r];
            for (std::size_t j = 0; j < kp; ++j) ap[r * kp + j] = xp[r * kp + j] * wr;
        }
        accumulate_outer<false>(pass.h.data(), kp, ap, xp, len);
    }
}

void run_pass(Pass& pass, const Source& source) {
    const Probit& model = pass.model;
    const std::size_t n = model.nobs();
    Work w;
    w.k = model.k();
    w.kp = padded(w.k);
    w.want_score = (pass.sums & kScore) != 0;
    w.want_outer = (pass.sums & kHessian) != 0 || pass.meat;
    w.want_lambda = w.want_score || w.want_outer || pass.scores_out != nullptr;
    if (w.want_score) pass.g.assign(w.kp, 0.0);
    if (w.want_outer) pass.h.assign(w.kp * w.kp, 0.0);
    const std::size_t block = block_rows(w.kp, w.want_outer);
    w.xp.assign(block * w.kp, 0.0);
    if (w.want_outer) w.ap.assign(block * w.kp, 0.0);
    w.z.resize(block);
    w.p.resize(block);
    w.t.resize(block);
    w.lambda.resize(block);
    for (std::size_t start = 0; start < n; start += block) {
        if (pass.interrupt) pass.interrupt();
        run_block(pass, source, w, start, std::min(block, n - start));
    }
    pass.loglike = w.ll;
}

Vector unpad_vector(const std::vector<double>& g, std::size_t k) {
    return Vector(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(k));
}

Matrix unpad_matrix(const std::vector<double>& h, std::size_t k) {
    const std::size_t kp = padded(k);
    Matrix m(k, k);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l < k; ++l) m(j, l) = h[j * kp + l];
    return m;
}

void collect(const Pass& pass, unsigned sums, Evaluation& e) {
    const std::size_t k = pass.model.k();
    if (sums & kScore) e.score = unpad_vector(pass.g, k);
    if (sums & kHessian) e.hessian = unpad_matrix(pass.h, k);
}

}  // namespace

Evaluation evaluate(const Probit& model, const Vector& beta, unsigned sums, RowCache* cache,
                    const Interrupt& interrupt) {
    check_beta(model, beta);
    if (cache != nullptr) {
        cache->z.resize(model.nobs());
        cache->p.resize(model.nobs());
    }
    Pass pass(model, sums, false, cache, nullptr, interrupt);
    run_pass(pass, Source{&beta, nullptr});
    Evaluation e;
    e.loglike = pass.loglike;
    collect(pass, sums, e);
    return e;
}

void complete_from_cache(const Probit& model, const RowCache& cache, unsigned sums, Evaluation& e,
                         const Interrupt& interrupt) {
    if (cache.z.size() != model.nobs() || cache.p.size() != model.nobs()) {
        throw InternalError("row cache has " + std::to_string(cache.z.size()) + " rows but endog has " +
                            std::to_string(model.nobs()));
    }
    sums &= kScore | kHessian;
    if (sums == 0) return;
    Pass pass(model, sums, false, nullptr, nullptr, interrupt);
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
    Pass pass(model, kLogLike, false, nullptr, s.data(), interrupt);
    run_pass(pass, Source{&beta, nullptr});
    return s;
}

Matrix probit_hc0_meat(const Probit& model, const Vector& beta, const Interrupt& interrupt) {
    check_beta(model, beta);
    Pass pass(model, kLogLike, true, nullptr, nullptr, interrupt);
    run_pass(pass, Source{&beta, nullptr});
    return unpad_matrix(pass.h, model.k());
}

}  // namespace quorvel
