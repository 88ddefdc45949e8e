// Covariance of the fitted probit coefficients: classical, HC0 and
// one-way cluster-robust (no small-sample factors).  The model unit forms
// the Hessian and the meat; this unit assembles the estimators.
#pragma once

#include <functional>
#include <optional>

#include "core/cluster_keys.hpp"
#include "core/interrupt.hpp"
#include "core/probit.hpp"

namespace quorvel {

inline constexpr const char* kSingularHessianWarning = "Hessian singular => identity for Cov\n";

// M = sum_g u_g u_g^T over the per-cluster score sums u_g, in the order of
// the sums (first appearance).  interrupt is called every 256 clusters.
Matrix cluster_meat(const ClusterSums& sums, std::size_t k, const Interrupt& interrupt = {});
// The same over sums held in one array, clusters x k, cluster after cluster.
Matrix cluster_meat(const double* sums, std::size_t clusters, std::size_t k, const Interrupt& interrupt = {});

// Supplies the cluster matrix when one was given, nullopt otherwise.  Called
// at most once, and only when the robust estimator is asked for, after the
// Hessian step (and its warning).  It may throw.
using ClusterSource = std::function<std::optional<Matrix>()>;

// The Hessian counts as singular when its Gauss-Jordan inversion meets a
// pivot below the absolute 1e-14, and also when it is rank-deficient to
// working precision once scaled to unit diagonal (rank_deficient_scaled):
// exactly collinear regressors must not yield a covariance of rounding noise
// with huge or negative variances.  A singular Hessian writes the warning
// line to standard error and the identity stands in for the classical
// covariance.
bool hessian_singular(const Matrix& hessian, std::optional<Matrix>* inverse,
                      const Interrupt& interrupt = {});

// Classical covariance -H^-1 (the identity, with the warning line, when H is
// singular); with robust, the sandwich V0 M V0 whose meat comes from the
// observation scores or, when clusters supplies a matrix, from the
// per-cluster score sums.  interrupt is handed to every row loop and dense
// product of the estimation.  hessian, when given, is the Hessian at beta as the
// model unit forms it (the optimiser's last pass), and saves a pass; so does
// hc0_meat, the HC0 meat at beta, used when the meat comes from the
// observation scores, and given_cluster_meat, the meat of the per-cluster score
// sums at beta over the matrix that clusters supplies, used when it supplies
// one of the right length.  Throws InputError when the cluster matrix does
// not have one row per observation.
Matrix estimate_covariance(const Probit& model, const Vector& beta, bool robust,
                           const ClusterSource& clusters, const Interrupt& interrupt = {},
                           const std::optional<Matrix>& hessian = std::nullopt,
                           const std::optional<Matrix>& hc0_meat = std::nullopt,
                           const std::optional<Matrix>& given_cluster_meat = std::nullopt);

// ---- Estimators from sums formed elsewhere --------------------------------
//
// For rows that never sit in one Matrix (spread over the chunks of a
// distributed array): the Hessian and the meats are formed chunk by chunk by
// the model unit and the chunk sums added, and the estimators are assembled
// here as estimate_covariance assembles them.

// -H^-1, or the identity with the warning line when hessian_singular(H).
Matrix classical_covariance(const Matrix& hessian, const Interrupt& interrupt = {});

// The sandwich (v0 meat) v0.
Matrix sandwich_covariance(const Matrix& v0, const Matrix& meat, const Interrupt& interrupt = {});

}  // namespace quorvel
