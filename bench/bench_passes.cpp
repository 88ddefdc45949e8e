// Fits one data set with the core's optimiser and prints the passes over the
// rows it made, for bench/convergence.py:
//
//   quorvel_bench_passes DIR N K     (DIR/y and DIR/x: raw float64, x row-major)
//
// prints "passes iterations converged loglike".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/optimizer.hpp"

using namespace quorvel;

static bool read_doubles(const std::string& path, double* out, std::size_t count) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    const bool ok = std::fread(out, sizeof(double), count, f) == count;
    std::fclose(f);
    return ok;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DIR N K\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::size_t n = std::strtoull(argv[2], nullptr, 10), k = std::strtoull(argv[3], nullptr, 10);
    Vector y(n);
    Matrix x(n, k);
    if (!read_doubles(dir + "/y", y.data(), n) || !read_doubles(dir + "/x", x.data(), n * k)) {
        std::fprintf(stderr, "cannot read %s/y and %s/x\n", dir.c_str(), dir.c_str());
        return 1;
    }
    const FitResult fit = fit_bfgs(Probit(std::move(y), std::move(x)), 35, 1e-6);
    std::printf("%llu %llu %d %.17g\n", static_cast<unsigned long long>(fit.passes),
                static_cast<unsigned long long>(fit.iterations), fit.converged ? 1 : 0, fit.loglike);
    return 0;
}
