// Quasi-Newton maximisation of the probit log-likelihood.
#pragma once

#include <cstdint>

#include "core/interrupt.hpp"
#include "core/probit.hpp"

namespace quorvel {

struct FitResult {
    Vector params;            // final coefficients
    double loglike = 0.0;     // log-likelihood at params, as computed for the accepted point
    std::uint64_t iterations = 0;  // zero-based index of the last iteration carried out
    bool converged = false;   // the stop test |ll_t - ll_old| < tol fired
};

// Maximises log_likelihood from beta = 0.  H starts as the inverse of the
// log-likelihood Hessian at beta = 0 (the identity when that is singular);
// each iteration moves along -H g with step halving (at most ten halvings,
// the last trial is always accepted) and applies the guarded DFP inverse
// update.  Never throws on numerical trouble: NaN coefficients and
// non-convergence come back in the result.  interrupt is called before every
// iteration and inside the row loops of every evaluation; what it throws ends
// the fit.
FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt = {});

}  // namespace quorvel
