#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/covariance.hpp"
#include "core/optimizer.hpp"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLnHalf = -0.6931471805599453;
constexpr double kLnFloor = -34.538776394910684;

double repeated_sum(double term, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + term;
    return s;
}

// Reproducible draws: mt19937_64 is fully defined by the C++ standard, and the
// uniform and normal transforms are written out here rather than taken from
// <random>'s distributions, whose algorithms vary between libraries.
class Draws {
public:
    explicit Draws(std::uint64_t seed) : gen_(seed) {}
    double uniform() { return (static_cast<double>(gen_() >> 11) + 0.5) * 0x1p-53; }  // (0, 1)
    double normal() {  // Box-Muller, one value per pair of uniforms
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        return r * std::cos(6.283185307179586 * uniform());
    }

private:
    std::mt19937_64 gen_;
};

// Columns: constant, three standard normals, a normal of scale 10, a 0/1
// indicator.  Outcomes follow the probit model with coefficients `truth`.
const Vector kTruth = {0.3, 0.5, -0.4, 0.2, 0.05, -0.6};

Probit synthetic_model(std::size_t n, std::uint64_t seed) {
    Draws d(seed);
    Vector y(n);
    Matrix x(n, 6);
    for (std::size_t i = 0; i < n; ++i) {
        x(i, 0) = 1.0;
        x(i, 1) = d.normal();
        x(i, 2) = d.normal();
        x(i, 3) = d.normal();
        x(i, 4) = 10.0 * d.normal();
        x(i, 5) = d.uniform() < 0.4 ? 1.0 : 0.0;
        double z = 0.0;
        for (std::size_t j = 0; j < 6; ++j) z += x(i, j) * kTruth[j];
        y[i] = z + d.normal() > 0.0 ? 1.0 : 0.0;
    }
    return Probit(std::move(y), std::move(x));
}

// Plain Newton iterations on the log-likelihood: beta -= H^-1 g.
Vector newton_optimum(const Probit& m, int steps) {
    Vector beta(m.k(), 0.0);
    for (int s = 0; s < steps; ++s) {
        const Matrix hinv = *invert_gauss_jordan(probit_hessian(m, beta));
        const Vector step = matvec(hinv, score(m, beta));
        for (std::size_t j = 0; j < beta.size(); ++j) beta[j] -= step[j];
    }
    return beta;
}

