// The binary probit model, Pr(y_i = 1) = Phi(x_i . beta), and everything it
// computes from its rows.
//
// This unit owns the model's arithmetic.  One batch evaluator forms the
// per-row terms, and every quantity the rest of the core needs is a sum of
// them over the rows:
//
//   q_i = (y_i + y_i) + (-1.0)            sign, 2y - 1
//   z_i = sum_j x_ij beta_j               linear index, j ascending from 0.0
//   t_i = z_i q_i                         signed index
//   P_i = clip(Phi(t_i))                  to [1e-15, 1 - 1e-15], NaN to 1e-15
//   lambda_i = (q_i phi(t_i)) / P_i       d ln P_i / d z_i
//   w_i = (z_i + lambda_i) lambda_i       the row's curvature weight
//
//   log-likelihood  ll = sum_i ln P_i                       (ll = ll + term)
//   score           g_j = x_ij lambda_i + g_j               (uphill gradient)
//   Hessian         H_jl = H_jl - (x_ij w_i) x_il           (both triangles)
//   row scores      s_ij = x_ij lambda_i
//   HC0 meat        M_jl = M_jl + s_il s_ij
//   cluster sums    u_cl = u_cl + s_il        (rows i of cluster c)
//
// Fixed order: every one of these sums starts from 0.0 and receives its
// terms one by one in increasing observation order, and each term is
// rounded as written (no fused multiply-add).  Rows are processed in batches
// (so that Phi and ln run through the batch kernels) and several rows at a
// time in the accumulators, but no sum is split or reassociated across rows:
// the results do not depend on the batch size, on the instruction set chosen
// at run time or on whether a quantity was formed in the same pass as
// another.  Vectorisation runs across the columns of an accumulator (four
// entries at a time, each with its own sum), never across the rows of one.
#pragma once

#include <cstdint>
#include <optional>

#include "core/cluster_keys.hpp"
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

// What one pass over the rows forms, as a set of flags.
enum Sums : unsigned {
    kLogLike = 1u,
    kScore = 2u,
    kHessian = 4u,
    kMeat = 8u,  // the HC0 meat sum_i s_i s_i^T
};

// The sums formed at one coefficient vector; those not asked for are empty.
struct Evaluation {
    double loglike = 0.0;
    Vector score;    // k entries when asked for
    Matrix hessian;  // k x k when asked for
    Matrix meat;     // k x k when asked for
};

// z_i and P_i of every row at the point of the last evaluate() that was
// given the cache, so that the score and Hessian there can be formed without
// evaluating Phi again.
struct RowCache {
    Vector z;
    Vector p;
};

// One pass over the rows at beta forming the sums in `sums` (the
// log-likelihood is always formed).  With cache, z_i and P_i are recorded in
// it (sized to n).  With grouping (built on a cluster matrix of n rows,
// checked, and with all sums zero), the row scores are also added to their
// clusters' sums there, as probit_cluster_grouping adds them.  interrupt is
// called between blocks of rows.  beta must have k entries (checked).
Evaluation evaluate(const Probit& model, const Vector& beta, unsigned sums,
                    RowCache* cache = nullptr, const Interrupt& interrupt = {},
                    ClusterGrouping* grouping = nullptr);

// evaluate() (without a cache or an interrupt) on a model whose exog rows are
// still to be copied from `rows`, a view of exog's shape (checked): all of
// them are copied into exog first (copy_view_into, which fills exog's fresh
// storage a huge page at a time), then the pass runs.  Afterwards exog holds
// what to_matrix(rows) would.  (Copying each block just before the pass
// read it, which saves reading the rows a second time, measured 4-5% slower
// on the fit at 1e6 x 10, with exog's pages faulted in the same way.)
Evaluation evaluate_copying_rows(Probit& model, const MatrixView& rows, const Vector& beta, unsigned sums);

// Adds the score and/or Hessian (as asked in `sums`) at the point recorded in
// cache to e, from the recorded z_i and P_i: the same values, bit for bit, as
// evaluate() forms at that point.
void complete_from_cache(const Probit& model, const RowCache& cache, unsigned sums, Evaluation& e,
                         const Interrupt& interrupt = {});

// The log-likelihood, finite for any input; 0.0 when n = 0.
double log_likelihood(const Probit& model, const Vector& beta);
// The gradient of log_likelihood (it points uphill).
Vector score(const Probit& model, const Vector& beta);
// The Hessian of log_likelihood, H = -sum_i w_i x_i x_i^T.
Matrix probit_hessian(const Probit& model, const Vector& beta, const Interrupt& interrupt = {});
// The row scores, one row of k entries per observation (n x k).
Matrix probit_scores(const Probit& model, const Vector& beta, const Interrupt& interrupt = {});
// The HC0 meat sum_i s_i s_i^T, formed row by row without the n x k scores.
Matrix probit_hc0_meat(const Probit& model, const Vector& beta, const Interrupt& interrupt = {});
// The per-cluster sums of the row scores, u_c = sum over the rows i of
// cluster c of s_i (rows in order), clusters as ClusterGrouping forms them
// from g (n rows, checked) and in order of first appearance: the same as
// sum_scores_by_cluster(combine_cluster_keys(g), probit_scores(model, beta))
// without the n key texts and the n x k scores.
ClusterSums probit_cluster_sums(const Probit& model, const Vector& beta, const Matrix& g,
                                const Interrupt& interrupt = {});
// The grouping behind probit_cluster_sums, holding the sums in one array.
ClusterGrouping probit_cluster_grouping(const Probit& model, const Vector& beta, const Matrix& g,
                                        const Interrupt& interrupt = {});

// The lower-triangle product sums behind the Hessian and the meat, for the
// tests: acc(j, l) = acc(j, l) + a(r, j) x(r, l) (add) or - a(r, j) x(r, l),
// for r = 0..len-1 in order, j < k and l <= j, with a, x and acc of row
// stride k rounded up to four (a and x zero in the padding).  With wide,
// through the AVX-512 tiles, which exist where has_wide_outer() says so;
// either way the same bits.
namespace probit_detail {
bool has_wide_outer();
void add_lower_products(bool wide, bool add, double* acc, std::size_t k, const double* a, const double* x,
                        std::size_t len);
}  // namespace probit_detail

}  // namespace quorvel
