// Batch evaluation of erfc, log and the normal distribution over arrays of
// doubles.
//
// erfc, log and the density's exponential agree with the correctly rounded
// value to within one unit in the last place (see tests/cpp/test_fast_math.cpp and tools/fit_fast_math.py).  The
// work is done on packs of four elements (eight with AVX2: on x86-64 an AVX2
// build of the same code is chosen at run time when the processor has it;
// where it has AVX-512, the normal distribution and log take eight-wide
// vectors, and erfc the AVX2 code with AVX-512's 32 vector registers).
// Every variant performs the same IEEE operations in the same order, without
// fused multiply-adds, so the results do not depend on the variant, on n or on
// the position of an element in the array.
#pragma once

#include <cstddef>

namespace quorvel {

// out[i] = erfc(x[i]).  NaN gives NaN, erfc(+inf) = 0, erfc(-inf) = 2,
// erfc(+-0) = 1; results below the smallest subnormal round to 0.
// out may be the same array as x.
void erfc_batch(const double* x, double* out, std::size_t n);

// out[i] = log(x[i]).  log(+-0) = -inf, negative or NaN gives NaN,
// log(+inf) = +inf, log(1) = +0; subnormal inputs are handled.
// out may be the same array as x.
void log_batch(const double* x, double* out, std::size_t n);

// A normal distribution as normal_batch evaluates it: sd_sqrt2 is the
// caller's sd * sqrt 2 and sd_sqrt2pi its sd * sqrt(2 pi); standard tells
// that mean is 0 and sd 1.
struct NormalArgs {
    double mean, sd, sd_sqrt2, sd_sqrt2pi;
    bool standard;
};

// Unless null, cdf_out[i] = 0.5 * erfc((mean - x[i]) / sd_sqrt2), erfc as
// erfc_batch gives it, and pdf_out[i] = exp(u * (-0.5 * u)) / sd_sqrt2pi with
// u = (x[i] - mean) / sd (u = x[i] itself when standard).  The exponential
// reuses erfc's evaluation of e^{-e^2} at its argument e, and is within one
// unit in the last place of exp at u * (-0.5 * u); past |e| = 27.5 it is 0
// (below the smallest subnormal).  Either output may be x.
void normal_batch(const NormalArgs& p, const double* x, double* cdf_out, double* pdf_out, std::size_t n);

// The individual variants behind erfc_batch, log_batch and normal_batch,
// for the tests and the benchmark.  has_avx2_variant() tells whether the
// *_avx2 functions exist in this build and can run on this processor; when it
// is false they fall back to the baseline variant.  The same for
// has_avx512_variant() and the *_avx512 functions, which fall back to the
// *_avx2 ones.
namespace fast_math_detail {
bool has_avx2_variant();
bool has_avx512_variant();
void erfc_avx512(const double* x, double* out, std::size_t n);
void log_avx512(const double* x, double* out, std::size_t n);
void normal_avx512(const NormalArgs& p, const double* x, double* cdf_out, double* pdf_out, std::size_t n);
void erfc_baseline(const double* x, double* out, std::size_t n);
void erfc_avx2(const double* x, double* out, std::size_t n);
void erfc_one_at_a_time(const double* x, double* out, std::size_t n);
void log_baseline(const double* x, double* out, std::size_t n);
void log_avx2(const double* x, double* out, std::size_t n);
void log_one_at_a_time(const double* x, double* out, std::size_t n);
void normal_baseline(const NormalArgs& p, const double* x, double* cdf_out, double* pdf_out, std::size_t n);
void normal_avx2(const NormalArgs& p, const double* x, double* cdf_out, double* pdf_out, std::size_t n);
void normal_one_at_a_time(const NormalArgs& p, const double* x, double* cdf_out, double* pdf_out, std::size_t n);
}  // namespace fast_math_detail

}  // namespace quorvel
