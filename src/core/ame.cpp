#include "core/ame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/normal.hpp"

namespace quorvel {

// The comparison is meant on the full Unicode lower-case mapping of the name.
// The only code points outside ASCII whose full lower-case mapping contains an
// ASCII letter are U+0130 (to "i" followed by the non-ASCII U+0307, so the
// result is never pure ASCII) and U+212A KELVIN SIGN (to "k", a letter in
// neither word).  Every other non-ASCII code point lower-cases to non-ASCII
// text.  So a name holding any byte >= 0x80 can never lower-case to "const" or
// "intercept", and an ASCII name lower-cases exactly as ASCII does.
bool is_intercept_name(const std::string& utf8_name) {
    std::string lower;
    lower.reserve(utf8_name.size());
    for (const char ch : utf8_name) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x80) return false;
        lower += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : ch;
    }
    return lower == "const" || lower == "intercept";
}

double two_sided_p_value(double z) {
    const double c = normal_cdf(std::fabs(z));
    return (1.0 - c) + (1.0 - c);
}

const char* significance_stars(double p) {
    if (p < 0.01) return "***";
    if (p < 0.05) return "**";
    if (p < 0.1) return "*";
    return "";
}

void check_ame_shapes(std::size_t beta_size, std::size_t v_rows, std::size_t v_cols, std::size_t n,
                      std::size_t k, const std::vector<std::string>& names) {
    const std::string columns = " but exog has " + std::to_string(k) + " columns";
    if (v_rows != k || v_cols != k)
        throw InternalError("cov_params has shape " + shape_text(v_rows, v_cols) + columns);
    if (n > 0 && beta_size != k)
        throw InternalError("params has " + std::to_string(beta_size) + " entries" + columns);
    if (names.size() < k)
        throw InternalError("exog_names has " + std::to_string(names.size()) + " entries" +
                            columns);
    for (std::size_t j = k; j < names.size(); ++j) {
        if (!is_intercept_name(names[j]))
            throw InternalError("exog_names has " + std::to_string(names.size()) + " entries" +
                                columns + " and entry " + std::to_string(j) +
                                " is not an intercept name");
    }
}

std::vector<bool> binary_columns(const MatrixView& x, const std::vector<std::size_t>& candidates,
                                 const Interrupt& interrupt) {
    std::vector<bool> binary(x.cols, false);
    for (const std::size_t j : candidates) binary[j] = true;
    std::vector<std::size_t> open = candidates;
    for (std::size_t r = 0; r < x.rows && !open.empty(); ++r) {
        if (r % kRowBatch == kRowBatch - 1 && interrupt) interrupt();
        std::size_t kept = 0;
        for (const std::size_t j : open) {
            const double value = x(r, j);
            if (value == 0.0 || value == 1.0) {
                open[kept++] = j;
            } else {
                binary[j] = false;
            }
        }
        open.resize(kept);
    }
    return binary;
}

AmeColumns classify_ame_columns(const std::vector<std::string>& names, std::size_t k,
                               const std::vector<bool>& binary) {
    AmeColumns out;
    out.intercept.assign(k, false);
    for (std::size_t j = 0; j < k; ++j) {
        out.intercept[j] = is_intercept_name(names[j]);
        if (out.intercept[j]) continue;
        (binary[j] ? out.binary : out.continuous).push_back(j);
    }
    return out;
}

std::vector<std::size_t> ame_candidates(const std::vector<std::string>& names, std::size_t k) {
    std::vector<std::size_t> candidates;
    for (std::size_t j = 0; j < k; ++j)
        if (!is_intercept_name(names[j])) candidates.push_back(j);
    return candidates;
}

