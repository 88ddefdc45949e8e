#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/covariance.hpp"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    Matrix m(rows, cols);
    m.storage().assign(values.begin(), values.end());
    return m;
}

// n observations: a constant, two regressors uniform on [-2, 2) and outcomes
// drawn from the probit model with coefficients (0.2, 0.8, -0.5).
Probit synthetic_model(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    auto uniform = [&gen] { return static_cast<double>(gen() >> 11) * 0x1p-53; };
    Vector y(n);
    Matrix x(n, 3);
    for (std::size_t i = 0; i < n; ++i) {
        x(i, 0) = 1.0;
        x(i, 1) = 4.0 * uniform() - 2.0;
        x(i, 2) = 4.0 * uniform() - 2.0;
        const double z = 0.2 + 0.8 * x(i, 1) - 0.5 * x(i, 2);
        y[i] = uniform() < normal_cdf(z) ? 1.0 : 0.0;
    }
    return Probit(std::move(y), std::move(x));
}

void expect_matrix_near(const Matrix& got, const Matrix& want, double rel, const std::string& what) {
    ASSERT_EQ(got.rows(), want.rows()) << what;
    ASSERT_EQ(got.cols(), want.cols()) << what;
    double scale = 0.0;
    for (double v : want.storage()) scale = std::max(scale, std::fabs(v));
    for (std::size_t i = 0; i < got.storage().size(); ++i)
        EXPECT_NEAR(got.storage()[i], want.storage()[i], rel * scale) << what << " at " << i;
}

Matrix outer_sum(const std::vector<Vector>& vectors, std::size_t k) {
    Matrix m(k, k);
    for (const Vector& v : vectors)
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t l = 0; l < k; ++l) m(j, l) += v[j] * v[l];
    return m;
}

// ---------------------------------------------------------------- Hessian

// The row loops take several observations per pass over the accumulator; each
// entry must still receive every update in observation order, so the results
// equal the one-row-at-a-time sums bit for bit, whatever n is modulo the batch
// (and over several blocks of rows, with their last one partial).  Both are
// formed on the lower triangle and mirrored.
TEST(ProbitHessian, BatchedRowsGiveTheOneByOneSumsExactly) {
    // 1001 rows: several blocks of rows, the last one partial.
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1001}) {
        const Probit m = synthetic_model(n, 40 + n);
        const Vector beta = {0.3, -0.7, 0.45};
        Matrix h(3, 3), meat(3, 3);
        const Matrix s = probit_scores(m, beta);
        for (std::size_t i = 0; i < n; ++i) {
            double z = 0.0;
            for (std::size_t j = 0; j < 3; ++j) z = z + m.exog(i, j) * beta[j];
            const double q = (m.endog[i] + m.endog[i]) + (-1.0);
            const double lambda = (q * normal_pdf(z * q)) / clip_probability(normal_cdf(z * q));
            const double w = (z + lambda) * lambda;
            for (std::size_t j = 0; j < 3; ++j)
                for (std::size_t l = 0; l <= j; ++l) {
                    h(j, l) = h(j, l) - (m.exog(i, j) * w) * m.exog(i, l);
                    meat(j, l) = meat(j, l) + s(i, l) * s(i, j);
                }
        }
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t l = 0; l < j; ++l) {
                h(l, j) = h(j, l);
                meat(l, j) = meat(j, l);
            }
        EXPECT_EQ(probit_hessian(m, beta).storage(), h.storage()) << "n=" << n;
        EXPECT_EQ(probit_hc0_meat(m, beta).storage(), meat.storage()) << "n=" << n;
    }
}

TEST(ProbitHessian, MatchesFiniteDifferencesOfTheScore) {
    const Probit m = synthetic_model(50, 2);
    for (const Vector& beta : {Vector{0.1, 0.5, -0.2}, Vector{-0.4, 1.2, 0.7}}) {
        const Matrix h = probit_hessian(m, beta);
        for (std::size_t l = 0; l < 3; ++l) {
            const double step = 1e-6;
            Vector up = beta, down = beta;
            up[l] += step;
            down[l] -= step;
            const Vector gu = score(m, up), gd = score(m, down);
            for (std::size_t j = 0; j < 3; ++j) {
                const double fd = (gu[j] - gd[j]) / (2 * step);
                EXPECT_NEAR(h(j, l), fd, 1e-6 * (1.0 + std::fabs(fd))) << j << "," << l;
            }
        }
    }
}

