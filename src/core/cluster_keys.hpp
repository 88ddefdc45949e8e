// Grouping observations into clusters by the text of their cluster values.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/interrupt.hpp"
#include "core/linalg.hpp"

namespace quorvel {

// Appends v in fixed-point with exactly four decimals, correctly rounded
// (half to even) from the exact binary value, independent of the C locale:
// "-" for a set sign bit (so -0.0 gives "-0.0000"), "NaN", "inf", "-inf".
void append_fixed4(std::string& out, double v);

// One key per row of g, in row order: the row's values as append_fixed4
// texts joined with "|".  Zero columns give empty keys.  interrupt is called
// every 256 rows.
std::vector<std::string> combine_cluster_keys(const Matrix& g, const Interrupt& interrupt = {});

using ClusterSums = std::unordered_map<std::string, Vector>;

// Per-key sums of the rows of s (n x k), rows added in observation order.
// keys must have s.rows() entries (checked).  interrupt is called every 256
// rows.
ClusterSums sum_scores_by_cluster(const std::vector<std::string>& keys, const Matrix& s,
                                  const Interrupt& interrupt = {});

}  // namespace quorvel
