#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/ame.hpp"
#include "core/normal.hpp"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Matrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    Matrix m(rows, cols);
    m.storage().assign(values.begin(), values.end());
    return m;
}

// Ten observations: an intercept, a 0/1 regressor and two continuous ones.
struct Problem {
    Vector beta;
    Matrix v;
    Matrix x;
    std::vector<std::string> names;
};

Problem ten_rows() {
    const std::vector<double> d = {0, 1, 1, 0, 1, 0, 0, 1, 1, 0};
    const std::vector<double> x1 = {0.5, -1.2, 0.3, 2.0, -0.7, 0.1, 1.5, -0.4, 0.9, -2.2};
    const std::vector<double> x2 = {3.1, 0.2, -1.0, 0.7, 1.9, -0.3, 0.0, 2.4, -1.6, 0.8};
    Matrix x(10, 4);
    for (std::size_t i = 0; i < 10; ++i) {
        x(i, 0) = 1.0;
        x(i, 1) = d[i];
        x(i, 2) = x1[i];
        x(i, 3) = x2[i];
    }
    const Matrix v = from_rows(4, 4, {0.04, 0.01, -0.005, 0.002, 0.01, 0.09, 0.003, -0.01,
                                      -0.005, 0.003, 0.025, 0.004, 0.002, -0.01, 0.004, 0.016});
    return {{0.2, -0.5, 0.8, -0.3}, v, x, {"const", "d", "x1", "x2"}};
}

std::vector<AmeRow> run(const Problem& p, std::uint64_t chunk) {
    return compute_ame(VectorView(p.beta), MatrixView(p.v), MatrixView(p.x), p.names, chunk);
}

// The effects straight from their definitions, one row at a time.
double reference_effect(const Problem& p, std::size_t j, bool binary) {
    double total = 0.0;
    for (std::size_t r = 0; r < p.x.rows(); ++r) {
        double z = 0.0, z_without = 0.0;
        for (std::size_t l = 0; l < p.x.cols(); ++l) {
            z += p.x(r, l) * p.beta[l];
            if (l != j) z_without += p.x(r, l) * p.beta[l];
        }
        total += binary ? normal_cdf(z_without + p.beta[j]) - normal_cdf(z_without)
                        : normal_pdf(z) * p.beta[j];
    }
    return total / static_cast<double>(p.x.rows());
}

TEST(Ame, RowsInColumnOrderWithTheirStatistics) {
    const Problem p = ten_rows();
    const std::vector<AmeRow> rows = run(p, 10);
    ASSERT_EQ(rows.size(), 3u);
    const bool binary[] = {true, false, false};
    for (std::size_t i = 0; i < 3; ++i) {
        const AmeRow& r = rows[i];
        EXPECT_EQ(r.name, p.names[i + 1]);
        EXPECT_NEAR(r.dydx, reference_effect(p, i + 1, binary[i]), 1e-15) << r.name;
        EXPECT_GT(r.std_err, 0.0);
        EXPECT_EQ(r.z, r.dydx / r.std_err);
        EXPECT_EQ(r.p_value, two_sided_p_value(r.z));
        EXPECT_STREQ(r.significance.c_str(), significance_stars(r.p_value));
    }
}

// Every block size visits every row once; only the rounding may differ.
TEST(Ame, BlockSizesAgree) {
    const Problem p = ten_rows();
    const std::vector<AmeRow> single = run(p, 10);
    for (std::uint64_t chunk : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{4},
                                std::uint64_t{7}, std::uint64_t{9}, std::uint64_t{11},
                                std::numeric_limits<std::uint64_t>::max()}) {
        const std::vector<AmeRow> rows = run(p, chunk);
        ASSERT_EQ(rows.size(), single.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NEAR(rows[i].dydx, single[i].dydx, 1e-13 * std::fabs(single[i].dydx)) << chunk;
            EXPECT_NEAR(rows[i].std_err, single[i].std_err, 1e-13 * single[i].std_err) << chunk;
            if (chunk > 10) {  // one block, the same arithmetic
                EXPECT_EQ(rows[i].dydx, single[i].dydx);
                EXPECT_EQ(rows[i].std_err, single[i].std_err);
            }
        }
    }
    try {
        run(p, 0);
        FAIL() << "no InputError";
    } catch (const InputError& e) {
        EXPECT_STREQ(e.what(), "chunk_size must be at least 1");
    }
}

