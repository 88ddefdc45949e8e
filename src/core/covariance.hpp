// Covariance of the fitted probit coefficients: classical, HC0 and
// one-way cluster-robust (no small-sample factors).
#pragma once

#include <functional>
#include <optional>

#include "core/cluster_keys.hpp"
#include "core/interrupt.hpp"
#include "core/probit.hpp"

namespace quorvel {

inline constexpr const char* kSingularHessianWarning = "Hessian singular => identity for Cov\n";

// H = -sum_i w_i x_i x_i^T with w_i = (z_i + lambda_i) lambda_i, observations
// in increasing order, both triangles computed entry by entry.  interrupt is
// called after every batch of rows and, for k >= 64, every four rows.
Matrix probit_hessian(const Matrix& x, const Vector& y, const Vector& beta,
                      const Interrupt& interrupt = {});

// Gauss-Jordan elimination with partial pivoting on [H | I].  A row replaces
// the pivot candidate only when strictly larger in magnitude; the inversion
// is singular (nullopt) when the chosen magnitude is below 1e-14 (absolute;
// a NaN magnitude passes).  h must be square.  interrupt is called once per
// pivot column.
std::optional<Matrix> invert_gauss_jordan(const Matrix& h, const Interrupt& interrupt = {});

// S[i][j] = x_ij * lambda_i, one row per observation.  interrupt is called
// after every batch of rows.
Matrix probit_scores(const Matrix& x, const Vector& y, const Vector& beta,
                     const Interrupt& interrupt = {});

// M = sum_i s_i s_i^T in observation order.  interrupt as in probit_hessian.
Matrix hc0_meat(const Matrix& scores, const Interrupt& interrupt = {});
// M = sum_g u_g u_g^T over the per-cluster score sums u_g.  interrupt is
// called every kRowBatch clusters and, for k >= 64, after every cluster.
Matrix cluster_meat(const ClusterSums& sums, std::size_t k, const Interrupt& interrupt = {});

// Supplies the cluster matrix when one was given, nullopt otherwise.  Called
// at most once, and only when the robust estimator is asked for, after the
// Hessian step (and its warning) and the scores.  It may throw.
using ClusterSource = std::function<std::optional<Matrix>()>;

// Classical covariance -H^-1 (the identity, with a warning line on standard
// error, when H is singular); with robust, the sandwich V0 M V0 whose meat
// comes from the observation scores or, when clusters supplies a matrix, from
// the per-cluster score sums.  Throws InputError when the cluster matrix does
// not have one row per observation.  interrupt is handed to every row loop
// and dense product of the estimation.
Matrix estimate_covariance(const Probit& model, const Vector& beta, bool robust,
                           const ClusterSource& clusters, const Interrupt& interrupt = {});

}  // namespace quorvel
