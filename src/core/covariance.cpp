#include "core/covariance.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace quorvel {

namespace {

// m = m + u u^T, row after row, for the clusters' sums u_c = sums + c k,
// c = 0 .. count - 1 in order; compiled for each instruction set (wider
// vectors over l, the same sum for every entry).
QUORVEL_MULTIVERSION void add_outers(double* md, const double* sums, std::size_t count, std::size_t k) noexcept {
    for (std::size_t c = 0; c < count; ++c, sums += k)
        for (std::size_t j = 0; j < k; ++j) {
            double* mrow = md + j * k;
            const double uj = sums[j];
            for (std::size_t l = 0; l < k; ++l) mrow[l] = mrow[l] + uj * sums[l];
        }
}

}  // namespace

Matrix cluster_meat(const ClusterSums& sums, std::size_t k, const Interrupt& interrupt) {
    Matrix m(k, k);
    std::size_t visited = 0;
    for (const auto& entry : sums) {
        if (++visited % 256 == 0 && interrupt) interrupt();
        const Vector& u = entry.second;
        if (u.size() != k) {
            throw InternalError("cluster_meat: a cluster sum has " + std::to_string(u.size()) +
                                " entries, expected " + std::to_string(k));
        }
        add_outers(m.data(), u.data(), 1, k);
    }
    return m;
}

Matrix cluster_meat(const double* sums, std::size_t clusters, std::size_t k, const Interrupt& interrupt) {
    Matrix m(k, k);
    for (std::size_t c = 0; c < clusters; c += 256) {
        if (c != 0 && interrupt) interrupt();
        add_outers(m.data(), sums + c * k, std::min<std::size_t>(256, clusters - c), k);
    }
    return m;
}

bool hessian_singular(const Matrix& hessian, std::optional<Matrix>* inverse,
                      const Interrupt& interrupt) {
    *inverse = invert_gauss_jordan(hessian, interrupt);
    return !*inverse || rank_deficient_scaled(hessian);
}

Matrix estimate_covariance(const Probit& model, const Vector& beta, bool robust,
                           const ClusterSource& clusters, const Interrupt& interrupt,
                           const std::optional<Matrix>& hessian, const std::optional<Matrix>& hc0_meat,
                           const std::optional<Matrix>& given_cluster_meat) {
    const std::size_t n = model.nobs(), k = model.k();
    const Matrix v0 = classical_covariance(hessian ? *hessian : probit_hessian(model, beta, interrupt), interrupt);
    if (!robust) return v0;

    std::optional<Matrix> g = clusters ? clusters() : std::nullopt;
    Matrix meat;
    if (!g) {
        meat = hc0_meat ? *hc0_meat : probit_hc0_meat(model, beta, interrupt);
    } else {
        if (g->rows() != n) {
            throw InputError("cluster mismatch: got " + std::to_string(g->rows()) +
                             " rows, nobs=" + std::to_string(n));
        }
        if (given_cluster_meat) {
            meat = *given_cluster_meat;
        } else {
            // From the grouping's own array of sums: no text and Vector per
            // cluster besides.
            ClusterGrouping grouping = probit_cluster_grouping(model, beta, *g, interrupt);
            meat = cluster_meat(grouping.sums(), grouping.clusters(), k, interrupt);
        }
    }
    return sandwich_covariance(v0, meat, interrupt);
}

Matrix classical_covariance(const Matrix& hessian, const Interrupt& interrupt) {
    const std::size_t k = hessian.rows();
    std::optional<Matrix> inverse;
    if (hessian_singular(hessian, &inverse, interrupt)) {
        std::fwrite(kSingularHessianWarning, 1, std::char_traits<char>::length(kSingularHessianWarning),
                    stderr);
        std::fflush(stderr);
        return Matrix::identity(k);
    }
    Matrix v0 = std::move(*inverse);
    for (double& e : v0.storage()) e = -e;
    return v0;
}

Matrix sandwich_covariance(const Matrix& v0, const Matrix& meat, const Interrupt& interrupt) {
    return matmul(matmul(v0, meat, interrupt), v0, interrupt);
}

}  // namespace quorvel