// The delta-method standard errors equal sqrt(J V J^T) with J the central
// finite-difference Jacobian of the effects: with V = e_l e_l^T this pins
// |J[j][l]| entry by entry (the diagonal of continuous columns included), and
// a dense V the signs.
TEST(Ame, StandardErrorsMatchFiniteDifferenceJacobian) {
    Problem p = ten_rows();
    // Also a 0/1 column whose coefficient makes the binary terms large.
    p.names[0] = "Intercept";
    const std::size_t k = 4;
    const Matrix zero_v(k, k);
    auto effects = [&](const Vector& beta) {
        std::vector<double> out;
        for (const AmeRow& r :
             compute_ame(VectorView(beta), MatrixView(zero_v), MatrixView(p.x), p.names, 3))
            out.push_back(r.dydx);
        return out;
    };
    const std::vector<std::size_t> kept = {1, 2, 3};
    Matrix jac(3, k);
    for (std::size_t l = 0; l < k; ++l) {
        const double h = 1e-5;
        Vector up = p.beta, down = p.beta;
        up[l] += h;
        down[l] -= h;
        const std::vector<double> eu = effects(up), ed = effects(down);
        for (std::size_t i = 0; i < 3; ++i) jac(i, l) = (eu[i] - ed[i]) / (2 * h);
    }

    std::vector<Matrix> covariances;
    for (std::size_t l = 0; l < k; ++l) {
        Matrix unit(k, k);
        unit(l, l) = 1.0;
        covariances.push_back(unit);
    }
    covariances.push_back(p.v);
    for (const Matrix& v : covariances) {
        const Matrix w = matmul_transposed(matmul(jac, v), jac);
        const std::vector<AmeRow> rows =
            compute_ame(VectorView(p.beta), MatrixView(v), MatrixView(p.x), p.names, 4);
        ASSERT_EQ(rows.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            const double expected = std::sqrt(w(i, i));
            EXPECT_NEAR(rows[i].std_err, expected, 1e-7 * expected + 1e-12)
                << "column " << kept[i];
        }
    }
}

TEST(Ame, InterceptNames) {
    const struct {
        const char* name;
        bool intercept;
    } cases[] = {{"const", true},      {"CONST", true},       {"Const", true},
                 {"Intercept", true},  {"intercepT", true},   {"INTERCEPT", true},
                 {"constant", false},  {"const_1", false},    {" const", false},
                 {"const ", false},    {"cons", false},       {"", false},
                 {"\xC4\xB0NTERCEPT", false},  // U+0130, lower-cases to i + U+0307
                 {"\xEF\xBC\xA3ONST", false}};  // fullwidth C
    for (const auto& c : cases) EXPECT_EQ(is_intercept_name(c.name), c.intercept) << c.name;
    EXPECT_FALSE(is_intercept_name(std::string("const\0", 6)));
}

TEST(Ame, InterceptColumnsAreLeftOutOfTheRows) {
    Problem p = ten_rows();
    p.names = {"CONST", "constant", "\xC4\xB0NTERCEPT", "Intercept"};
    std::vector<std::string> kept;
    for (const AmeRow& r : run(p, 10)) kept.push_back(r.name);
    EXPECT_EQ(kept, (std::vector<std::string>{"constant", "\xC4\xB0NTERCEPT"}));
    p.names = {"const", "CONST", "Intercept", "intercept"};
    EXPECT_TRUE(run(p, 3).empty());
}

// Binary columns get the discrete change, others the derivative effect;
// column 1 is replaced by each test column in turn.
TEST(Ame, BinaryClassification) {
    const struct {
        const char* name;
        std::vector<double> column;
        bool binary;
    } cases[] = {
        {"zeros and ones", {0, 1, 1, 0, 1, 0, 0, 1, 1, 0}, true},
        {"negative zero counts as zero", {-0.0, 1, 1, 0, 1, -0.0, 0, 1, 1, 0}, true},
        {"all zeros", std::vector<double>(10, 0.0), true},
        {"all ones", std::vector<double>(10, 1.0), true},
        {"a two", {0, 1, 1, 0, 1, 0, 0, 1, 2, 0}, false},
        {"a half", {0, 1, 0.5, 0, 1, 0, 0, 1, 1, 0}, false},
        {"next to one", {0, 1, 1, 0, 1, 0, 0, std::nextafter(1.0, 2.0), 1, 0}, false},
    };
    for (const auto& c : cases) {
        Problem p = ten_rows();
        for (std::size_t i = 0; i < 10; ++i) p.x(i, 1) = c.column[i];
        const double got = run(p, 4)[0].dydx;
        const double as_binary = reference_effect(p, 1, true);
        const double as_continuous = reference_effect(p, 1, false);
        ASSERT_GT(std::fabs(as_binary - as_continuous), 1e-6) << c.name;
        EXPECT_NEAR(got, c.binary ? as_binary : as_continuous, 1e-15) << c.name;
    }
}

