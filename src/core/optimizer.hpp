// Maximisation of the probit log-likelihood.
#pragma once

#include <cstdint>
#include <optional>

#include "core/interrupt.hpp"
#include "core/probit.hpp"

namespace quorvel {

struct FitResult {
    Vector params;            // final coefficients
    double loglike = 0.0;     // log-likelihood at params, as computed for the accepted point
    std::uint64_t iterations = 0;  // zero-based index of the last iteration carried out
    bool converged = false;   // the stop test |ll_t - ll_old| < tol fired
    // The Hessian at params when the last pass formed it (the covariance then
    // needs no pass of its own); absent after max_iter = 0.
    std::optional<Matrix> hessian;
    std::uint64_t passes = 0;  // passes over the rows of X, for the benchmarks
};

// Newton-Raphson with step halving, from beta = 0.  Each iteration moves
// along d = -H g, where g is the score and H the inverse of the exact
// log-likelihood Hessian at the current point, both formed from the rows of
// the pass that evaluated the point's log-likelihood; the inverse is taken in
// the directions the Hessian identifies (see solve_psd_identified: scaled to
// unit diagonal, rank-revealing, a zero step in null directions such as a
// zero column or one of two collinear columns), never along a fallback that
// may point downhill.  The step length halves while the log-likelihood at
// the trial point is below the current one, at most ten times; the last trial
// is accepted in every case.  The fit stops when |ll_t - ll_old| < tol
// (converged) or after max_iter iterations; iterations is the zero-based
// index of the last one.  With max_iter = 0 no iteration runs.  A NaN in the
// score or the Hessian makes the direction, and so the coefficients, NaN.
// Never throws on numerical trouble; interrupt is called between iterations
// and blocks of rows, and whatever it throws ends the fit.
//
// The name is historical: callers and tests know the optimiser by it.
FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt = {});

}  // namespace quorvel
