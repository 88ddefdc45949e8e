#include "core/normal.hpp"

#include <cmath>

namespace quorvel {

// std::erfc gives NaN for NaN, 2 at -inf and 0 at +inf, so the cdf is exactly
// 1 at x = +inf and exactly 0 at x = -inf.
double Normal::cdf(double x) const { return 0.5 * std::erfc((mean - x) / (sd * kSqrt2)); }

double Normal::pdf(double x) const {
    const double u = (x - mean) / sd;
    return std::exp(u * (-0.5 * u)) / (sd * kSqrt2Pi);
}

double normal_cdf(double x) { return Normal{}.cdf(x); }
double normal_pdf(double x) { return Normal{}.pdf(x); }

}  // namespace quorvel
