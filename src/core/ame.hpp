// Average marginal effects of a fitted probit model with delta-method
// standard errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "core/linalg.hpp"

namespace quorvel {

struct AmeRow {
    std::string name;
    double dydx = 0.0;
    double std_err = 0.0;
    double z = 0.0;
    double p_value = 0.0;
    std::string significance;  // "***", "**", "*" or ""
};

// True when the name, fully lower-cased, is exactly "const" or "intercept".
bool is_intercept_name(const std::string& utf8_name);

// Two-sided p-value (1 - c) + (1 - c) with c = Phi(|z|), NaN for NaN.
double two_sided_p_value(double z);
// "***" if p < 0.01, "**" if p < 0.05, "*" if p < 0.1, else "" (NaN: "").
const char* significance_stars(double p);

// One row per column of x that is not an intercept, in column order.
// Binary columns (every value 0 or 1) get the discrete change
// mean(Phi(t1) - Phi(t0)), the others mean(phi(t)) * beta_j.  The delta
// method uses the exact Jacobian of these means in beta; for a continuous
// column its diagonal entry is mean(phi(t)) - beta_j * mean(t x_j phi(t)).
// Rows are read in place in blocks of chunk_size; a chunk_size of 0 throws
// InputError.  Within a block, rows are read in batches of kRowBatch, so the
// temporaries are bounded by that batch, whatever chunk_size is.
// Shapes are checked before any work, with k = x.cols: v must be k x k; beta
// must have k entries unless there are no observations; names must have at
// least k entries, and names past the k-th are ignored only when they are
// intercept names.  A mismatch throws InternalError with a message naming the
// shapes.  interrupt is called between batches of rows (and, when a row
// costs many operations, between rows) and in the final products; what it
// throws ends the computation.
std::vector<AmeRow> compute_ame(const VectorView& beta, const MatrixView& v, const MatrixView& x,
                                const std::vector<std::string>& names, std::uint64_t chunk_size,
                                const Interrupt& interrupt = {});

}  // namespace quorvel
