// Every long computation calls its interrupt while it works, and what the
// interrupt throws leaves the computation at once, through every compiled
// variant of the row loops, whatever the call at which it throws.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/ame.hpp"
#include "core/covariance.hpp"
#include "core/optimizer.hpp"

namespace quorvel {
namespace {

struct Stop {};

// n rows: a constant, k - 2 normal regressors and one 0/1 regressor; 0/1
// outcomes drawn from a probit model.
Probit model(std::size_t n, std::size_t k) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal;
    Matrix x(n, k);
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
        double z = 0.1;
        x(i, 0) = 1.0;
        for (std::size_t j = 1; j + 1 < k; ++j) z += 0.3 * (x(i, j) = normal(gen)) / double(k);
        x(i, k - 1) = (i % 3 == 0) ? 1.0 : 0.0;
        y[i] = z + normal(gen) > 0 ? 1.0 : 0.0;
    }
    return Probit(std::move(y), std::move(x));
}

// Counts the calls of a full run (at least `least`), then runs again with an
// interrupt that throws on call m, for every m from the first call to the
// last (so that every loop that calls it throws once), or for a spread of
// 200 of them when there are more calls.
template <class Run>
void expect_interruptible(const std::string& what, std::size_t least, Run run) {
    std::size_t calls = 0;
    run(Interrupt([&] { ++calls; }));
    ASSERT_GE(calls, least) << what;
    std::vector<std::size_t> at;
    for (std::size_t m = 1; m <= calls; m += calls <= 200 ? 1 : calls / 200) at.push_back(m);
    if (at.back() != calls) at.push_back(calls);
    for (const std::size_t m : at) {
        std::size_t seen = 0;
        EXPECT_THROW(run(Interrupt([&] {
                         if (++seen == m) throw Stop{};
                     })),
                     Stop)
            << what << ", thrown at call " << m << " of " << calls;
        EXPECT_EQ(seen, m) << what << ": no call after the throw";
    }
}

TEST(Interrupt, EveryLongComputationCallsItAndGivesWay) {
    for (std::size_t k : {3, 70}) {  // 70: the row loops that also call between rows
        const std::size_t n = k == 3 ? 1000 : 300;
        const std::string at = " at k=" + std::to_string(k);
        const Probit p = model(n, k);
        const Vector beta(k, 0.01);
        Matrix g(n, 1);
        for (std::size_t i = 0; i < n; ++i) g(i, 0) = double(i % 40);
        const ClusterSource clusters = [&] { return std::optional<Matrix>(g); };
        const ClusterSource none = [] { return std::optional<Matrix>(); };

        // At k = 3, 1000 rows are 4 batches of rows per pass.
        expect_interruptible("fit_bfgs" + at, 10, [&](const Interrupt& i) { fit_bfgs(p, 10, 0.0, i); });
        expect_interruptible("probit_hessian" + at, 4,
                             [&](const Interrupt& i) { probit_hessian(p.exog, p.endog, beta, i); });
        expect_interruptible("hc0 covariance" + at, 8,
                             [&](const Interrupt& i) { estimate_covariance(p, beta, true, none, i); });
        expect_interruptible("cluster covariance" + at, 8,
                             [&](const Interrupt& i) { estimate_covariance(p, beta, true, clusters, i); });
        const Matrix v = Matrix::identity(k);
        std::vector<std::string> names;
        for (std::size_t j = 0; j < k; ++j) names.push_back("x" + std::to_string(j));
        for (std::uint64_t chunk : {std::uint64_t{100}, std::uint64_t{5000}}) {
            expect_interruptible("compute_ame chunk " + std::to_string(chunk) + at, 4, [&](const Interrupt& i) {
                compute_ame(VectorView(beta), MatrixView(v), MatrixView(p.exog), names, chunk, i);
            });
        }
    }
}

}  // namespace
}  // namespace quorvel
