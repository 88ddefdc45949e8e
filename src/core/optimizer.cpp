#include "core/optimizer.hpp"

#include <cmath>
#include <optional>
#include <utility>

#include "core/covariance.hpp"

namespace quorvel {

namespace {

// H0: the inverse of the log-likelihood Hessian at beta (negative definite
// for well-posed data, so -H0 g is a Newton step uphill), or the identity
// when the inversion is singular.  Silent: the warning line belongs to the
// covariance step only.
Matrix starting_inverse(const Probit& model, const Vector& beta, const Interrupt& interrupt) {
    std::optional<Matrix> inv =
        invert_gauss_jordan(probit_hessian(model.exog, model.endog, beta, interrupt), interrupt);
    return inv ? std::move(*inv) : Matrix::identity(model.k());
}

double dot(const Vector& a, const Vector& b) {
    double sum = 0.0;
    for (std::size_t j = 0; j < a.size(); ++j) sum = sum + a[j] * b[j];
    return sum;
}

}  // namespace

FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt) {
    const std::size_t k = model.k();
    Vector beta(k, 0.0);
    RowCache rows;  // t_i and P_i of the latest point evaluated
    double ll_old = log_likelihood_cached(model, beta, rows, interrupt);
    Vector g(k);
    score_from_cache(model, rows, g, interrupt);
    if (max_iter == 0) return FitResult{std::move(beta), ll_old, 0, false};

    Matrix h = starting_inverse(model, beta, interrupt);
    // Work buffers, reused by every iteration.
    Vector d(k), bt(k), gt(k), s(k), yv(k), hy(k);
    double* hd = h.data();

    for (std::uint64_t i = 0;;) {
        if (interrupt) interrupt();
        // Direction d = -(H g).
        matvec_into(h, g, d);
        for (double& e : d) e = -e;

        // Step halving: at most ten halvings, the last trial is kept.
        double alpha = 1.0;
        for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
        double llt = log_likelihood_cached(model, bt, rows, interrupt);
        for (int halvings = 0; halvings < 10 && ll_old > llt; ++halvings) {
            alpha = alpha * 0.5;
            for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
            llt = log_likelihood_cached(model, bt, rows, interrupt);
        }

        // The accepted point is the last one evaluated.
        score_from_cache(model, rows, gt, interrupt);
        for (std::size_t j = 0; j < k; ++j) {
            s[j] = bt[j] - beta[j];
            yv[j] = gt[j] - g[j];
        }
        const double sy = dot(yv, s);
        // DFP update of the inverse, skipped for tiny or non-finite curvature
        // (a NaN fails both tests).
        if (std::fabs(sy) > 1e-14) {
            matvec_into(h, yv, hy);
            const double yhy = dot(yv, hy);
            if (std::fabs(yhy) > 1e-14) {
                for (std::size_t r = 0; r < k; ++r) {
                    double* hrow = hd + r * k;
                    for (std::size_t c = 0; c < k; ++c)
                        hrow[c] = (s[r] * s[c] / sy - hy[r] * hy[c] / yhy) + hrow[c];
                }
            }
        }

        std::swap(beta, bt);
        std::swap(g, gt);
        if (std::fabs(llt - ll_old) < tol) return FitResult{std::move(beta), llt, i, true};
        ll_old = llt;
        ++i;
        if (i == max_iter) return FitResult{std::move(beta), llt, max_iter - 1, false};
    }
}

}  // namespace quorvel
