#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/linalg.hpp"

namespace quorvel {
namespace {

std::string internal_error_text(const std::function<void()>& body) {
    try {
        body();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

TEST(Linalg, FailIndexNamesIndexAndDimension) {
    EXPECT_EQ(internal_error_text([] { fail_index(7, 3); }),
              "assertion failed: index < dim (index 7, dim 3)");
    Matrix m(2, 3);
    EXPECT_EQ(internal_error_text([&] { (void)m(2, 0); }),
              "assertion failed: index < dim (index 2, dim 2)");
    EXPECT_EQ(internal_error_text([&] { (void)m(0, 3); }),
              "assertion failed: index < dim (index 3, dim 3)");
    EXPECT_EQ(internal_error_text([&] { (void)m.row(5); }),
              "assertion failed: index < dim (index 5, dim 2)");
    EXPECT_NO_THROW((void)m(1, 2));
}

Matrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    Matrix m(rows, cols);
    m.storage().assign(values.begin(), values.end());
    return m;
}

// Blocks on either side of the size from which they are mapped for
// themselves, and sizes that are no multiple of a page: every byte can be
// written and read back, mapped blocks start on a 2 MiB boundary, and a
// vector's elements are value-initialised (a matrix's need not be).
TEST(Linalg, StorageBlocksOfEverySize) {
    const std::size_t large = storage::kLargeBlock;
    for (std::size_t bytes : {std::size_t{8}, large - 8, large, large + 8, 3 * large + 4104}) {
        auto* p = static_cast<unsigned char*>(storage::allocate(bytes));
        if (bytes >= large) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (std::size_t{2} << 20), 0u) << bytes;
        }
        std::memset(p, 0xA5, bytes);
        EXPECT_EQ(p[0], 0xA5);
        EXPECT_EQ(p[bytes - 1], 0xA5) << bytes;
        storage::release(p, bytes);
    }
    // Heap memory is reused: a vector made where one full of 7s was must
    // still hold zeros.
    for (int round = 0; round < 3; ++round) {
        { Vector filled(100, 7.0); }
        const Vector fresh(100);
        for (double e : fresh) ASSERT_EQ(e, 0.0);
    }
}

TEST(Linalg, ProductsAgainstHandComputedValues) {
    const Matrix a = from_rows(2, 3, {1, 2, 3, 4, 5, 6});
    const Matrix b = from_rows(3, 2, {7, 8, 9, 10, 11, 12});
    const Matrix ab = matmul(a, b);
    EXPECT_EQ(ab.storage(), (std::vector<double>{58, 64, 139, 154}));

    const Matrix c = from_rows(2, 3, {1, 0, -1, 2, 1, 0});
    const Matrix act = matmul_transposed(a, c);  // a * c^T
    EXPECT_EQ(act.rows(), 2u);
    EXPECT_EQ(act.storage(), (std::vector<double>{-2, 4, -2, 13}));

    EXPECT_EQ(matvec(a, Vector{1, -1, 2}), (Vector{5, 11}));

    EXPECT_EQ(matmul(Matrix(2, 0), Matrix(0, 3)).storage(), std::vector<double>(6, 0.0));
    EXPECT_EQ(Matrix::identity(3).storage(), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(Matrix::identity(0).rows(), 0u);
}

struct MismatchCase {
    const char* name;
    std::function<void()> call;
    const char* message;
};

TEST(Linalg, MismatchedShapesNameBothShapes) {
    const std::vector<MismatchCase> cases = {
        {"matmul", [] { matmul(Matrix(2, 3), Matrix(2, 3)); },
         "matmul: shapes (2, 3) and (2, 3) do not fit"},
        {"matmul_transposed", [] { matmul_transposed(Matrix(2, 3), Matrix(3, 2)); },
         "matmul_transposed: shapes (2, 3) and (3, 2) do not fit"},
        {"matvec", [] { matvec(Matrix(2, 3), Vector(2)); },
         "matvec: shapes (2, 3) and (2, 1) do not fit"},
    };
    for (const auto& c : cases) EXPECT_EQ(internal_error_text(c.call), c.message) << c.name;
}

// With a = 1 + 2^-27 and b = 1 - 2^-27, a*b = 1 - 2^-54 rounds to 1.0, so
// -1 + a*b is exactly 0; a fused multiply-add would give -2^-54.
TEST(Linalg, ProductsRoundEveryMultiplication) {
    const double a = 1.0 + std::ldexp(1.0, -27);
    const double b = 1.0 - std::ldexp(1.0, -27);
    const Matrix row = from_rows(1, 2, {-1.0, a});
    EXPECT_EQ(matvec(row, Vector{1.0, b})[0], 0.0);
    EXPECT_EQ(matmul(row, from_rows(2, 1, {1.0, b}))(0, 0), 0.0);
    EXPECT_EQ(matmul_transposed(row, from_rows(1, 2, {1.0, b}))(0, 0), 0.0);
}

// A 3 x 2 logical matrix [[1, 2], [3, 4], [5, 6]] laid out in memory in
// several ways, one of them unaligned.
TEST(Linalg, ViewsReadAnyStrideLayout) {
    const std::vector<double> logical = {1, 2, 3, 4, 5, 6};
    constexpr std::ptrdiff_t d = sizeof(double);

    std::vector<double> row_major = logical;
    std::vector<double> col_major = {1, 3, 5, 2, 4, 6};
    // Every other double, rows and columns both reversed.
    std::vector<double> sparse(12, -99.0);
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 2; ++c) sparse[2 * ((2 - r) * 2 + (1 - c))] = logical[r * 2 + c];
    std::vector<char> unaligned(1 + 6 * sizeof(double));
    std::memcpy(unaligned.data() + 1, logical.data(), 6 * sizeof(double));

    auto bytes = [](const std::vector<double>& v) { return reinterpret_cast<const char*>(v.data()); };
    const struct {
        const char* name;
        MatrixView view;
    } cases[] = {
        {"column-major", MatrixView(bytes(col_major), 3, 2, d, 3 * d)},
        {"strided reversed", MatrixView(bytes(sparse) + 10 * d, 3, 2, -4 * d, -2 * d)},
        {"unaligned", MatrixView(unaligned.data() + 1, 3, 2, 2 * d, d)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_matrix(c.view).storage(), logical) << c.name;
        EXPECT_EQ(to_vector(c.view.column(1)), (Vector{2, 4, 6})) << c.name;
        EXPECT_EQ(c.view.at(2, 0), 5.0) << c.name;
    }
    const MatrixView v(bytes(row_major), 3, 2, 2 * d, d);
    EXPECT_THROW((void)v.at(3, 0), InternalError);
    EXPECT_THROW((void)v.column(2), InternalError);
    EXPECT_THROW((void)v.column(0).at(3), InternalError);

    const VectorView backwards(bytes(row_major) + 5 * d, 6, -d);
    EXPECT_EQ(to_vector(backwards), (Vector{6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(to_matrix(MatrixView(Matrix(0, 4))).cols(), 4u);
}

// Copies into storage of several huge pages, which they fill a page at a
// time: rows of 3 and 7 doubles straddle the pages' boundaries, and the last
// page is a partial one.  Every element must arrive, none be left at the
// byte written to fault a page in.
TEST(Linalg, CopiesFillLargeStorageCompletely) {
    for (const std::size_t k : {3, 7}) {
        const std::size_t rows = (std::size_t{9} << 20) / (k * sizeof(double)) + 11;
        std::vector<double> source(rows * k);
        for (std::size_t i = 0; i < source.size(); ++i) source[i] = 1.0 + static_cast<double>(i);
        const MatrixView view(reinterpret_cast<const char*>(source.data()), rows, k,
                              static_cast<std::ptrdiff_t>(k * sizeof(double)), sizeof(double));
        EXPECT_EQ(to_matrix(view).storage(), source) << k;
        const Vector v =
            to_vector(VectorView(reinterpret_cast<const char*>(source.data()), source.size(), sizeof(double)));
        EXPECT_TRUE(std::equal(v.begin(), v.end(), source.begin(), source.end())) << k;
        // A column: a strided vector of more than a huge page at k = 3.
        const Vector column = to_vector(view.column(1));
        ASSERT_EQ(column.size(), rows);
        for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(column[r], source[r * k + 1]) << k << " " << r;
    }
    Matrix wrong(2, 3, Matrix::Uninitialized{});
    EXPECT_THROW(copy_view_into(MatrixView(Matrix(3, 2)), wrong), InternalError);
}

// ---------------------------------------------------------------- rank

Matrix sym(std::size_t k, const std::vector<double>& values) {
    Matrix m(k, k);
    m.storage().assign(values.begin(), values.end());
    return m;
}

// D a D for the diagonal D = diag(scales).
Matrix rescaled(const Matrix& a, const Vector& scales) {
    Matrix m = a;
    for (std::size_t r = 0; r < a.rows(); ++r)
        for (std::size_t c = 0; c < a.cols(); ++c) m(r, c) = a(r, c) * scales[r] * scales[c];
    return m;
}

// The solution does not depend on the units of the variables: in units
// scaled by s the system is (S a S) x' = S b with x = S x'.  A zero or
// collinear column is a null direction and gets a zero component; the rest
// solves the system without it.
TEST(Linalg, SolveInIdentifiedDirections) {
    const Matrix a = sym(3, {4, 1, 0.5, 1, 3, 0.25, 0.5, 0.25, 2});
    const Vector b = {1, -2, 0.5};
    const Vector x = solve_psd_identified(a, b);
    const Vector back = matvec(a, x);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(back[j], b[j], 1e-15) << j;

    const Vector s = {1e-8, 1.0, 1e8};
    const Vector xs = solve_psd_identified(rescaled(a, s), {b[0] * s[0], b[1] * s[1], b[2] * s[2]});
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(xs[j] * s[j], x[j], 1e-14 * std::fabs(x[j])) << j;

    std::size_t rank = 9;
    // Column 1 is column 0 twice over (d and 2d): one of them is dropped.
    const Matrix collinear = sym(3, {1, 2, 0.5, 2, 4, 1, 0.5, 1, 3});
    const Vector xc = solve_psd_identified(collinear, {1, 2, 1}, kRelativePivotTolerance, &rank);
    EXPECT_EQ(rank, 2u);
    EXPECT_TRUE(xc[0] == 0.0 || xc[1] == 0.0);
    const Vector bc = matvec(collinear, xc);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(bc[j], (Vector{1, 2, 1})[j], 1e-14) << j;

    const Vector xz = solve_psd_identified(sym(2, {0, 0, 0, 2}), {5, 1}, kRelativePivotTolerance, &rank);
    EXPECT_EQ(xz[0], 0.0);
    EXPECT_NEAR(xz[1], 0.5, 1e-15);
    EXPECT_EQ(rank, 1u);
    EXPECT_EQ(solve_psd_identified(Matrix(2, 2), {0, 0}), (Vector{0, 0}));
    EXPECT_TRUE(solve_psd_identified(Matrix(0, 0), {}).empty());

    for (const Vector& bad : {Vector{std::nan(""), 1, 1}, Vector{1, HUGE_VAL, 1}}) {
        for (double v : solve_psd_identified(a, bad)) EXPECT_TRUE(std::isnan(v));
    }
    Matrix nan_a = a;
    nan_a(1, 2) = std::nan("");
    for (double v : solve_psd_identified(nan_a, b)) EXPECT_TRUE(std::isnan(v));
}

TEST(Linalg, RankDeficiencyIsJudgedOnTheScaledMatrix) {
    const Matrix full = sym(3, {4, 1, 0.5, 1, 3, 0.25, 0.5, 0.25, 2});
    const Matrix collinear = sym(3, {1, 2, 0.5, 2, 4, 1, 0.5, 1, 3});
    const struct {
        const char* name;
        Matrix h;
        bool deficient;
    } cases[] = {
        {"full rank", full, false},
        {"full rank, tiny and huge units", rescaled(full, {1e-9, 1.0, 1e9}), false},
        {"collinear", collinear, true},
        {"collinear, tiny units", rescaled(collinear, {1e-9, 1e-9, 1e-9}), true},
        {"negated", rescaled(collinear, {-1.0, -1.0, -1.0}), true},
        {"zero diagonal", sym(2, {0, 0, 0, 1}), true},
        {"nearly collinear but identified", sym(2, {1, 1 - 1e-6, 1 - 1e-6, 1}), false},
        {"collinear to rounding", sym(2, {1, 1 - 1e-13, 1 - 1e-13, 1}), true},
        {"NaN", sym(2, {1, 1, 1, std::nan("")}), false},
        {"empty", Matrix(0, 0), false},
    };
    for (const auto& c : cases) EXPECT_EQ(rank_deficient_scaled(c.h), c.deficient) << c.name;
}

}  // namespace
}  // namespace quorvel
