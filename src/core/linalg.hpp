// Dense matrices and vectors of doubles, and read-only strided views over
// memory the core does not own.
//
// Matrix is row-major and owns its storage.  Views carry byte strides (any
// sign, any multiple of one byte) so that they can sit on every layout an
// array library hands out, including unaligned and negatively strided
// memory; elements are read with memcpy, which compiles to a plain load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "core/storage.hpp"

namespace quorvel {

// A failed internal consistency check: an index out of range, shapes that
// disagree.  The binding layer reports it as its internal-error exception.
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value the caller supplied that the core cannot use (the binding layer
// reports it as ValueError).
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail_index(std::size_t index, std::size_t dim);

// Always-on check, for places outside hot loops.
inline void check_index(std::size_t index, std::size_t dim) {
    if (!(index < dim)) fail_index(index, dim);
}

// Check inside element accessors: compiled in when QUORVEL_BOUNDS_CHECK is
// set (the unit tests), compiled out otherwise.
#if defined(QUORVEL_BOUNDS_CHECK) && QUORVEL_BOUNDS_CHECK
#define QUORVEL_DEBUG_INDEX(i, n) ::quorvel::check_index((i), (n))
#else
#define QUORVEL_DEBUG_INDEX(i, n) ((void)0)
#endif

// Hot row loops are compiled twice on x86-64 Linux, for AVX2 and for the
// baseline, and the loader picks the one the processor runs.  Both do the same
// IEEE operations in the same order (no FMA: it is not part of the AVX2
// target and contraction is off), so the results are identical.
#if defined(__x86_64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVEL_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define QUORVEL_MULTIVERSION
#endif

// Set in builds with AddressSanitizer, whose stacks for returned frames give
// locals at most 32-byte alignment, while GCC spills eight-wide vectors to
// 64-byte aligned slots (an aligned store to such a slot faulted).  Those
// builds leave out the code that keeps eight-wide vectors.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_ADDRESS_SANITIZER 1
#endif
#endif

// Inlined into each compiled version of its caller.
#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QUORVEL_ALWAYS_INLINE
#endif

using Vector = std::vector<double, VectorAllocator<double>>;

class Matrix {
public:
    // Marks the constructor that leaves the elements unset, for a matrix
    // that is filled right after (the copies of large inputs).
    struct Uninitialized {};

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
        : rows_(rows), cols_(cols), data_(rows * cols, fill) {}
    Matrix(std::size_t rows, std::size_t cols, Uninitialized) : rows_(rows), cols_(cols), data_(rows * cols) {}

    static Matrix identity(std::size_t n);

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

    double& operator()(std::size_t r, std::size_t c) {
        QUORVEL_DEBUG_INDEX(r, rows_);
        QUORVEL_DEBUG_INDEX(c, cols_);
        return data_[r * cols_ + c];
    }
    double operator()(std::size_t r, std::size_t c) const {
        QUORVEL_DEBUG_INDEX(r, rows_);
        QUORVEL_DEBUG_INDEX(c, cols_);
        return data_[r * cols_ + c];
    }

    // Row r as a contiguous run of cols() doubles; r is always checked.
    const double* row(std::size_t r) const {
        check_index(r, rows_);
        return data_.data() + r * cols_;
    }
    double* row(std::size_t r) {
        check_index(r, rows_);
        return data_.data() + r * cols_;
    }

    const double* data() const { return data_.data(); }
    double* data() { return data_.data(); }
    const RowStorage& storage() const { return data_; }
    RowStorage& storage() { return data_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    RowStorage data_;
};

// Read-only view of a one-dimensional run of doubles with a byte stride.
struct VectorView {
    const char* base = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = sizeof(double);  // bytes between neighbours

    VectorView() = default;
    VectorView(const char* b, std::size_t n, std::ptrdiff_t s) : base(b), size(n), stride(s) {}
    explicit VectorView(const Vector& v)
        : base(reinterpret_cast<const char*>(v.data())), size(v.size()) {}

    double operator[](std::size_t i) const {
        QUORVEL_DEBUG_INDEX(i, size);
        double v;
        std::memcpy(&v, base + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
    double at(std::size_t i) const {
        check_index(i, size);
        return (*this)[i];
    }
};

// Read-only view of a two-dimensional block of doubles with byte strides.
struct MatrixView {
    const char* base = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes between rows
    std::ptrdiff_t col_stride = sizeof(double);  // bytes between columns

    MatrixView() = default;
    MatrixView(const char* b, std::size_t r, std::size_t c, std::ptrdiff_t rs, std::ptrdiff_t cs)
        : base(b), rows(r), cols(c), row_stride(rs), col_stride(cs) {}
    explicit MatrixView(const Matrix& m)
        : base(reinterpret_cast<const char*>(m.data())), rows(m.rows()), cols(m.cols()),
          row_stride(static_cast<std::ptrdiff_t>(m.cols() * sizeof(double))) {}

    double operator()(std::size_t r, std::size_t c) const {
        QUORVEL_DEBUG_INDEX(r, rows);
        QUORVEL_DEBUG_INDEX(c, cols);
        double v;
        std::memcpy(&v,
                    base + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof v);
        return v;
    }
    double at(std::size_t r, std::size_t c) const {
        check_index(r, rows);
        check_index(c, cols);
        return (*this)(r, c);
    }
    // Column c of the view as a vector view (c is always checked).
    VectorView column(std::size_t c) const {
        check_index(c, cols);
        return VectorView(base + static_cast<std::ptrdiff_t>(c) * col_stride, rows, row_stride);
    }
};

// Owned row-major copy of a view.
Matrix to_matrix(const MatrixView& v);
// Rows [first, first + count) of v (in range), row-major into out.
void copy_view_rows(const MatrixView& v, std::size_t first, std::size_t count, double* out);
// All of v into m, of v's shape (checked), a huge page of m's storage at a
// time from the bottom up (storage::AscendingFill): the fast way to fill a
// matrix made with Matrix::Uninitialized, and correct for any other.
void copy_view_into(const MatrixView& v, Matrix& m);
Vector to_vector(const VectorView& v);

// Dense products; their internal summation order is free.  interrupt is
// called once per row of the result.
Matrix matmul(const Matrix& a, const Matrix& b, const Interrupt& interrupt = {});
Matrix matmul_transposed(const Matrix& a, const Matrix& b,
                         const Interrupt& interrupt = {});  // a * b^T
Vector matvec(const Matrix& a, const Vector& x);
// The same into caller-owned storage of a.rows() entries (no allocation).
void matvec_into(const Matrix& a, const Vector& x, Vector& out);

std::string shape_text(std::size_t rows, std::size_t cols);

// ---- Inversion and rank ---------------------------------------------------
//
// Two kinds of decision are taken about square matrices here.  The inverse
// itself comes from Gauss-Jordan elimination with an absolute pivot test.
// Whether a matrix is of full rank, and in which directions a system can be
// solved, is decided on the matrix scaled to unit diagonal (D a D with
// D_jj = 1 / sqrt|a_jj|): that makes the decisions independent of the units
// of the variables behind the rows and columns, so data in units of 1e-8 or
// 1e8 is treated as data in units of 1.

// Gauss-Jordan elimination with partial pivoting on [h | I].  A row replaces
// the pivot candidate only when strictly larger in magnitude (a tie keeps the
// earlier row, a NaN never replaces); the inversion is singular (nullopt)
// when the chosen magnitude is below 1e-14 (absolute; a NaN magnitude
// passes).  h must be square.  interrupt is called once per pivot column.
std::optional<Matrix> invert_gauss_jordan(const Matrix& h, const Interrupt& interrupt = {});

// Relative size, on the unit diagonal, below which a pivot of the scaled
// matrix counts as zero: a matrix with such a pivot is rank-deficient to
// working precision.
//
// Measured on Hessians of probit log-likelihoods at the fitted coefficients
// (the smallest pivot of the scaled elimination): exactly collinear columns
// (a constant beside a dummy d and 1 - d, n from 1e3 to 1e6, three seeds
// each) leave rounding noise from 0 to 5e-15, growing slowly with n; a
// full-rank but badly scaled design (a column offset by 5000 beside the
// constant, another multiplied by 1000: condition number 7e14 unscaled, 1.5e8
// scaled) has 1.8e-5; a column equal to another plus noise of relative size
// e has about 1.2 e^2 (1.2e-8 at e = 1e-4, 1.2e-10 at 1e-5).  1e-11 lies
// three orders of magnitude above the noise at n = 1e6 and six below the
// badly scaled design: it calls singular only columns that differ from the
// span of the others by less than about 3e-6 of their own size, which no
// regression can tell apart.
inline constexpr double kRelativePivotTolerance = 1e-11;

// True when h, scaled to unit diagonal, has a pivot of magnitude below
// rel_tol in Gaussian elimination with partial pivoting (the pivots of the
// Gauss-Jordan inversion, on the scaled matrix), or a zero diagonal entry.
// A matrix holding a NaN is never called rank-deficient (its NaNs are left
// to flow into the results).  h must be square.
bool rank_deficient_scaled(const Matrix& h, double rel_tol = kRelativePivotTolerance);

// Solves a x = b for a symmetric positive semi-definite a, in the directions
// that a identifies.  a is scaled to unit diagonal; a pivoted Cholesky
// factorisation of the scaled matrix then takes, step by step, the remaining
// column with the largest remaining diagonal, and stops when that is below
// rel_tol.  The columns not taken, and every column whose own diagonal is not
// positive, span the null directions: their components of x are zero (a
// zero step), and x solves the system restricted to the columns taken.
// When a or b holds a NaN or an infinity, every component of x is NaN.
// rank, when given, receives the number of columns taken.
Vector solve_psd_identified(const Matrix& a, const Vector& b,
                            double rel_tol = kRelativePivotTolerance,
                            std::size_t* rank = nullptr);

}  // namespace quorvel
