// The standard normal distribution and the clipping of probabilities.
#pragma once

#include <cmath>
#include <cstddef>

#include "core/fast_math.hpp"

namespace quorvel {

inline constexpr double kSqrt2 = 1.4142135623730951;
// The double nearest to sqrt(2*pi); computing sqrt(2.0 * pi) in doubles gives
// 2.5066282746310002, one unit lower, which is not what is used here.
inline constexpr double kSqrt2Pi = 2.5066282746310007;
inline constexpr double kProbFloor = 1e-15;
inline constexpr double kProbCeiling = 1.0 - 1e-15;  // 0.999999999999999, 0x3FEFFFFFFFFFFFF7

// Normal distribution with a mean and a standard deviation.  The probit model
// only ever uses mean 0 and standard deviation 1.
struct Normal {
    double mean = 0.0;
    double sd = 1.0;

    // 0.5 * erfc((mean - x) / (sd * sqrt 2)): NaN for NaN, exactly 0 at -inf
    // and exactly 1 at +inf (erfc gives NaN, 2 and 0 there).
    double cdf(double x) const {
        double c;
        cdf_batch(&x, &c, 1);
        return c;
    }
    // exp(u * (-0.5 * u)) / (sd * sqrt(2 pi)) with u = (x - mean) / sd.
    double pdf(double x) const {
        double f;
        pdf_batch(&x, &f, 1);
        return f;
    }
    // The same for arrays, through the batch kernels of fast_math, so that
    // single values and batches agree exactly, and so do the cdf and the
    // density computed together or apart.  Outputs may be x.
    void cdf_batch(const double* x, double* out, std::size_t n) const { normal_batch(args(), x, out, nullptr, n); }
    void pdf_batch(const double* x, double* out, std::size_t n) const { normal_batch(args(), x, nullptr, out, n); }
    void cdf_pdf_batch(const double* x, double* cdf_out, double* pdf_out, std::size_t n) const {
        normal_batch(args(), x, cdf_out, pdf_out, n);
    }

private:
    NormalArgs args() const { return {mean, sd, sd * kSqrt2, sd * kSqrt2Pi, mean == 0.0 && sd == 1.0}; }
};

// Standard normal cdf Phi and density phi (mean 0, sd 1).
inline double normal_cdf(double x) { return Normal{}.cdf(x); }
inline double normal_pdf(double x) { return Normal{}.pdf(x); }

// Rows per batch of the row loops that evaluate the cdf in batches.
inline constexpr std::size_t kRowBatch = 256;

// min(max(p, floor), ceiling) with a NaN p mapped to the floor: always a
// finite number in [1e-15, 1 - 1e-15].
inline double clip_probability(double p) {
    double lo = p > kProbFloor ? p : kProbFloor;  // NaN fails the test: floor
    return lo < kProbCeiling ? lo : kProbCeiling;
}

}  // namespace quorvel
