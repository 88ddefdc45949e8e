#include "core/cluster_keys.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quorvel {

void append_fixed4(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0.0 ? "-inf" : "inf";
        return;
    }
    // The largest double has 309 integer digits; with sign, point and four
    // decimals the text needs at most 315 characters.
    char buf[330];
    // Like printf("%.4f") in the C locale: a set sign bit gives a leading "-"
    // even when the rounded value is zero (-0.0 and -0.00001 give "-0.0000").
    const std::to_chars_result res =
        std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    if (res.ec != std::errc()) throw InternalError("append_fixed4: formatting buffer too small");
    out.append(buf, res.ptr);
}

std::vector<std::string> combine_cluster_keys(const Matrix& g, const Interrupt& interrupt) {
    const std::size_t rows = g.rows(), cols = g.cols();
    std::vector<std::string> keys;
    keys.reserve(rows);
    const double* row = g.data();
    for (std::size_t r = 0; r < rows; ++r, row += cols) {
        if (r % 256 == 255 && interrupt) interrupt();
        std::string key;
        for (std::size_t c = 0; c < cols; ++c) {
            if (c != 0) key += '|';
            append_fixed4(key, row[c]);
        }
        keys.push_back(std::move(key));
    }
    return keys;
}

ClusterSums sum_scores_by_cluster(const std::vector<std::string>& keys, const Matrix& s,
                                  const Interrupt& interrupt) {
    const std::size_t n = s.rows(), k = s.cols();
    if (keys.size() != n) {
        throw InternalError("sum_scores_by_cluster: " + std::to_string(keys.size()) +
                            " keys for a score matrix of shape " + shape_text(n, k));
    }
    ClusterSums sums;
    const double* row = s.data();
    for (std::size_t i = 0; i < n; ++i, row += k) {
        if (i % 256 == 255 && interrupt) interrupt();
        // The key is copied only when the cluster is new.
        Vector& u = sums.try_emplace(keys[i], k, 0.0).first->second;
        for (std::size_t l = 0; l < k; ++l) u[l] = u[l] + row[l];
    }
    return sums;
}

}  // namespace quorvel
