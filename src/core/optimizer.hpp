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
    // The HC0 meat at params, when the fit was asked for it and the last
    // pass formed it (see fit_newton).
    std::optional<Matrix> meat;
    std::uint64_t passes = 0;  // passes over the rows of X, for the benchmarks
};

// What the Newton iteration asks of a model: the sums of one pass over its
// rows at a coefficient vector.  The in-memory model answers from its own
// rows; a model whose rows are spread over many machines answers with one
// pass over all of them.  An implementation may throw; the fit then ends
// with that exception.
class Objective {
public:
    virtual ~Objective() = default;
    // Number of coefficients.
    virtual std::size_t k() const = 0;
    // The sums in `sums` (a set of Sums flags; the log-likelihood is always
    // formed) at beta.  With record, the point is remembered for complete().
    virtual Evaluation evaluate(const Vector& beta, unsigned sums, bool record) = 0;
    // Adds the sums in `sums` at the last recorded point to e: the same
    // values, bit for bit, as evaluate() forms there.  Counts as one pass.
    virtual void complete(unsigned sums, Evaluation& e) = 0;
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
// is accepted in every case.  One exception: a full step that the quadratic
// model predicts to change the log-likelihood by less than tol (g.d / 2 <
// tol) and that lowers it by less than tol is accepted as it is.  At the
// optimum the log-likelihood sums differ between nearby points only by their
// rounding (about 1e-7 at 4e6 rows), and halving on that noise would buy
// passes that change nothing the stop test can see: the stop test fires on
// that step in either case.  The fit stops when |ll_t - ll_old| < tol
// (converged) or after max_iter iterations; iterations is the zero-based
// index of the last one.  With max_iter = 0 no iteration runs.  A NaN in the
// score or the Hessian makes the direction, and so the coefficients, NaN.
// Never throws on numerical trouble; interrupt is called between iterations,
// and whatever it or the objective throws ends the fit.
//
// Passes: one at beta = 0 (log-likelihood, score and Hessian), then per
// iteration one at the full step (all three), one log-likelihood pass per
// halving and, after a halving, one pass completing the accepted point.
//
// With want_meat, the HC0 meat is formed besides the Hessian in the passes
// that are likely to be the last: the full step where the quadratic model
// predicts the stop test to fire (g.d / 2 < tol) or the iteration is the last
// by max_iter, and every completing pass.  It costs those passes the meat's
// products alone, where a pass of its own after the fit would read X again.
// Near the optimum the prediction is close: on 32 sets of data of 100 to 1e6
// rows (rare outcomes, separation, tiny and huge units among them) every fit
// took the meat in its last full step alone.  A guess that comes too early
// costs a pass the meat's products; one that comes too late, a pass after
// the fit.  With hedged_meat (for an objective whose passes cost far more
// than the meat's products, as one spread over many machines does) the full
// step also takes it where g.d / 2 < 10 tol or the last iteration changed
// the log-likelihood by less than 1000 tol: more products formed too early,
// fewer passes after the fit.  The coefficients, Hessian and passes are the
// same with and without the meat.
FitResult fit_newton(Objective& objective, std::uint64_t max_iter, double tol,
                     const Interrupt& interrupt = {}, bool want_meat = false, bool hedged_meat = false);

// fit_newton on the rows of the in-memory model; interrupt is also called
// between blocks of rows.
//
// The name is historical: callers and tests know the optimiser by it.
FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt = {}, bool want_meat = false);
// The same fit of a model whose exog is still to be copied from rows (a
// view of exog's shape): the rows are copied in just before the first pass
// (see evaluate_copying_rows), and interrupt is first called after it.  The
// results are those of fit_bfgs on the copied model; once the call returns,
// exog holds the copy.  With clusters (a cluster matrix of n rows, checked
// by the passes that use it), the meat that want_meat asks for is the
// cluster-robust one: cluster_meat of the per-cluster score sums that
// probit_cluster_grouping forms, bit for bit.
FitResult fit_bfgs(Probit& model, const MatrixView& rows, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt = {}, bool want_meat = false, const Matrix* clusters = nullptr);

}  // namespace quorvel
