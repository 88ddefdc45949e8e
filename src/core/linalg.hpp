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
#include <stdexcept>
#include <string>
#include <vector>

#include "core/interrupt.hpp"

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

// Inlined into each compiled version of its caller.
#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QUORVEL_ALWAYS_INLINE
#endif

using Vector = std::vector<double>;

class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
        : rows_(rows), cols_(cols), data_(rows * cols, fill) {}

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
    const std::vector<double>& storage() const { return data_; }
    std::vector<double>& storage() { return data_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
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

}  // namespace quorvel
