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
// InputError.  Within a block, rows are read in batches of at most 64, so
// the temporaries are bounded by that batch, whatever chunk_size is.
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

// ---- The steps of compute_ame, for rows that arrive in pieces ------------
//
// compute_ame is check_ame_shapes, ame_sums_both_ways over all rows,
// classified_sums, classify_ame_columns and ame_rows.  Rows held in several
// pieces (the chunks of a distributed array) go through the same steps: each
// piece's sums are formed from zero by ame_sums_both_ways, a column is binary
// when it is so in every piece, each piece's classified sums are taken with
// that verdict, and the piece totals are added in row order (new total =
// piece total + old total), as the blocks of one piece are.

// The shape checks of compute_ame for n rows and k columns (InternalError).
void check_ame_shapes(std::size_t beta_size, std::size_t v_rows, std::size_t v_cols, std::size_t n,
                      std::size_t k, const std::vector<std::string>& names);

struct AmeColumns {
    std::vector<bool> intercept;           // k entries
    std::vector<std::size_t> binary;       // ascending
    std::vector<std::size_t> continuous;   // ascending
};

// Intercepts by name; the other columns binary where binary[j] (k entries).
AmeColumns classify_ame_columns(const std::vector<std::string>& names, std::size_t k,
                                const std::vector<bool>& binary);

// The running sums over the rows: s_j of the effects and row j of g of
// their derivatives in beta (k and k x k).
struct AmeSums {
    Vector s;
    Matrix g;
};

// The sums of the rows of x, in blocks of chunk_size rows (each block summed
// from 0.0 in row order, then added to the totals; chunk_size 0 throws
// InputError), every column that is not an intercept (intercept: k entries)
// summed both ways: as a continuous column into as_continuous and, as long
// as its values are all 0.0 or 1.0 (-0.0 included; NaN and infinities are
// not), as a binary column into as_binary (left unfinished for the others).
// binary[j] tells which kept 0/1 values to the end; with no rows, every
// column that is not an intercept.  The binary sums are formed only while
// needed, so the test costs no pass of its own.  b must have x.cols entries
// unless x has no rows.
struct AmeSumsBothWays {
    std::vector<bool> binary;
    AmeSums as_binary, as_continuous;
};
AmeSumsBothWays ame_sums_both_ways(const Vector& b, const MatrixView& x, const std::vector<bool>& intercept,
                                   std::uint64_t chunk_size, const Interrupt& interrupt = {});

// The sums of each column as classified: s_j and row j of g from as_binary
// where binary[j], from as_continuous elsewhere.
AmeSums classified_sums(const AmeSumsBothWays& both);

// The rows of the table from the sums over n observations: means, the
// delta method with v (k x k) and the tests.
std::vector<AmeRow> ame_rows(const AmeSums& sums, std::uint64_t n, const MatrixView& v,
                             const std::vector<std::string>& names, const AmeColumns& columns,
                             const Interrupt& interrupt = {});

}  // namespace quorvel
