#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fast_math.hpp"
#include "core/probit.hpp"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLnHalf = -0.6931471805599453;
constexpr double kLnFloor = -34.538776394910684;
constexpr double kLambdaAtZero = 0.7978845608028653;

Matrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    Matrix m(rows, cols);
    m.storage().assign(values.begin(), values.end());
    return m;
}

double repeated_sum(double term, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + term;
    return s;
}

// The same doubles, bit for bit, in the same number.
template <class A, class B>
bool same(const A& a, const B& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A small data set with both outcomes and a constant column.
Probit small_model() {
    return Probit({1, 0, 1, 1, 0, 0, 1},
                  from_rows(7, 3, {1, 0.5, 2,  1, -1.2, 0,  1, 0.3, -1, 1, 2.0, 1,
                                   1, -0.7, 3, 1, 0.1, -2, 1, 1.5, 0.5}));
}

TEST(Probit, ConstructionRejectsTooFewExogRows) {
    try {
        Probit({1, 0, 1}, Matrix(2, 1));
        FAIL() << "no InputError";
    } catch (const InputError& e) {
        EXPECT_STREQ(e.what(), "endog has 3 observations but exog has only 2 rows");
    }
    // Extra exog rows are allowed and never read.
    Probit extra({1, 0}, from_rows(3, 1, {0.5, -0.5, kNaN}));
    EXPECT_TRUE(std::isfinite(score(extra, {0.3})[0]));
}

TEST(Probit, CoefficientLengthIsChecked) {
    const Probit m = small_model();
    EXPECT_THROW(log_likelihood(m, {0.0, 0.0}), InternalError);
    EXPECT_THROW(score(m, {0.0, 0.0, 0.0, 0.0}), InternalError);
    EXPECT_THROW(probit_hessian(m, {0.0}), InternalError);
}

TEST(Probit, AtZeroEveryRowHasProbabilityOneHalf) {
    const Probit m = small_model();
    EXPECT_EQ(log_likelihood(m, {0, 0, 0}), repeated_sum(kLnHalf, 7));
    const Vector g = score(m, {0, 0, 0});
    for (std::size_t j = 0; j < 3; ++j) {
        double expected = 0.0;
        for (std::size_t i = 0; i < 7; ++i) {
            const double lambda = m.endog[i] == 1.0 ? kLambdaAtZero : -kLambdaAtZero;
            expected = m.exog(i, j) * lambda + expected;
        }
        EXPECT_EQ(g[j], expected) << j;
    }
}

TEST(Probit, EmptyDimensions) {
    const Probit no_rows({}, Matrix(0, 2));
    EXPECT_EQ(log_likelihood(no_rows, {0.4, -1}), 0.0);
    EXPECT_EQ(score(no_rows, {0.4, -1}), (Vector{0.0, 0.0}));

    const Probit no_cols({1, 0, 0}, Matrix(3, 0));
    EXPECT_EQ(log_likelihood(no_cols, {}), repeated_sum(kLnHalf, 3));
    EXPECT_TRUE(score(no_cols, {}).empty());
}

// One-row models: (y, x, beta) -> log-likelihood term and score.
struct RowCase {
    const char* name;
    double y, x, beta;
    double ll;
    double score;  // NaN: expected NaN
};
class ProbitRow : public testing::TestWithParam<RowCase> {};

TEST_P(ProbitRow, LogLikelihoodTermAndScore) {
    const RowCase c = GetParam();
    const Probit m({c.y}, from_rows(1, 1, {c.x}));
    EXPECT_EQ(log_likelihood(m, {c.beta}), c.ll);
    const double g = score(m, {c.beta})[0];
    if (std::isnan(c.score)) {
        EXPECT_TRUE(std::isnan(g));
    } else {
        EXPECT_EQ(g, c.score);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProbitRow,
    // phi underflows to 0 at |t| = 40, so lambda is 0 there; with an infinite
    // regressor lambda is 0 as well, but x * lambda is NaN.
    testing::Values(RowCase{"half_outcome", 0.5, 2.0, 1.3, kLnHalf, 0.0},
                    RowCase{"t_plus_40", 1.0, 4.0, 10.0, -9.992007221626415e-16, 0.0},
                    RowCase{"t_minus_40", 0.0, 4.0, 10.0, kLnFloor, 0.0},
                    RowCase{"infinite_index", 1.0, std::numeric_limits<double>::infinity(), -1.0,
                            kLnFloor, kNaN}),
    [](const testing::TestParamInfo<RowCase>& info) { return std::string(info.param.name); });

// A NaN in the last row puts that row at the probability floor while the
// other rows keep their terms; a NaN coefficient does so for every row.  The
// score turns NaN throughout.
TEST(Probit, NaNHitsTheFloor) {
    const Probit base = small_model();
    const Vector beta = {0.1, -0.4, 0.2};
    const Probit head(Vector(base.endog.begin(), base.endog.end() - 1),
                      from_rows(6, 3, std::vector<double>(base.exog.storage().begin(), base.exog.storage().end() - 3)));
    const double last_row_at_floor = log_likelihood(head, beta) + kLnFloor;
    enum Where { endog, exog, coefficient };
    for (Where where : {endog, exog, coefficient}) {
        Vector y = base.endog, b = beta;
        Matrix x = base.exog;
        if (where == endog) y[6] = kNaN;
        if (where == exog) x(6, 1) = kNaN;
        if (where == coefficient) b[2] = kNaN;
        const Probit m(y, x);
        EXPECT_EQ(log_likelihood(m, b),
                  where == coefficient ? repeated_sum(kLnFloor, 7) : last_row_at_floor)
            << where;
        for (double g : score(m, b)) EXPECT_TRUE(std::isnan(g)) << where;
    }
}

// The score is the gradient of the log-likelihood: compare with central
// differences at a few points.
TEST(Probit, ScoreMatchesFiniteDifferences) {
    const Probit m = small_model();
    const std::vector<Vector> points = {{0, 0, 0}, {0.2, -0.5, 0.3}, {-1.0, 1.5, -0.4}};
    for (const Vector& beta : points) {
        const Vector g = score(m, beta);
        for (std::size_t j = 0; j < 3; ++j) {
            const double h = 1e-6;
            Vector up = beta, down = beta;
            up[j] += h;
            down[j] -= h;
            const double fd = (log_likelihood(m, up) - log_likelihood(m, down)) / (2 * h);
            EXPECT_NEAR(g[j], fd, 1e-7 * (1.0 + std::fabs(fd))) << "j=" << j;
        }
    }
}

// The optimiser forms the score and Hessian in the pass of the log-likelihood,
// or later from the rows a log-likelihood pass recorded: every route must give
// the plain evaluations bit for bit, also for rows at the clipping bounds and
// rows holding NaN.  The passes with a score form the linear index from the
// padded copy of the rows, sixteen rows at a time, the others from the rows
// themselves: the wide models (41 rows, every count of columns left over
// after groups of four) check that both give the same bits.
TEST(Probit, FusedAndCachedEvaluationsEqualThePlainOnes) {
    const Probit clean = small_model();
    const Probit dirty({1, 0, 1, 0}, from_rows(4, 2, {1, 40, 1, 40, 1, kNaN, 1, -0.5}));
    std::vector<std::pair<const Probit*, Vector>> cases = {
        {&clean, {0, 0, 0}}, {&clean, {0.2, -0.5, 0.3}}, {&clean, {-30, 9, 4}}, {&dirty, {0.1, 1.0}}};
    std::vector<Probit> wide;
    for (std::size_t k : {1, 2, 3, 5, 6, 7, 8, 9}) {
        const std::size_t n = 41;
        Matrix x(n, k);
        Vector y(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < k; ++j) x(i, j) = std::sin(0.7 * static_cast<double>(i * k + j) + 0.3);
            y[i] = std::cos(0.9 * static_cast<double>(i)) > 0 ? 1.0 : 0.0;
        }
        wide.emplace_back(std::move(y), std::move(x));
    }
    for (const Probit& m : wide) {
        Vector beta(m.k());
        for (std::size_t j = 0; j < m.k(); ++j) beta[j] = 0.37 - 0.21 * static_cast<double>(j);
        cases.emplace_back(&m, beta);
    }
    RowCache cache;
    for (const auto& [model, beta] : cases) {
        const Evaluation fused = evaluate(*model, beta, kLogLike | kScore | kHessian);
        Evaluation cached = evaluate(*model, beta, kLogLike, &cache);
        complete_from_cache(*model, cache, kScore | kHessian, cached);
        const double plain_ll = log_likelihood(*model, beta);
        EXPECT_EQ(std::memcmp(&fused.loglike, &plain_ll, sizeof plain_ll), 0);
        EXPECT_EQ(std::memcmp(&cached.loglike, &plain_ll, sizeof plain_ll), 0);
        const Vector g = score(*model, beta);
        const Matrix h = probit_hessian(*model, beta);
        EXPECT_TRUE(same(fused.score, g));
        EXPECT_TRUE(same(cached.score, g));
        EXPECT_TRUE(same(fused.hessian.storage(), h.storage()));
        EXPECT_TRUE(same(cached.hessian.storage(), h.storage()));
    }
}

// Two rows with the same regressor x = 1.1 and opposite outcomes at beta = 0:
// the score is x*L - x*L.  Each product is rounded before the addition, so it
// is exactly 0; a fused multiply-add would leave the rounding error of x*L.
// The grouping by bit patterns must give exactly the clusters (and the sums,
// in the same order) of the per-row key texts: values that print alike share
// a cluster (3.00001 and 3.0, NaNs with any payload), signed zeros do not.
TEST(Probit, ClusterSumsEqualThoseOfTheKeyTexts) {
    const std::size_t n = 600;
    Matrix x(n, 3);
    Vector y(n);
    const double ids[] = {3.0, 3.00001, 0.0, -0.0, kNaN, std::nan("0x7"), -0.00001, 1e300, 2.99996, 7.5};
    Matrix one(n, 1), two(n, 2), none(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        x(i, 0) = 1.0;
        x(i, 1) = std::sin(0.37 * static_cast<double>(i));
        x(i, 2) = (i * 7919) % 11 < 4 ? 1.0 : 0.0;
        y[i] = std::cos(0.11 * static_cast<double>(i * i)) > 0.2 ? 1.0 : 0.0;
        one(i, 0) = ids[(i * 31) % 10];
        two(i, 0) = ids[(i * 13) % 10];
        two(i, 1) = static_cast<double>(i % 3);
    }
    const Probit model(std::move(y), std::move(x));
    const Vector beta{0.1, -0.4, 0.3};
    for (const Matrix* g : {&one, &two, &none}) {
        const ClusterSums want =
            sum_scores_by_cluster(combine_cluster_keys(*g), probit_scores(model, beta));
        const ClusterSums got = probit_cluster_sums(model, beta, *g);
        ASSERT_EQ(got.size(), want.size()) << g->cols() << " columns";
        for (std::size_t c = 0; c < got.size(); ++c) {
            EXPECT_EQ(got[c].first, want[c].first);
            EXPECT_EQ(std::memcmp(got[c].second.data(), want[c].second.data(), 3 * sizeof(double)), 0)
                << got[c].first;
        }
    }
    // "3.0000" (three values), "0.0000", "-0.0000" (-0.0, -0.00001), "NaN" (two), 1e300, "7.5000".
    EXPECT_EQ(probit_cluster_sums(model, beta, one).size(), 6u);
}

TEST(Probit, ScoreAccumulationRoundsEachProduct) {
    const Probit m({0, 1}, from_rows(2, 1, {1.1, 1.1}));
    EXPECT_NE(std::fma(1.1, kLambdaAtZero, -(1.1 * kLambdaAtZero)), 0.0);
    EXPECT_EQ(score(m, {0.0})[0], 0.0);
}

TEST(Probit, WideOuterProductsEqualTheFourWideOnes) {
    if (!probit_detail::has_wide_outer()) GTEST_SKIP() << "no AVX-512 on this processor";
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    // Widths that take every mix of eight- and four-wide groups in the last
    // sweep, and one, two and three sweeps of 32 columns before it.
    for (std::size_t k : {1, 3, 4, 5, 8, 10, 13, 20, 29, 33, 37, 41, 50, 70, 101}) {
        const std::size_t kp = (k + 3) / 4 * 4, len = 37;
        std::vector<double> a(len * kp, 0.0), x(len * kp, 0.0), acc(kp * kp);
        for (std::size_t r = 0; r < len; ++r)
            for (std::size_t j = 0; j < k; ++j) a[r * kp + j] = u(gen), x[r * kp + j] = u(gen);
        for (double& v : acc) v = u(gen);
        for (bool add : {false, true}) {
            std::vector<double> four = acc, wide = acc;
            probit_detail::add_lower_products(false, add, four.data(), k, a.data(), x.data(), len);
            probit_detail::add_lower_products(true, add, wide.data(), k, a.data(), x.data(), len);
            for (std::size_t j = 0; j < k; ++j)
                for (std::size_t l = 0; l <= j; ++l) {
                    ASSERT_NE(four[j * kp + l], acc[j * kp + l]) << "k " << k << " (" << j << ", " << l << ")";
                    ASSERT_EQ(std::memcmp(&four[j * kp + l], &wide[j * kp + l], sizeof(double)), 0)
                        << "k " << k << " add " << add << " (" << j << ", " << l << ")";
                }
        }
    }
}

// The sums of a pass against the formulas written out row by row, bit for
// bit, at every width up to 13 columns and at 20 (the Hessian's sums take
// each width from 5 to 12 in a sweep of its own), including widths that
// leave each row short of a multiple of four columns (the pass then reads
// the next row's first values along with a row's own), and over several
// blocks, the last of which reaches the end of exog.
TEST(Probit, PassSumsEqualTheRowByRowFormulas) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> u;
    for (std::size_t k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 20}) {
        const std::size_t n = 300, extra = k % 2;  // exog may have rows past n
        Matrix x(n + extra, k);
        Vector y(n), beta(k);
        for (std::size_t i = 0; i < n + extra; ++i)
            for (std::size_t j = 0; j < k; ++j) x(i, j) = j == 0 ? 1.0 : u(gen) * (i % 7 == 3 ? 1e150 : 1.0);
        for (std::size_t i = 0; i < n; ++i) y[i] = u(gen) > 0.3 ? 1.0 : 0.0;
        for (std::size_t j = 0; j < k; ++j) beta[j] = 0.3 - 0.1 * static_cast<double>(j);
        const Probit model(y, x);
        double ll = 0.0;
        Vector g(k, 0.0);
        Matrix h(k, k), m(k, k);
        for (std::size_t i = 0; i < n; ++i) {
            double z = 0.0;
            for (std::size_t j = 0; j < k; ++j) z = z + x(i, j) * beta[j];
            const double q = (y[i] + y[i]) + (-1.0);
            const double t = z * q;
            const double p = clip_probability(model.normal.cdf(t));
            double lp;
            log_batch(&p, &lp, 1);
            ll = ll + lp;
            const double lambda = (q * model.normal.pdf(t)) / p;
            const double w = (z + lambda) * lambda;
            for (std::size_t j = 0; j < k; ++j) {
                g[j] = x(i, j) * lambda + g[j];
                for (std::size_t l = 0; l <= j; ++l) {
                    h(j, l) = h(j, l) - (x(i, j) * w) * x(i, l);
                    m(j, l) = m(j, l) + (x(i, l) * lambda) * (x(i, j) * lambda);
                }
            }
        }
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t l = 0; l < j; ++l) h(l, j) = h(j, l), m(l, j) = m(j, l);
        const Evaluation e = evaluate(model, beta, kLogLike | kScore | kHessian | kMeat);
        EXPECT_EQ(std::memcmp(&e.loglike, &ll, sizeof ll), 0) << "k " << k;
        EXPECT_TRUE(same(e.score, g)) << "k " << k;
        EXPECT_TRUE(same(e.hessian.storage(), h.storage())) << "k " << k;
        EXPECT_TRUE(same(e.meat.storage(), m.storage())) << "k " << k;
    }
}

}  // namespace
}  // namespace quorvel