// An infinity makes a 0/1 column continuous: its effect stays finite (phi
// is 0 there), where the discrete change would be NaN.  A NaN makes every
// effect NaN and every standard error 0 whichever class the column gets.
TEST(Ame, NonFiniteValuesInAZeroOneColumn) {
    Problem p = ten_rows();
    p.x(6, 1) = kInf;
    EXPECT_TRUE(std::isfinite(run(p, 4)[0].dydx));
    p.x(6, 1) = kNaN;
    for (const AmeRow& r : run(p, 4)) {
        EXPECT_TRUE(std::isnan(r.dydx));
        EXPECT_EQ(r.std_err, 0.0);
        EXPECT_TRUE(std::isnan(r.z));
        EXPECT_TRUE(std::isnan(r.p_value));
        EXPECT_EQ(r.significance, "");
    }
}

void expect_undefined_inference(const std::vector<AmeRow>& rows, bool nan_effect) {
    for (const AmeRow& r : rows) {
        EXPECT_EQ(std::isnan(r.dydx), nan_effect) << r.name;
        EXPECT_EQ(r.std_err, 0.0) << r.name;
        EXPECT_TRUE(std::isnan(r.z)) << r.name;
        EXPECT_TRUE(std::isnan(r.p_value)) << r.name;
        EXPECT_EQ(r.significance, "") << r.name;
    }
}

TEST(Ame, ZeroCovarianceAndNoObservations) {
    Problem p = ten_rows();
    p.v = Matrix(4, 4);
    const std::vector<AmeRow> rows = run(p, 4);
    ASSERT_EQ(rows.size(), 3u);
    expect_undefined_inference(rows, false);

    // A negative variance of the effect also gives a standard error of 0.
    Problem neg = ten_rows();
    neg.v = from_rows(4, 4, std::vector<double>(16, 0.0));
    neg.v(2, 2) = -1.0;
    EXPECT_EQ(run(neg, 4)[1].std_err, 0.0);

    // No observations: every effect is 0/0; beta is not read.
    const Matrix empty(0, 4);
    const std::vector<AmeRow> none = compute_ame(VectorView(), MatrixView(p.v),
                                                 MatrixView(empty), p.names, 5);
    ASSERT_EQ(none.size(), 3u);
    expect_undefined_inference(none, true);
}

// n rows of k columns (k >= 2): an intercept, a 0/1 regressor and
// continuous ones, with a covariance of every entry nonzero.
Problem wider(std::size_t n, std::size_t k) {
    Problem p{Vector(k), Matrix(k, k), Matrix(n, k), {"const"}};
    for (std::size_t j = 0; j < k; ++j) {
        p.beta[j] = 0.3 - 0.2 * static_cast<double>(j);
        for (std::size_t l = 0; l < k; ++l) p.v(j, l) = j == l ? 0.05 : 0.004;
        if (j > 0) p.names.push_back("x" + std::to_string(j));
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < k; ++j)
            p.x(i, j) = j == 0 ? 1.0 : j == 1 ? static_cast<double>((i * 7) % 3 == 0) : std::sin(0.9 * i + j);
    return p;
}