// Each block is visited once, row by row (in batches of kRowBatch rows whose
// cdf values are evaluated together), every per-block sum being
// accumulated in row order from 0.0 and then added to its running total.  The
// continuous columns share the sums a_l = sum_r (t_r x_rl) f_r, so their
// Jacobian rows cost O(k) per row in all, not O(k) per column.
void add_ame_sums(const Vector& b, const MatrixView& x, const AmeColumns& columns,
                  std::uint64_t chunk_size, AmeSums& acc, const Interrupt& interrupt) {
    if (chunk_size == 0) throw InputError("chunk_size must be at least 1");
    const std::size_t n = x.rows, k = x.cols;
    if (n > 0 && b.size() != k)
        throw InternalError("params has " + std::to_string(b.size()) + " entries but exog has " +
                            std::to_string(k) + " columns");
    if (acc.s.size() != k || acc.g.rows() != k || acc.g.cols() != k)
        throw InternalError("add_ame_sums: accumulators not sized to " + std::to_string(k) + " columns");
    const std::vector<std::size_t>& binary = columns.binary;
    const std::vector<std::size_t>& continuous = columns.continuous;
    Vector& s = acc.s;
    Matrix& g = acc.g;

    // Per-block sums, indexed by position in `binary` where they belong to a
    // binary column.
    const std::size_t nb = binary.size();
    Vector cdf1(nb), cdf0(nb), dens1(nb), a(k);
    Matrix diff_x(nb, k);  // sum_r (f1_r - f0_r) x_rl
    double dens = 0.0;
    // One batch of rows at a time: the rows read once, their indices, and for
    // every binary column the indices with that regressor set to 1 and to 0
    // and their cdf and density values, evaluated for the whole batch at once.
    Matrix batch_rows(kRowBatch, k);
    Vector t(kRowBatch);
    Vector pdf_t(kRowBatch);
    Matrix t1(nb, kRowBatch), t0(nb, kRowBatch), cdf_t1(nb, kRowBatch), cdf_t0(nb, kRowBatch);
    Matrix pdf_t1(nb, kRowBatch), pdf_t0(nb, kRowBatch);
    const Normal normal;

    for (std::size_t start = 0; start < n;) {
        const bool last = chunk_size >= n - start;  // start + chunk_size >= n
        const std::size_t end = last ? n : start + static_cast<std::size_t>(chunk_size);

        std::fill(cdf1.begin(), cdf1.end(), 0.0);
        std::fill(cdf0.begin(), cdf0.end(), 0.0);
        std::fill(dens1.begin(), dens1.end(), 0.0);
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(diff_x.storage().begin(), diff_x.storage().end(), 0.0);
        dens = 0.0;

        for (std::size_t batch = start; batch < end; batch += kRowBatch) {
            if (interrupt) interrupt();
            const std::size_t len = end - batch < kRowBatch ? end - batch : kRowBatch;
            for (std::size_t r = 0; r < len; ++r) {
                double* row = batch_rows.row(r);
                double tr = 0.0;
                for (std::size_t l = 0; l < k; ++l) {
                    row[l] = x(batch + r, l);
                    tr = tr + row[l] * b[l];
                }
                t[r] = tr;
            }
            for (std::size_t q = 0; q < nb; ++q) {
                const std::size_t j = binary[q];
                double* up = t1.row(q);
                double* down = t0.row(q);
                for (std::size_t r = 0; r < len; ++r) {
                    const double xj = batch_rows(r, j);
                    up[r] = t[r] + (1.0 - xj) * b[j];
                    down[r] = t[r] + (-xj) * b[j];
                }
                normal.cdf_batch(up, cdf_t1.row(q), len);
                normal.cdf_batch(down, cdf_t0.row(q), len);
                normal.pdf_batch(up, pdf_t1.row(q), len);
                normal.pdf_batch(down, pdf_t0.row(q), len);
            }
            normal.pdf_batch(t.data(), pdf_t.data(), len);

            for (std::size_t r = 0; r < len; ++r) {
                if (nb * k >= 4096 && interrupt) interrupt();
                const double* row = batch_rows.row(r);
                const double f = pdf_t[r];
                dens = dens + f;
                for (std::size_t l = 0; l < k; ++l) a[l] = a[l] + (t[r] * row[l]) * f;

                for (std::size_t q = 0; q < nb; ++q) {
                    cdf1[q] = cdf1[q] + cdf_t1(q, r);
                    cdf0[q] = cdf0[q] + cdf_t0(q, r);
                    const double f1 = pdf_t1(q, r);
                    dens1[q] = dens1[q] + f1;
                    const double diff = f1 - pdf_t0(q, r);
                    double* acc = diff_x.row(q);
                    for (std::size_t l = 0; l < k; ++l) acc[l] = acc[l] + diff * row[l];
                }
            }
        }

        for (std::size_t q = 0; q < nb; ++q) {
            const std::size_t j = binary[q];
            s[j] = (cdf1[q] - cdf0[q]) + s[j];
            for (std::size_t l = 0; l < k; ++l) {
                const double block = l == j ? dens1[q] : diff_x(q, l);
                g(j, l) = block + g(j, l);
            }
        }
        for (const std::size_t j : continuous) {
            const double bj = b[j];
            s[j] = dens * bj + s[j];
            for (std::size_t l = 0; l < k; ++l) {
                // d/d beta_j of f(t) beta_j is f(t) + beta_j f'(t) x_j and
                // f'(t) = -t f(t); the other coefficients give only the
                // second term.
                const double block = l == j ? dens + a[l] * (-bj) : a[l] * (-bj);
                g(j, l) = block + g(j, l);
            }
        }

        if (last) break;
        start = end;
    }
}

std::vector<AmeRow> ame_rows(const AmeSums& sums, std::uint64_t n, const MatrixView& v,
                             const std::vector<std::string>& names, const AmeColumns& columns,
                             const Interrupt& interrupt) {
    const std::size_t k = sums.s.size();
    const Vector& s = sums.s;
    const Matrix& g = sums.g;
    const std::vector<bool>& intercept = columns.intercept;
    const double count = static_cast<double>(n);
    Matrix jac(k, k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t l = 0; l < k; ++l) jac(i, l) = g(i, l) / count;
    const Matrix w = matmul_transposed(matmul(jac, to_matrix(v), interrupt), jac, interrupt);

    std::vector<AmeRow> rows;
    for (std::size_t j = 0; j < k; ++j) {
        if (intercept[j]) continue;
        AmeRow row;
        row.name = names[j];
        row.dydx = s[j] / count;
        const double wjj = w(j, j);
        row.std_err = std::sqrt(wjj > 0.0 ? wjj : 0.0);  // negative or NaN: 0.0
        row.z = row.std_err > 0.0 ? row.dydx / row.std_err
                                  : std::numeric_limits<double>::quiet_NaN();
        row.p_value = two_sided_p_value(row.z);
        row.significance = significance_stars(row.p_value);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<AmeRow> compute_ame(const VectorView& beta, const MatrixView& v, const MatrixView& x,
                                const std::vector<std::string>& names, std::uint64_t chunk_size,
                                const Interrupt& interrupt) {
    if (chunk_size == 0) throw InputError("chunk_size must be at least 1");
    check_ame_shapes(beta.size, v.rows, v.cols, x.rows, x.cols, names);
    const std::size_t n = x.rows, k = x.cols;
    const AmeColumns columns =
        classify_ame_columns(names, k, binary_columns(x, ame_candidates(names, k), interrupt));
    AmeSums sums{Vector(k, 0.0), Matrix(k, k)};
    add_ame_sums(n > 0 ? to_vector(beta) : Vector(), x, columns, chunk_size, sums, interrupt);
    return ame_rows(sums, n, v, names, columns, interrupt);
}

}  // namespace quorvel