TEST(ProbitHessian, VisitsOnlyTheFirstNRowsAndChecksShapes) {
    const Matrix x = from_rows(3, 1, {1.0, 2.0, kNaN});
    const Probit m({1, 0}, x);
    EXPECT_TRUE(std::isfinite(probit_hessian(m, {0.0})(0, 0)));
    EXPECT_TRUE(std::isfinite(probit_hc0_meat(m, {0.0})(0, 0)));
    EXPECT_EQ(probit_scores(m, {0.0}).rows(), 2u);
    EXPECT_THROW(probit_hessian(m, {0.0, 0.0}), InternalError);
    EXPECT_THROW(probit_scores(m, {}), InternalError);
    EXPECT_THROW(probit_hc0_meat(m, {}), InternalError);
}

// ---------------------------------------------------------------- inversion

TEST(InvertGaussJordan, KnownInverses) {
    const struct {
        const char* name;
        Matrix h, inverse;
        double tol;
    } cases[] = {
        {"2x2", from_rows(2, 2, {4, 7, 2, 6}), from_rows(2, 2, {0.6, -0.7, -0.2, 0.4}), 1e-15},
        {"needs row exchanges", from_rows(3, 3, {0, 2, 0, 0, 0, 4, 8, 0, 0}),
         from_rows(3, 3, {0, 0, 0.125, 0.5, 0, 0, 0, 0.25, 0}), 0.0},
        {"tridiagonal", from_rows(3, 3, {2, -1, 0, -1, 2, -1, 0, -1, 2}),
         from_rows(3, 3, {0.75, 0.5, 0.25, 0.5, 1, 0.5, 0.25, 0.5, 0.75}), 1e-15},
        {"1x1", from_rows(1, 1, {-4}), from_rows(1, 1, {-0.25}), 0.0},
        {"empty", Matrix(0, 0), Matrix(0, 0), 0.0},
    };
    for (const auto& c : cases) {
        const std::optional<Matrix> inv = invert_gauss_jordan(c.h);
        ASSERT_TRUE(inv.has_value()) << c.name;
        expect_matrix_near(*inv, c.inverse, c.tol, c.name);
    }
}

// Rows 0 and 1 tie in column 0 (|3| = |-3|), so row 0 stays the pivot.
// Worked by hand with row 0 as pivot: r0 = (1, 1/3 | 1/3, 0); r1 = (0, 0.2 +
// 1/3*3 | 0 + 1/3*3, 1); then r1 /= its pivot and r0 -= r1 * (1/3).  Pivoting
// on row 1 instead would give 0.05555555555555556 and -0.27777777777777773 in
// the first row.
TEST(InvertGaussJordan, TieKeepsTheEarlierRow) {
    const std::optional<Matrix> inv = invert_gauss_jordan(from_rows(2, 2, {3, 1, -3, 0.2}));
    ASSERT_TRUE(inv.has_value());
    EXPECT_EQ(inv->storage(), (std::vector<double>{0.055555555555555525, -0.2777777777777778,
                                                   0.8333333333333334, 0.8333333333333334}));
}

struct PivotCase {
    const char* name;
    Matrix h;
    bool singular;
};