// Views with negative and non-unit strides read the same logical data.
// Contiguous rows are read in place, which at widths short of a multiple of
// four reads into the next row; strided ones are copied.  Both give the same
// bits, in blocks of any size.
TEST(Ame, StridedViewsGiveTheSameNumbers) {
    constexpr std::ptrdiff_t d = sizeof(double);
    for (const Problem& p : {ten_rows(), wider(150, 5), wider(150, 3), wider(70, 6)}) {
        const std::size_t n = p.x.rows(), k = p.x.cols();
        // X stored with rows and columns reversed and a gap after every value.
        std::vector<double> xs(2 * n * k, kNaN);
        for (std::size_t r = 0; r < n; ++r)
            for (std::size_t c = 0; c < k; ++c) xs[2 * ((n - 1 - r) * k + (k - 1 - c))] = p.x(r, c);
        const MatrixView xv(reinterpret_cast<const char*>(xs.data()) + (2 * n * k - 2) * d, n, k,
                            -2 * static_cast<std::ptrdiff_t>(k) * d, -2 * d);
        // V column-major, beta backwards.
        std::vector<double> vs(k * k);
        for (std::size_t r = 0; r < k; ++r)
            for (std::size_t c = 0; c < k; ++c) vs[c * k + r] = p.v(r, c);
        const MatrixView vv(reinterpret_cast<const char*>(vs.data()), k, k, d, static_cast<std::ptrdiff_t>(k) * d);
        const Vector beta_rev(p.beta.rbegin(), p.beta.rend());
        const VectorView bv(reinterpret_cast<const char*>(beta_rev.data()) + static_cast<std::ptrdiff_t>(k - 1) * d,
                            k, -d);

        for (std::uint64_t chunk : {1u, 4u, 10u, 1000u}) {
            const std::vector<AmeRow> plain = run(p, chunk);
            const std::vector<AmeRow> strided = compute_ame(bv, vv, xv, p.names, chunk);
            ASSERT_EQ(strided.size(), plain.size());
            for (std::size_t i = 0; i < plain.size(); ++i) {
                EXPECT_EQ(strided[i].dydx, plain[i].dydx) << "k " << k << " chunk " << chunk;
                EXPECT_EQ(strided[i].std_err, plain[i].std_err) << "k " << k << " chunk " << chunk;
            }
        }
    }
}

std::string internal_error_text(const Problem& p, const VectorView& beta) {
    try {
        compute_ame(beta, MatrixView(p.v), MatrixView(p.x), p.names, 4);
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

TEST(Ame, ShapesAreCheckedFirst) {
    const Problem base = ten_rows();
    const Vector three = {0.1, 0.2, 0.3};
    const struct {
        const char* name;
        Problem p;
        VectorView beta;
        const char* message;
    } cases[] = {
        {"beta", base, VectorView(three), "params has 3 entries but exog has 4 columns"},
        {"v rows", {base.beta, Matrix(3, 4), base.x, base.names}, VectorView(base.beta),
         "cov_params has shape (3, 4) but exog has 4 columns"},
        {"v cols", {base.beta, Matrix(4, 5), base.x, base.names}, VectorView(base.beta),
         "cov_params has shape (4, 5) but exog has 4 columns"},
        {"few names", {base.beta, base.v, base.x, {"const", "d", "x1"}}, VectorView(base.beta),
         "exog_names has 3 entries but exog has 4 columns"},
        {"extra name", {base.beta, base.v, base.x, {"const", "d", "x1", "x2", "Const", "x3"}},
         VectorView(base.beta),
         "exog_names has 6 entries but exog has 4 columns and entry 5 is not an intercept name"},
    };
    for (const auto& c : cases) EXPECT_EQ(internal_error_text(c.p, c.beta), c.message) << c.name;

    Problem extra = base;
    extra.names.push_back("INTERCEPT");
    EXPECT_EQ(run(extra, 4).size(), 3u);
}

TEST(Ame, PValuesAndStars) {
    const struct {
        double z, p, tol;
        const char* stars;
    } cases[] = {{0.0, 1.0, 0.0, ""},           {1.64, 0.10101, 1e-5, ""},
                 {1.65, 0.09894, 1e-5, "*"},     {1.95, 0.05118, 1e-5, "*"},
                 {1.96, 0.049996, 1e-6, "**"},   {2.57, 0.01017, 1e-5, "**"},
                 {2.58, 0.00988, 1e-5, "***"},   {40.0, 0.0, 0.0, "***"},
                 {kInf, 0.0, 0.0, "***"}};
    for (const auto& c : cases) {
        for (double z : {c.z, -c.z}) {
            const double p = two_sided_p_value(z);
            EXPECT_NEAR(p, c.p, c.tol) << z;
            EXPECT_STREQ(significance_stars(p), c.stars) << z;
        }
    }
    EXPECT_TRUE(std::isnan(two_sided_p_value(kNaN)));
    // (1 - c) + (1 - c), not 2 * Phi(-|z|): far in the tail the subtraction
    // leaves exactly 0 where Phi(-z) is still positive.
    EXPECT_EQ(two_sided_p_value(9.0), 0.0);
    EXPECT_GT(normal_cdf(-9.0), 0.0);

    const struct {
        double p;
        const char* stars;
    } thresholds[] = {{0.0099999, "***"}, {0.01, "**"}, {0.0499999, "**"}, {0.05, "*"},
                      {0.0999999, "*"},   {0.1, ""},    {1.0, ""},         {kNaN, ""}};
    for (const auto& t : thresholds) EXPECT_STREQ(significance_stars(t.p), t.stars) << t.p;
}

}  // namespace
}  // namespace quorvel
