// Times the core's row loops on a seeded synthetic problem, without Python.
//
//   cmake -S . -B build/bench -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/quorvel_bench_core [n] [k]
//
// Prints the median of seven runs of each evaluation, in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/covariance.hpp"
#include "core/optimizer.hpp"
#include "core/probit.hpp"

using namespace quorvel;

template <class F>
double median_ms(F run) {
    std::vector<double> times;
    for (int r = 0; r < 7; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::size_t k = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10;
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    Matrix x(n, k);
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
        double z = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            x(i, j) = j == 0 ? 1.0 : normal(gen);
            z += 0.1 * x(i, j);
        }
        y[i] = z + normal(gen) > 0.0 ? 1.0 : 0.0;
    }
    const Probit model(std::move(y), std::move(x));
    const Vector beta(k, 0.05);
    RowCache cache;
    volatile double sink = 0.0;

    std::printf("n = %zu, k = %zu (median of 7, ms)\n", n, k);
    std::printf("  log_likelihood         %8.1f\n", median_ms([&] { sink = log_likelihood(model, beta); }));
    std::printf("  ll, recording rows     %8.1f\n",
                median_ms([&] { sink = evaluate(model, beta, kLogLike, &cache).loglike; }));
    Evaluation e;
    std::printf("  score+Hessian, cached  %8.1f\n",
                median_ms([&] { complete_from_cache(model, cache, kScore | kHessian, e); }));
    std::printf("  ll+score+Hessian       %8.1f\n",
                median_ms([&] { sink = evaluate(model, beta, kLogLike | kScore | kHessian).loglike; }));
    std::printf("  probit_hessian         %8.1f\n", median_ms([&] { sink = probit_hessian(model, beta)(0, 0); }));
    std::printf("  probit_hc0_meat        %8.1f\n", median_ms([&] { sink = probit_hc0_meat(model, beta)(0, 0); }));
    std::printf("  fit_bfgs               %8.1f\n", median_ms([&] { sink = fit_bfgs(model, 35, 1e-6).loglike; }));
    (void)sink;
    return 0;
}