TEST(InvertGaussJordan, AbsoluteThresholdAndNaN) {
    const double just_below = std::nextafter(1e-14, 0.0);
    const std::vector<PivotCase> cases = {
        {"exactly 1e-14 passes", from_rows(2, 2, {1e-14, 0, 0, 1}), false},
        {"negative 1e-14 passes", from_rows(2, 2, {1, 0, 0, -1e-14}), false},
        {"just below is singular", from_rows(2, 2, {just_below, 0, 0, 1}), true},
        {"no scaling by size", from_rows(2, 2, {1e20, 0, 0, 5e-15}), true},
        {"zero column", from_rows(2, 2, {1, 0, 2, 0}), true},
        {"zero matrix", Matrix(3, 3), true},
        {"NaN on the diagonal passes", from_rows(2, 2, {kNaN, 0, 0, 1}), false},
        // A NaN below a small diagonal entry never becomes the pivot.
        {"NaN is never the pivot", from_rows(2, 2, {1e-15, 0, kNaN, 1}), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(!invert_gauss_jordan(c.h).has_value(), c.singular) << c.name;
    EXPECT_EQ(invert_gauss_jordan(from_rows(2, 2, {1e-14, 0, 0, 1}))->storage()[0], 1e14);
    EXPECT_THROW(invert_gauss_jordan(Matrix(2, 3)), InternalError);
}

// ---------------------------------------------------------------- meats

TEST(Meat, ScoresSumToTheScoreInObservationOrder) {
    const Probit m = synthetic_model(25, 3);
    const Vector beta = {0.3, 0.6, -0.2};
    const Matrix s = probit_scores(m, beta);
    ASSERT_EQ(s.rows(), 25u);
    Vector sums(3, 0.0);
    for (std::size_t i = 0; i < 25; ++i)
        for (std::size_t j = 0; j < 3; ++j) sums[j] = s(i, j) + sums[j];
    EXPECT_EQ(sums, score(m, beta));
}

TEST(Meat, HandComputed) {
    EXPECT_EQ(probit_hc0_meat(Probit({}, Matrix(0, 2)), {0, 0}).storage(), std::vector<double>(4, 0.0));
    const ClusterSums sums = {{"a", {1, 2}}, {"b", {3, -1}}};
    EXPECT_EQ(cluster_meat(sums, 2).storage(), (std::vector<double>{10, -1, -1, 5}));
    EXPECT_THROW(cluster_meat(sums, 3), InternalError);
}

// ---------------------------------------------------------------- estimate

struct CountingSource {
    int calls = 0;
    std::optional<Matrix> value;
    ClusterSource source() {
        return [this]() -> std::optional<Matrix> {
            ++calls;
            return value;
        };
    }
};

Matrix classical(const Probit& m, const Vector& beta) {
    Matrix v = *invert_gauss_jordan(probit_hessian(m, beta));
    for (double& e : v.storage()) e = -e;
    return v;
}

TEST(EstimateCovariance, ClassicalIsNegatedInverseAndIgnoresClusters) {
    const Probit m = synthetic_model(60, 4);
    const Vector beta = {0.2, 0.7, -0.4};
    CountingSource clusters;
    clusters.value = Matrix(3, 1);  // wrong row count: never looked at
    testing::internal::CaptureStderr();
    const Matrix v = estimate_covariance(m, beta, false, clusters.source());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(clusters.calls, 0);
    EXPECT_EQ(v.storage(), classical(m, beta).storage());
}

TEST(EstimateCovariance, SandwichesMatchOuterProductsOfTransformedScores) {
    const Probit m = synthetic_model(60, 5);
    const Vector beta = {0.25, 0.75, -0.45};
    const Matrix v0 = classical(m, beta);
    const Matrix s = probit_scores(m, beta);

    std::vector<Vector> per_obs;  // V0 s_i
    for (std::size_t i = 0; i < 60; ++i) per_obs.push_back(matvec(v0, Vector(s.row(i), s.row(i) + 3)));
    const Matrix hc0 = outer_sum(per_obs, 3);

    // Two clusters by the parity of i (keys 0.0000 and 1.0000).
    Matrix parity(60, 1);
    Vector u_even(3, 0.0), u_odd(3, 0.0);
    for (std::size_t i = 0; i < 60; ++i) {
        parity(i, 0) = static_cast<double>(i % 2);
        for (std::size_t j = 0; j < 3; ++j) (i % 2 ? u_odd : u_even)[j] += s(i, j);
    }
    Matrix ids(60, 1);
    for (std::size_t i = 0; i < 60; ++i) ids(i, 0) = static_cast<double>(i);
    const Vector vg = matvec(v0, score(m, beta));

    const struct {
        const char* name;
        std::optional<Matrix> clusters;
        Matrix expected;
    } cases[] = {
        {"hc0", std::nullopt, hc0},
        {"one cluster per observation", ids, hc0},
        {"two clusters", parity,
         outer_sum({matvec(v0, u_even), matvec(v0, u_odd)}, 3)},
        {"no cluster columns: one cluster", Matrix(60, 0), outer_sum({vg}, 3)},
    };
    for (const auto& c : cases) {
        CountingSource source;
        source.value = c.clusters;
        const Matrix v = estimate_covariance(m, beta, true, source.source());
        EXPECT_EQ(source.calls, 1) << c.name;
        expect_matrix_near(v, c.expected, 1e-12, c.name);
    }
}

TEST(EstimateCovariance, SingularHessianWarnsAndUsesIdentity) {
    // The third regressor is all zeros.
    Probit m({1, 0, 1, 0}, from_rows(4, 3, {1, 0.5, 0, 1, -1, 0, 1, 2, 0, 1, 0.1, 0}));
    const Vector beta = {0.1, 0.3, 0.0};
    testing::internal::CaptureStderr();
    const Matrix v = estimate_covariance(m, beta, false, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Hessian singular => identity for Cov\n");
    EXPECT_EQ(v.storage(), Matrix::identity(3).storage());

    testing::internal::CaptureStderr();
    const Matrix robust = estimate_covariance(m, beta, true, [] { return std::nullopt; });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSingularHessianWarning);
    EXPECT_EQ(robust.storage(), probit_hc0_meat(m, beta).storage());

    // No observations at all: a zero Hessian.
    testing::internal::CaptureStderr();
    EXPECT_EQ(estimate_covariance(Probit({}, Matrix(0, 2)), {0, 0}, false, nullptr).storage(),
              Matrix::identity(2).storage());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSingularHessianWarning);
}

// A constant beside a dummy d and 1 - d: the Hessian is exactly singular,
// but rounding leaves its Gauss-Jordan pivots above 1e-14.  It must take the
// singular path, with the warning; a badly scaled full-rank design (an
// offset of 5000 beside the constant, a column in units of 1/1000) must not.
TEST(EstimateCovariance, CollinearColumnsTakeTheSingularPath) {
    const Probit base = synthetic_model(2000, 9);
    Matrix trap(2000, 4), scaled(2000, 3);
    for (std::size_t i = 0; i < 2000; ++i) {
        const double d = base.exog(i, 1) > 0.3 ? 1.0 : 0.0;
        trap(i, 0) = 1.0;
        trap(i, 1) = d;
        trap(i, 2) = 1.0 - d;
        trap(i, 3) = base.exog(i, 2);
        scaled(i, 0) = 1.0;
        scaled(i, 1) = base.exog(i, 1) + 5000.0;
        scaled(i, 2) = base.exog(i, 2) * 1000.0;
    }
    const Probit collinear(base.endog, trap);
    const Vector beta = {0.1, 0.3, -0.2, -0.5};
    ASSERT_TRUE(invert_gauss_jordan(probit_hessian(collinear, beta)).has_value());
    testing::internal::CaptureStderr();
    const Matrix v = estimate_covariance(collinear, beta, false, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSingularHessianWarning);
    EXPECT_EQ(v.storage(), Matrix::identity(4).storage());

    const Probit full(base.endog, scaled);
    const Vector beta_full = {0.2 - 0.8 * 5000.0, 0.8, -0.5 / 1000.0};
    testing::internal::CaptureStderr();
    const Matrix vf = estimate_covariance(full, beta_full, false, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(vf.storage(), classical(full, beta_full).storage());
    for (std::size_t j = 0; j < 3; ++j) EXPECT_GT(vf(j, j), 0.0) << j;
}

std::string input_error_text(const std::function<void()>& body) {
    try {
        body();
    } catch (const InputError& e) {
        return e.what();
    }
    return "<no InputError>";
}

TEST(EstimateCovariance, ClusterRowMismatch) {
    const Probit m = synthetic_model(100, 6);
    const Vector beta = {0.2, 0.8, -0.5};
    const struct {
        std::size_t rows;
        const char* message;
    } cases[] = {{99, "cluster mismatch: got 99 rows, nobs=100"},
                 {101, "cluster mismatch: got 101 rows, nobs=100"},
                 {0, "cluster mismatch: got 0 rows, nobs=100"}};
    for (const auto& c : cases) {
        CountingSource source;
        source.value = Matrix(c.rows, 2);
        EXPECT_EQ(input_error_text([&] { estimate_covariance(m, beta, true, source.source()); }),
                  c.message);
        EXPECT_EQ(source.calls, 1);
    }
}

// The warning comes first, then the cluster source, whose failure passes
// through unchanged.
TEST(EstimateCovariance, WarningPrecedesClusterFailures) {
    Probit m({1, 0}, from_rows(2, 2, {1, 0, 1, 0}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(input_error_text([&] {
                  estimate_covariance(m, {0, 0}, true, [] { return std::optional<Matrix>(Matrix(1, 1)); });
              }),
              "cluster mismatch: got 1 rows, nobs=2");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSingularHessianWarning);

    testing::internal::CaptureStderr();
    EXPECT_THROW(estimate_covariance(m, {0, 0}, true,
                                     []() -> std::optional<Matrix> { throw std::logic_error("x"); }),
                 std::logic_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSingularHessianWarning);
}

}  // namespace
}  // namespace quorvel
