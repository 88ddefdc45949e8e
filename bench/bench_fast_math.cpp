// Times erfc_batch and log_batch against std::erfc and std::log.
//
//   cmake -S . -B build/bench -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/quorvel_bench_fast_math [n]
//
// Prints the median of seven runs over n values (default 1e6), in nanoseconds
// per element, for the standard library, the dispatching batch function and
// each of its variants.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/fast_math.hpp"

using namespace quorvel;
using Batch = void (*)(const double*, double*, std::size_t);

template <class F>
double median_ns_per_element(std::size_t n, F run) {
    std::vector<double> times;
    for (int r = 0; r < 7; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / double(n));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void report(const char* title, const std::vector<double>& x, double (*std_fn)(double), Batch batch,
            Batch baseline, Batch avx2, Batch avx512, Batch one_at_a_time) {
    const std::size_t n = x.size();
    std::vector<double> out(n);
    volatile double sink = 0.0;
    auto timed = [&](Batch f) {
        return median_ns_per_element(n, [&] {
            f(x.data(), out.data(), n);
            sink = out[n / 2];
        });
    };
    const double t_std = median_ns_per_element(n, [&] {
        for (std::size_t i = 0; i < n; ++i) out[i] = std_fn(x[i]);
        sink = out[n / 2];
    });
    std::printf("%s\n", title);
    std::printf("  std                  %6.2f ns\n", t_std);
    std::printf("  batch (dispatched)   %6.2f ns\n", timed(batch));
    std::printf("  baseline variant     %6.2f ns\n", timed(baseline));
    if (fast_math_detail::has_avx2_variant()) std::printf("  avx2 variant         %6.2f ns\n", timed(avx2));
    if (fast_math_detail::has_avx512_variant()) std::printf("  avx512 variant       %6.2f ns\n", timed(avx512));
    std::printf("  one at a time        %6.2f ns\n", timed(one_at_a_time));
    (void)sink;
}

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::mt19937_64 gen(1);
    std::vector<double> x(n);
    namespace d = fast_math_detail;
    double (*std_erfc)(double) = std::erfc;
    double (*std_log)(double) = std::log;
    std::printf("n = %zu, median of 7, ns per element; avx2 variant %s, avx512 variant %s\n", n,
                d::has_avx2_variant() ? "available" : "not available",
                d::has_avx512_variant() ? "available" : "not available");

    std::uniform_real_distribution<double> probit(-5.0, 5.0);
    for (auto& v : x) v = probit(gen);
    report("erfc, x uniform in [-5, 5]", x, std_erfc, erfc_batch, d::erfc_baseline, d::erfc_avx2,
           d::erfc_avx512, d::erfc_one_at_a_time);
    std::uniform_real_distribution<double> wide(-7.0, 28.0);
    for (auto& v : x) v = wide(gen);
    report("erfc, x uniform in [-7, 28]", x, std_erfc, erfc_batch, d::erfc_baseline, d::erfc_avx2,
           d::erfc_avx512, d::erfc_one_at_a_time);
    std::uniform_real_distribution<double> small(-0.25, 0.25);
    for (auto& v : x) v = small(gen);
    report("erfc, x uniform in [-0.25, 0.25]", x, std_erfc, erfc_batch, d::erfc_baseline, d::erfc_avx2,
           d::erfc_avx512, d::erfc_one_at_a_time);

    std::uniform_real_distribution<double> prob(1e-15, 1.0);
    for (auto& v : x) v = prob(gen);
    report("log, x uniform in [1e-15, 1]", x, std_log, log_batch, d::log_baseline, d::log_avx2,
           d::log_avx512, d::log_one_at_a_time);
    std::uniform_real_distribution<double> expo(std::log(1e-300), std::log(1e300));
    for (auto& v : x) v = std::exp(expo(gen));
    report("log, x log-uniform in [1e-300, 1e300]", x, std_log, log_batch, d::log_baseline, d::log_avx2,
           d::log_avx512, d::log_one_at_a_time);
    return 0;
}
