// Batch evaluation of erfc, log and the exponential of -x^2 over arrays of
// doubles.
//
// All three agree with the correctly rounded value to within one unit in the last
// place (see tests/cpp/test_fast_math.cpp and tools/fit_fast_math.py).  The
// work is done on packs of four elements (eight with AVX2: on x86-64 an AVX2
// build of the same code is chosen at run time when the processor has it).
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

// exp_out[i] = e^{a[i]} for an a[i] that is -x[i]^2 to within a few units in
// its last place (as the normal density's exponent -u^2/2 is to the square
// of erfc's argument -u/sqrt2), and, unless erfc_out is null, erfc_out[i] =
// erfc(x[i]) with the same bits as erfc_batch.  The exponential reuses erfc's
// evaluation of e^{-x^2}.  NaN in a gives NaN, -inf gives 0; past |x| = 27.5
// the result is 0 (below the smallest subnormal).  erfc_out may be x and
// exp_out may be a.
void erfc_exp_batch(const double* x, const double* a, double* erfc_out, double* exp_out, std::size_t n);

// The individual variants behind erfc_batch, log_batch and erfc_exp_batch,
// for the tests and the benchmark.  has_avx2_variant() tells whether the
// *_avx2 functions exist in this build and can run on this processor; when it
// is false they fall back to the baseline variant.
namespace fast_math_detail {
bool has_avx2_variant();
void erfc_baseline(const double* x, double* out, std::size_t n);
void erfc_avx2(const double* x, double* out, std::size_t n);
void erfc_one_at_a_time(const double* x, double* out, std::size_t n);
void log_baseline(const double* x, double* out, std::size_t n);
void log_avx2(const double* x, double* out, std::size_t n);
void log_one_at_a_time(const double* x, double* out, std::size_t n);
void erfc_exp_baseline(const double* x, const double* a, double* erfc_out, double* exp_out, std::size_t n);
void erfc_exp_avx2(const double* x, const double* a, double* erfc_out, double* exp_out, std::size_t n);
void erfc_exp_one_at_a_time(const double* x, const double* a, double* erfc_out, double* exp_out,
                            std::size_t n);
}  // namespace fast_math_detail

}  // namespace quorvel
