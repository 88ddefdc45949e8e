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
    // and exactly 1 at +inf (erfc gives NaN, 2 and 0 there).  erfc is the
    // batch kernel of fast_math, so single values and batches agree exactly.
    double cdf(double x) const {
        double e = (mean - x) / (sd * kSqrt2);
        erfc_batch(&e, &e, 1);
        return 0.5 * e;
    }
    // out[i] = cdf(x[i]); out may be x.
    void cdf_batch(const double* x, double* out, std::size_t n) const {
        for (std::size_t i = 0; i < n; ++i) out[i] = (mean - x[i]) / (sd * kSqrt2);
        erfc_batch(out, out, n);
        for (std::size_t i = 0; i < n; ++i) out[i] = 0.5 * out[i];
    }
    // exp(u * (-0.5 * u)) / (sd * sqrt(2 pi)) with u = (x - mean) / sd.  The
    // exponential is taken from erfc's e^{-e^2} at e = (mean - x) / (sd sqrt 2),
    // the argument cdf(x) gives erfc, so that the two can come from one
    // evaluation (cdf_pdf_batch) and single values and batches agree.
    double pdf(double x) const {
        double e;
        pdf_batch(&x, &e, 1);
        return e;
    }
    // out[i] = pdf(x[i]); out may be x.
    void pdf_batch(const double* x, double* out, std::size_t n) const {
        constexpr std::size_t kPiece = 128;
        double arg[kPiece];
        for (std::size_t start = 0; start < n; start += kPiece) {
            const std::size_t len = n - start < kPiece ? n - start : kPiece;
            arguments(x + start, arg, out + start, len);
            erfc_exp_batch(arg, out + start, nullptr, out + start, len);
            scale_pdf(out + start, len);
        }
    }
    // cdf_out[i] = cdf(x[i]) and pdf_out[i] = pdf(x[i]); either output may
    // be x.
    void cdf_pdf_batch(const double* x, double* cdf_out, double* pdf_out, std::size_t n) const {
        arguments(x, cdf_out, pdf_out, n);
        erfc_exp_batch(cdf_out, pdf_out, cdf_out, pdf_out, n);
        for (std::size_t i = 0; i < n; ++i) cdf_out[i] = 0.5 * cdf_out[i];
        scale_pdf(pdf_out, n);
    }

private:
    // erfc's argument (mean - x) / (sd sqrt 2) and the density's exponent
    // u (-0.5 u), u = (x - mean) / sd, of each x; either output may be x.
    void arguments(const double* x, double* e, double* a, std::size_t n) const {
        const bool standard = mean == 0.0 && sd == 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double xi = x[i];
            e[i] = (mean - xi) / (sd * kSqrt2);
            // (x - 0) / 1 is x itself, bit for bit (also -0 and NaN).
            const double u = standard ? xi : (xi - mean) / sd;
            a[i] = u * (-0.5 * u);
        }
    }
    void scale_pdf(double* out, std::size_t n) const {
        const double scale = sd * kSqrt2Pi;
        for (std::size_t i = 0; i < n; ++i) out[i] = out[i] / scale;
    }
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
