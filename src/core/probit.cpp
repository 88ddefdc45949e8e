#include "core/probit.hpp"

#include <cmath>
#include <string>

namespace quorvel {

Probit::Probit(Vector y, Matrix x) : endog(std::move(y)), exog(std::move(x)) {
    if (exog.rows() < endog.size()) {
        throw InputError("endog has " + std::to_string(endog.size()) + " rows but exog has only " +
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

}  // namespace

// Rows are read straight from exog's storage (row i starts at i * k); the
// constructor guarantees n rows exist, check_beta that beta has k entries.
double log_likelihood(const Probit& model, const Vector& beta) {
    check_beta(model, beta);
    const std::size_t n = model.nobs(), k = model.k();
    const double* x = model.exog.data();
    const double* y = model.endog.data();
    const double* b = beta.data();
    const Normal normal = model.normal;
    double ll = 0.0;
    for (std::size_t i = 0; i < n; ++i, x += k) {
        const double q = (y[i] + y[i]) + (-1.0);
        const double t = linear_index(x, b, k) * q;
        const double p = clip_probability(normal.cdf(t));
        ll = ll + std::log(p);
    }
    return ll;
}

void score_into(const Probit& model, const Vector& beta, Vector& g) {
    check_beta(model, beta);
    const std::size_t n = model.nobs(), k = model.k();
    if (g.size() != k) {
        throw InternalError("score buffer has " + std::to_string(g.size()) +
                            " entries but exog has " + std::to_string(k) + " columns");
    }
    const double* x = model.exog.data();
    const double* y = model.endog.data();
    const double* b = beta.data();
    double* gd = g.data();
    const Normal normal = model.normal;
    for (std::size_t j = 0; j < k; ++j) gd[j] = 0.0;
    for (std::size_t i = 0; i < n; ++i, x += k) {
        const double q = (y[i] + y[i]) + (-1.0);
        const double t = linear_index(x, b, k) * q;
        const double density = normal.pdf(t);
        const double p = clip_probability(normal.cdf(t));
        const double lambda = (q * density) / p;
        for (std::size_t j = 0; j < k; ++j) gd[j] = x[j] * lambda + gd[j];
    }
}

Vector score(const Probit& model, const Vector& beta) {
    Vector g(model.k());
    score_into(model, beta, g);
    return g;
}

}  // namespace quorvel
