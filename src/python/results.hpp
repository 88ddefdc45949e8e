// The result classes KovaProbitResults and KovaProbitModel: immutable heap
// types created on first use, instances made only from native code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/pyref.hpp"

namespace quorvel::py {

// Everything a KovaProbitResults holds.  The arrays must be float64 NumPy
// arrays: exog 2-D, endog 1-D, params 1-D, cov k x k.
struct ResultRecord {
    std::vector<std::string> exog_names;
    PyRef exog;
    PyRef endog;
    PyRef params;
    PyRef cov;
    double loglike = 0.0;
    std::uint64_t iterations = 0;
    bool converged = false;
};

// A new KovaProbitResults that takes over the record's names and references.
PyRef new_results(ResultRecord&& record);

}  // namespace quorvel::py
