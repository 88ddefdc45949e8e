// Covariance of the fitted probit coefficients: classical, HC0 and
// one-way cluster-robust (no small-sample factors).
#pragma once

#include <functional>
#include <optional>

#include "core/cluster_keys.hpp"
#include "core/probit.hpp"

namespace quorvel {

inline constexpr const char* kSingularHessianWarning = "Hessian singular => identity for Cov\n";

// H = -sum_i w_i x_i x_i^T with w_i = (z_i + lambda_i) lambda_i, observations
// in increasing order, both triangles computed entry by entry.
Matrix probit_hessian(const Matrix& x, const Vector& y, const Vector& beta);

// Gauss-Jordan elimination with partial pivoting on [H | I].  A row replaces
// the pivot candidate only when strictly larger in magnitude; the inversion
// is singular (nullopt) when the chosen magnitude is below 1e-14 (absolute;
// a NaN magnitude passes).  h must be square.
std::optional<Matrix> invert_gauss_jordan(const Matrix& h);

// S[i][j] = x_ij * lambda_i, one row per observation.
Matrix probit_scores(const Matrix& x, const Vector& y, const Vector& beta);

// M = sum_i s_i s_i^T in observation order.
Matrix hc0_meat(const Matrix& scores);
// M = sum_g u_g u_g^T over the per-cluster score sums u_g.
Matrix cluster_meat(const ClusterSums& sums, std::size_t k);

// Supplies the cluster matrix when one was given, nullopt otherwise.  Called
// at most once, and only when the robust estimator is asked for, after the
// Hessian step (and its warning) and the scores.  It may throw.
using ClusterSource = std::function<std::optional<Matrix>()>;

// Classical covariance -H^-1 (the identity, with a warning line on standard
// error, when H is singular); with robust, the sandwich V0 M V0 whose meat
// comes from the observation scores or, when clusters supplies a matrix, from
// the per-cluster score sums.  Throws InputError when the cluster matrix does
// not have one row per observation.
Matrix estimate_covariance(const Probit& model, const Vector& beta, bool robust,
                           const ClusterSource& clusters);

}  // namespace quorvel
