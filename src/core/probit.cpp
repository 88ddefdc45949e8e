#include "core/probit.hpp"

#include <cmath>
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

// Linear index of one row: sum_j x_j * beta_j, j ascending, from 0.0.
inline double linear_index(const double* x, const double* beta, std::size_t k) {
    double z = 0.0;
    for (std::size_t j = 0; j < k; ++j) z = z + x[j] * beta[j];
    return z;
}


void check_score_buffer(const Probit& model, const Vector& g) {
    if (g.size() != model.k()) {
        throw InternalError("score buffer has " + std::to_string(g.size()) +
                            " entries but exog has " + std::to_string(model.k()) + " columns");
    }
}

// Sum of ln P_i over the rows in order; record(i, t_i, P_i) sees every row.
// Rows go in batches of kRowBatch through the batch cdf and log; the sum
// still adds the terms one by one in row order.  Rows are read straight from
// exog's storage (row i starts at i * k); the constructor guarantees n rows
// exist, check_beta that beta has k entries.
template <class Record>
double log_likelihood_rows(const Probit& model, const Vector& beta, Record record,
                           const Interrupt& interrupt = {}) {
    check_beta(model, beta);
    const std::size_t n = model.nobs(), k = model.k();
    const double* y = model.endog.data();
    const double* b = beta.data();
    const Normal normal = model.normal;
    double t[kRowBatch], p[kRowBatch];
    double ll = 0.0;
    for (std::size_t start = 0; start < n; start += kRowBatch) {
        const std::size_t len = n - start < kRowBatch ? n - start : kRowBatch;
        const double* x = model.exog.data() + start * k;
        for (std::size_t r = 0; r < len; ++r, x += k) {
            const double yi = y[start + r];
            const double q = (yi + yi) + (-1.0);
            t[r] = linear_index(x, b, k) * q;
        }
        normal.cdf_batch(t, p, len);
        for (std::size_t r = 0; r < len; ++r) {
            p[r] = clip_probability(p[r]);
            record(start + r, t[r], p[r]);
        }
        log_batch(p, p, len);
        for (std::size_t r = 0; r < len; ++r) ll = ll + p[r];
        if (interrupt) interrupt();
    }
    return ll;
}

// g = sum_i lambda_i x_i in observation order, with terms(i, x_i, q_i, t, P)
// giving the row's signed index t_i and clipped probability P_i.  Four rows
// are taken at a time so that g is loaded and stored once per four updates;
// each component still receives them one by one in observation order.
template <class Terms>
QUORVEL_ALWAYS_INLINE inline void accumulate_score(const Probit& model, Vector& g, Terms terms,
                                                   const Interrupt& interrupt = {}) {
    check_score_buffer(model, g);
    const std::size_t n = model.nobs(), k = model.k();
    const double* xd = model.exog.data();
    const double* y = model.endog.data();
    double* gd = g.data();
    const Normal normal = model.normal;
    auto lambda_of = [&](std::size_t i, const double* x) {
        const double q = (y[i] + y[i]) + (-1.0);
        double t, p;
        terms(i, x, q, t, p);
        return (q * normal.pdf(t)) / p;
    };
    for (std::size_t j = 0; j < k; ++j) gd[j] = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        if (i % kRowBatch == 0 && i != 0 && interrupt) interrupt();
        const double* x0 = xd + i * k;
        const double* x1 = x0 + k;
        const double* x2 = x1 + k;
        const double* x3 = x2 + k;
        const double l0 = lambda_of(i, x0), l1 = lambda_of(i + 1, x1);
        const double l2 = lambda_of(i + 2, x2), l3 = lambda_of(i + 3, x3);
        for (std::size_t j = 0; j < k; ++j)
            gd[j] = x3[j] * l3 + (x2[j] * l2 + (x1[j] * l1 + (x0[j] * l0 + gd[j])));
    }
    for (; i < n; ++i) {
        const double* x = xd + i * k;
        const double lambda = lambda_of(i, x);
        for (std::size_t j = 0; j < k; ++j) gd[j] = x[j] * lambda + gd[j];
    }
}

}  // namespace

double log_likelihood(const Probit& model, const Vector& beta) {
    return log_likelihood_rows(model, beta, [](std::size_t, double, double) {});
}

double log_likelihood_cached(const Probit& model, const Vector& beta, RowCache& cache,
                             const Interrupt& interrupt) {
    cache.t.resize(model.nobs());
    cache.p.resize(model.nobs());
    double* t = cache.t.data();
    double* p = cache.p.data();
    return log_likelihood_rows(model, beta, [t, p](std::size_t i, double ti, double pi) {
        t[i] = ti;
        p[i] = pi;
    }, interrupt);
}

void score_into(const Probit& model, const Vector& beta, Vector& g) {
    check_beta(model, beta);
    const std::size_t k = model.k();
    const double* b = beta.data();
    const Normal normal = model.normal;
    accumulate_score(model, g, [=](std::size_t, const double* x, double q, double& t, double& p) {
        t = linear_index(x, b, k) * q;
        p = clip_probability(normal.cdf(t));
    });
}

// Called from other translation units only: an exception (the interrupt's)
// may leave it, which GCC 12 gets wrong for calls to a target_clones function
// from its own unit (see covariance.cpp).
QUORVEL_MULTIVERSION void score_from_cache(const Probit& model, const RowCache& cache, Vector& g,
                                           const Interrupt& interrupt) {
    if (cache.t.size() != model.nobs() || cache.p.size() != model.nobs()) {
        throw InternalError("row cache has " + std::to_string(cache.t.size()) + " rows but endog has " +
                            std::to_string(model.nobs()));
    }
    const double* t = cache.t.data();
    const double* p = cache.p.data();
    accumulate_score(model, g, [t, p](std::size_t i, const double*, double, double& ti, double& pi) {
        ti = t[i];
        pi = p[i];
    }, interrupt);
}

Vector score(const Probit& model, const Vector& beta) {
    Vector g(model.k());
    score_into(model, beta, g);
    return g;
}

}  // namespace quorvel
