#include "core/optimizer.hpp"

#include <cmath>
#include <utility>

namespace quorvel {

namespace {

// The Newton direction -H^-1 g uphill: -H is positive semi-definite on the
// probit log-likelihood, so d solves (-H) d = g in the identified directions.
Vector newton_direction(const Matrix& hessian, const Vector& g) {
    Matrix neg = hessian;
    for (double& e : neg.storage()) e = -e;
    return solve_psd_identified(neg, g);
}

}  // namespace

FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol, const Interrupt& interrupt) {
    const std::size_t k = model.k();
    FitResult out;
    Vector beta(k, 0.0);
    if (max_iter == 0) {
        out.loglike = evaluate(model, beta, kLogLike, nullptr, interrupt).loglike;
        out.params = std::move(beta);
        out.passes = 1;
        return out;
    }
    Evaluation current = evaluate(model, beta, kLogLike | kScore | kHessian, nullptr, interrupt);
    std::uint64_t passes = 1;
    RowCache rows;  // z and P of the last halving trial
    Vector bt(k);

    for (std::uint64_t i = 0;;) {
        if (interrupt) interrupt();
        const Vector d = newton_direction(current.hessian, current.score);

        // The full step is evaluated with its score and Hessian, which are
        // kept when it is accepted (the usual case).  A shorter step is
        // evaluated for its log-likelihood alone; the accepted one then gets
        // its score and Hessian from the rows that pass recorded.
        double alpha = 1.0;
        for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
        Evaluation trial = evaluate(model, bt, kLogLike | kScore | kHessian, nullptr, interrupt);
        ++passes;
        bool complete = true;
        for (int halvings = 0; halvings < 10 && current.loglike > trial.loglike; ++halvings) {
            alpha = alpha * 0.5;
            for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
            trial = evaluate(model, bt, kLogLike, &rows, interrupt);
            ++passes;
            complete = false;
        }
        if (!complete) {
            complete_from_cache(model, rows, kScore | kHessian, trial, interrupt);
            ++passes;
        }

        const double ll_old = current.loglike;
        std::swap(beta, bt);
        current = std::move(trial);
        const bool stop = std::fabs(current.loglike - ll_old) < tol;
        if (stop || i + 1 == max_iter) {
            out.params = std::move(beta);
            out.loglike = current.loglike;
            out.iterations = i;
            out.converged = stop;
            out.hessian = std::move(current.hessian);
            out.passes = passes;
            return out;
        }
        ++i;
    }
}

}  // namespace quorvel
