// The binary probit model: Pr(y_i = 1) = Phi(x_i . beta).
#pragma once

#include "core/interrupt.hpp"
#include "core/linalg.hpp"
#include "core/normal.hpp"

namespace quorvel {

// One estimation problem.  The evaluations visit rows 0..n-1 of exog, where
// n = endog.size(); construction checks that exog has at least n rows and
// throws InputError naming both lengths otherwise.
struct Probit {
    Vector endog;   // n outcomes, expected 0.0 or 1.0 (used through 2y - 1)
    Matrix exog;    // at least n rows, k columns
    Normal normal;  // mean 0, sd 1

    Probit(Vector y, Matrix x);

    std::size_t nobs() const { return endog.size(); }
    std::size_t k() const { return exog.cols(); }
};

// Per-observation quantities for row i (see probit.cpp):
//   q = (y + y) + (-1.0), z = sum_j x_ij * beta_j (j ascending, from 0.0),
//   t = z * q, P = clip(Phi(t)), lambda = (q * phi(t)) / P.

// Sum over i = 0..n-1, in order, of ln P_i.  Finite for any input; 0.0 when
// n = 0.  beta must have k entries (checked).
double log_likelihood(const Probit& model, const Vector& beta);

// Gradient of log_likelihood (it points uphill): sum_i lambda_i * x_i,
// accumulated in observation order as g_j = x_ij * lambda_i + g_j.
Vector score(const Probit& model, const Vector& beta);
// The same into caller-owned storage of k entries (no allocation).
void score_into(const Probit& model, const Vector& beta, Vector& g);

// The signed index t_i and clipped probability P_i of every row, as left by
// the last log_likelihood_cached call.  Lets the score at a point whose
// log-likelihood was just computed skip the second evaluation of Phi.
struct RowCache {
    Vector t;
    Vector p;
};

// log_likelihood that also records t_i and P_i in cache (sized to n on the
// first call, never again).  Returns the same value, bit for bit.  interrupt
// is called after every batch of rows.
double log_likelihood_cached(const Probit& model, const Vector& beta, RowCache& cache,
                             const Interrupt& interrupt = {});

// score_into at the point of the last log_likelihood_cached call, from the
// recorded t_i and P_i.  The same arithmetic in the same order, so the same
// value bit for bit.  interrupt is called every kRowBatch rows.
void score_from_cache(const Probit& model, const RowCache& cache, Vector& g,
                      const Interrupt& interrupt = {});

}  // namespace quorvel
