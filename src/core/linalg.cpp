#include "core/linalg.hpp"

namespace quorvel {

void fail_index(std::size_t index, std::size_t dim) {
    throw InternalError("assertion failed: index < dim (index " + std::to_string(index) +
                        ", dim " + std::to_string(dim) + ")");
}

Matrix Matrix::identity(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i) m.data_[i * n + i] = 1.0;
    return m;
}

std::string shape_text(std::size_t rows, std::size_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

Matrix to_matrix(const MatrixView& v) {
    Matrix m(v.rows, v.cols);
    double* out = m.data();
    for (std::size_t r = 0; r < v.rows; ++r)
        for (std::size_t c = 0; c < v.cols; ++c) *out++ = v(r, c);
    return m;
}

Vector to_vector(const VectorView& v) {
    Vector out(v.size);
    for (std::size_t i = 0; i < v.size; ++i) out[i] = v[i];
    return out;
}

namespace {

[[noreturn]] void fail_product(const char* what, std::size_t ar, std::size_t ac, std::size_t br,
                               std::size_t bc) {
    throw InternalError(std::string(what) + ": shapes " + shape_text(ar, ac) + " and " +
                        shape_text(br, bc) + " do not fit");
}

}  // namespace

// c(i, j) = sum_p a(i, p) * b(p, j), accumulated p ascending; the i-p-j loop
// order streams rows of b and c with unit stride.
Matrix matmul(const Matrix& a, const Matrix& b, const Interrupt& interrupt) {
    if (a.cols() != b.rows()) fail_product("matmul", a.rows(), a.cols(), b.rows(), b.cols());
    const std::size_t n = a.rows(), inner = a.cols(), m = b.cols();
    Matrix c(n, m);
    const double* ad = a.data();
    const double* bd = b.data();
    double* cd = c.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (interrupt) interrupt();
        double* crow = cd + i * m;
        for (std::size_t p = 0; p < inner; ++p) {
            const double aip = ad[i * inner + p];
            const double* brow = bd + p * m;
            for (std::size_t j = 0; j < m; ++j) crow[j] = crow[j] + aip * brow[j];
        }
    }
    return c;
}

// c(i, j) = row i of a . row j of b.
Matrix matmul_transposed(const Matrix& a, const Matrix& b, const Interrupt& interrupt) {
    if (a.cols() != b.cols())
        fail_product("matmul_transposed", a.rows(), a.cols(), b.rows(), b.cols());
    const std::size_t n = a.rows(), inner = a.cols(), m = b.rows();
    Matrix c(n, m);
    const double* ad = a.data();
    const double* bd = b.data();
    double* cd = c.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (interrupt) interrupt();
        const double* arow = ad + i * inner;
        for (std::size_t j = 0; j < m; ++j) {
            const double* brow = bd + j * inner;
            double sum = 0.0;
            for (std::size_t p = 0; p < inner; ++p) sum = sum + arow[p] * brow[p];
            cd[i * m + j] = sum;
        }
    }
    return c;
}

void matvec_into(const Matrix& a, const Vector& x, Vector& out) {
    if (a.cols() != x.size() || out.size() != a.rows())
        fail_product("matvec", a.rows(), a.cols(), x.size(), 1);
    const std::size_t n = a.rows(), inner = a.cols();
    const double* ad = a.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double* arow = ad + i * inner;
        double sum = 0.0;
        for (std::size_t p = 0; p < inner; ++p) sum = sum + arow[p] * x[p];
        out[i] = sum;
    }
}

Vector matvec(const Matrix& a, const Vector& x) {
    Vector out(a.rows());
    matvec_into(a, x, out);
    return out;
}

}  // namespace quorvel