TEST(FitBfgs, LargeSampleReachesTheNewtonOptimum) {
    const std::size_t n = 60000;
    const Probit m = synthetic_model(n, 20240611);
    testing::internal::CaptureStderr();
    const FitResult fit = fit_bfgs(m, 35, 1e-6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the start is silent
    ASSERT_TRUE(fit.converged);
    EXPECT_LT(fit.iterations, 34u);
    EXPECT_EQ(fit.loglike, log_likelihood(m, fit.params));

    const Vector g = score(m, fit.params);
    for (std::size_t j = 0; j < 6; ++j) EXPECT_LT(std::fabs(g[j]) / n, 1e-6) << j;

    const Vector newton = newton_optimum(m, 8);
    for (std::size_t j = 0; j < 6; ++j) {
        EXPECT_NEAR(fit.params[j], newton[j], 1e-5 * std::fabs(newton[j])) << j;
        EXPECT_NEAR(newton[j], kTruth[j], 0.05) << j;  // sanity of the data set
    }
}

// The start H0 is the inverse log-likelihood Hessian at zero, so the first
// direction is the Newton step and is taken in full.
TEST(FitBfgs, FirstIterationIsTheNewtonStepFromZero) {
    const Probit m = synthetic_model(2000, 17);
    const Vector zero(6, 0.0);
    const Matrix h0 = *invert_gauss_jordan(probit_hessian(m, zero));
    const Vector newton = matvec(h0, score(m, zero));

    const FitResult fit = fit_bfgs(m, 1, 1e-6);
    EXPECT_FALSE(fit.converged);
    EXPECT_EQ(fit.iterations, 0u);
    for (std::size_t j = 0; j < 6; ++j)
        EXPECT_NEAR(fit.params[j], -newton[j], 1e-12 * std::fabs(newton[j])) << j;
    EXPECT_GT(fit.loglike, log_likelihood(m, zero));
    EXPECT_EQ(fit.loglike, log_likelihood(m, fit.params));
}

TEST(FitBfgs, NoIterations) {
    const Probit m = synthetic_model(300, 3);
    const FitResult fit = fit_bfgs(m, 0, 1e-6);
    EXPECT_EQ(fit.params, Vector(6, 0.0));
    EXPECT_EQ(fit.loglike, repeated_sum(kLnHalf, 300));
    EXPECT_EQ(fit.iterations, 0u);
    EXPECT_FALSE(fit.converged);
}

// A tolerance the change can never fall below runs every iteration.
TEST(FitBfgs, UnreachableToleranceRunsToTheLimit) {
    const Probit m = synthetic_model(500, 4);
    const struct {
        double tol;
        std::uint64_t max_iter;
    } cases[] = {{0.0, 35}, {-1.0, 35}, {kNaN, 35}, {0.0, 5}, {0.0, 1}};
    for (const auto& c : cases) {
        const FitResult fit = fit_bfgs(m, c.max_iter, c.tol);
        EXPECT_FALSE(fit.converged) << c.tol << " " << c.max_iter;
        EXPECT_EQ(fit.iterations, c.max_iter - 1) << c.tol << " " << c.max_iter;
        EXPECT_EQ(fit.loglike, log_likelihood(m, fit.params));
    }
}

TEST(FitBfgs, EmptyDimensionsConvergeAtOnce) {
    testing::internal::CaptureStderr();
    const FitResult no_rows = fit_bfgs(Probit({}, Matrix(0, 3)), 35, 1e-6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // singular start, no warning
    EXPECT_TRUE(no_rows.converged);
    EXPECT_EQ(no_rows.iterations, 0u);
    EXPECT_EQ(no_rows.params, Vector(3, 0.0));
    EXPECT_EQ(no_rows.loglike, 0.0);

    const FitResult no_cols = fit_bfgs(Probit({1, 0, 0, 1, 1}, Matrix(5, 0)), 35, 1e-6);
    EXPECT_TRUE(no_cols.converged);
    EXPECT_EQ(no_cols.iterations, 0u);
    EXPECT_TRUE(no_cols.params.empty());
    EXPECT_EQ(no_cols.loglike, repeated_sum(kLnHalf, 5));
}

// A zero regressor makes every Hessian singular.  Its direction is not
// identified, so it gets a zero step, and the other coefficients take the
// Newton steps of the model without it: the fit is that model's fit, also
// with the regressors in small units, where a fallback to the identity would
// first walk downhill.
TEST(FitBfgs, ZeroColumnGetsAZeroStepAndTheRestConverges) {
    const Probit base = synthetic_model(3000, 5);
    for (const double unit : {1.0, 0.001}) {
        Matrix x = base.exog, reduced(3000, 5);
        for (std::size_t i = 0; i < x.rows(); ++i) {
            x(i, 3) = 0.0;
            for (std::size_t j = 1; j < 6; ++j)
                if (j != 3) x(i, j) = x(i, j) * unit;
            for (std::size_t j = 0, c = 0; j < 6; ++j)
                if (j != 3) reduced(i, c++) = x(i, j);
        }
        const Probit m(base.endog, x), without(base.endog, reduced);
        testing::internal::CaptureStderr();
        const FitResult fit = fit_bfgs(m, 35, 1e-6);
        const FitResult expected = fit_bfgs(without, 35, 1e-6);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(fit.converged) << unit;
        EXPECT_EQ(fit.iterations, expected.iterations) << unit;
        EXPECT_EQ(fit.params[3], 0.0) << unit;
        EXPECT_NEAR(fit.loglike, expected.loglike, 1e-9 * std::fabs(expected.loglike)) << unit;
        for (std::size_t j = 0, c = 0; j < 6; ++j) {
            if (j == 3) continue;
            EXPECT_NEAR(fit.params[j], expected.params[c++], 1e-8) << unit << " " << j;
        }
    }
}

// Rare outcomes (0.3% ones): Newton reaches the optimum in a handful of
// iterations, where a quasi-Newton update from the curvature at zero ran out
// of iterations.
TEST(FitBfgs, RareOutcomesConverge) {
    Draws d(11);
    const std::size_t n = 40000;
    Vector y(n);
    Matrix x(n, 3);
    for (std::size_t i = 0; i < n; ++i) {
        x(i, 0) = 1.0;
        x(i, 1) = d.normal();
        x(i, 2) = d.uniform() < 0.4 ? 1.0 : 0.0;
        y[i] = -2.9 + 0.4 * x(i, 1) + 0.3 * x(i, 2) + d.normal() > 0.0 ? 1.0 : 0.0;
    }
    const Probit m(std::move(y), std::move(x));
    const FitResult fit = fit_bfgs(m, 35, 1e-6);
    ASSERT_TRUE(fit.converged);
    EXPECT_LT(fit.iterations, 15u);
    const FitResult tight = fit_bfgs(m, 100, 1e-13);
    EXPECT_LT(tight.loglike - fit.loglike, 1e-6);
    const Vector g = score(m, fit.params);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_LT(std::fabs(g[j]), 1e-2) << j;
}

// A NaN in one row makes the start, the score and every trial NaN: the
// all-NaN point is taken after ten halvings, repeated in iteration 1, and the
// stop test fires there.
TEST(FitBfgs, NaNRowEndsInIterationOneWithNaNCoefficients) {
    const Probit base = synthetic_model(200, 6);
    const struct {
        const char* name;
        bool in_endog;
        std::size_t row, col;
    } cases[] = {{"endog", true, 3, 0}, {"exog", false, 7, 1}, {"last row", false, 199, 5}};
    for (const auto& c : cases) {
        Vector y = base.endog;
        Matrix x = base.exog;
        if (c.in_endog) y[c.row] = kNaN;
        else x(c.row, c.col) = kNaN;
        const FitResult fit = fit_bfgs(Probit(y, x), 35, 1e-6);
        EXPECT_TRUE(fit.converged) << c.name;
        EXPECT_EQ(fit.iterations, 1u) << c.name;
        for (double b : fit.params) EXPECT_TRUE(std::isnan(b)) << c.name;
        EXPECT_EQ(fit.loglike, repeated_sum(kLnFloor, 200)) << c.name;
    }
}

// Asked for the HC0 meat, the fit forms it in the passes likely to be the
// last: the fit itself is unchanged, and a meat it returns is exactly the one
// a pass of its own at the final coefficients gives.  It must be there after
// a converged fit and after one stopped by max_iter (the covariance forms it
// with a pass of its own when it is not).
TEST(FitBfgs, MeatFormedInTheLastPassIsTheMeatAtTheResult) {
    const Probit nan_row = [] {
        Probit m = synthetic_model(200, 6);
        m.exog(7, 2) = std::nan("");
        return m;
    }();
    const Probit plain = synthetic_model(3000, 8);
    const struct {
        const char* name;
        const Probit& model;
        std::uint64_t max_iter;
        double tol;
        bool meat_required;
    } cases[] = {
        {"converged", plain, 35, 1e-8, true},
        {"stopped by max_iter", plain, 2, 1e-8, true},
        {"tolerance 0", plain, 6, 0.0, true},
        {"halvings (NaN row)", nan_row, 35, 1e-8, false},
    };
    for (const auto& c : cases) {
        const FitResult without = fit_bfgs(c.model, c.max_iter, c.tol);
        const FitResult with = fit_bfgs(c.model, c.max_iter, c.tol, {}, true);
        EXPECT_FALSE(without.meat.has_value()) << c.name;
        EXPECT_EQ(with.params.size(), without.params.size()) << c.name;
        EXPECT_EQ(0, std::memcmp(with.params.data(), without.params.data(), with.params.size() * sizeof(double)))
            << c.name;
        EXPECT_EQ(with.passes, without.passes) << c.name;
        EXPECT_EQ(with.iterations, without.iterations) << c.name;
        if (c.meat_required) {
            ASSERT_TRUE(with.meat.has_value()) << c.name;
        }
        if (!with.meat) continue;
        const Matrix want = probit_hc0_meat(c.model, with.params);
        EXPECT_EQ(0, std::memcmp(with.meat->data(), want.data(), want.storage().size() * sizeof(double)))
            << c.name;
    }
}

// One coefficient, a log-likelihood of -10 at 0 and `elsewhere` at every
// other point, score g0 at 0 and 0 elsewhere, Hessian -1 everywhere: the
// full step is d = g0, predicted to gain g0^2 / 2.
class ScriptedObjective final : public Objective {
public:
    ScriptedObjective(double g0, double elsewhere) : g0_(g0), elsewhere_(elsewhere) {}
    std::size_t k() const override { return 1; }
    Evaluation evaluate(const Vector& beta, unsigned sums, bool record) override {
        if (record) recorded_ = beta;
        if (sums & kMeat) ++meat_passes;
        Evaluation e;
        e.loglike = beta[0] == 0.0 ? -10.0 : elsewhere_;
        if (sums & kScore) e.score = {beta[0] == 0.0 ? g0_ : 0.0};
        if (sums & kHessian) e.hessian = Matrix(1, 1, -1.0);
        return e;
    }
    void complete(unsigned sums, Evaluation& e) override { e = evaluate(recorded_, sums | kLogLike, false); }

    int meat_passes = 0;  // evaluations asked for the meat

private:
    double g0_, elsewhere_;
    Vector recorded_;
};

// A full step near the optimum that loses less than tol (rounding of the
// log-likelihood sums) is kept; a loss of tol or more, or any loss where the
// step was predicted to gain tol or more, still halves ten times.
TEST(FitBfgs, FullStepLosingOnlyRoundingIsKept) {
    const struct {
        const char* name;
        double g0, elsewhere;
        double params;
        std::uint64_t passes;
    } cases[] = {
        {"predicted and lost below tol", 1e-4, -10.0 - 5e-7, 1e-4, 2},
        {"predicted gain above tol", 1.0, -10.0 - 5e-7, 1.0 / 1024, 13},
        {"lost tol or more", 1e-4, -10.0 - 2e-6, 1e-4 / 1024, 14},
    };
    for (const auto& c : cases) {
        ScriptedObjective objective(c.g0, c.elsewhere);
        const FitResult r = fit_newton(objective, 35, 1e-6);
        EXPECT_EQ(r.params[0], c.params) << c.name;
        EXPECT_EQ(r.passes, c.passes) << c.name;
        EXPECT_TRUE(r.converged) << c.name;
        EXPECT_EQ(r.loglike, c.elsewhere) << c.name;
    }
}

// A first step predicted (and found) to gain 5e-6, then a zero step at the
// optimum: with tol 1e-6 only the second is predicted to be the last, and the
// meat is formed there alone; the hedged rule (below 10 tol) takes it in
// both.
TEST(FitBfgs, MeatIsFormedWhereTheStopIsPredictedOrWithinTheHedge) {
    const struct {
        bool hedged;
        int meat_passes;
    } cases[] = {{false, 1}, {true, 2}};
    for (const auto& c : cases) {
        ScriptedObjective objective(std::sqrt(1e-5), -10.0 + 5e-6);
        const FitResult r = fit_newton(objective, 35, 1e-6, {}, true, c.hedged);
        EXPECT_TRUE(r.converged) << c.hedged;
        EXPECT_EQ(r.passes, 3u) << c.hedged;
        EXPECT_TRUE(r.meat.has_value()) << c.hedged;
        EXPECT_EQ(objective.meat_passes, c.meat_passes) << c.hedged;
    }
}

}  // namespace
}  // namespace quorvel
