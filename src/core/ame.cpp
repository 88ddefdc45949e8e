#include "core/ame.hpp"

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

namespace {

enum class ColumnKind { intercept, binary, continuous };

void check_shapes(const VectorView& beta, const MatrixView& v, const MatrixView& x,
                  const std::vector<std::string>& names) {
    const std::size_t k = x.cols;
    const std::string columns = " but exog has " + std::to_string(k) + " columns";
    if (v.rows != k || v.cols != k)
        throw InternalError("cov_params has shape " + shape_text(v.rows, v.cols) + columns);
    if (x.rows > 0 && beta.size != k)
        throw InternalError("params has " + std::to_string(beta.size) + " entries" + columns);
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

// Every value of column j equal to 0.0 or 1.0 (-0.0 included; NaN is not).
bool is_binary_column(const MatrixView& x, std::size_t j) {
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double value = x(r, j);
        if (!(value == 0.0 || value == 1.0)) return false;
    }
    return true;
}

}  // namespace

// Per block, the continuous columns share the sums a_l = sum_r (t_r x_rl) f_r,
// so their Jacobian rows cost one pass per coefficient instead of one per
// (column, coefficient) pair.
std::vector<AmeRow> compute_ame(const VectorView& beta, const MatrixView& v, const MatrixView& x,
                                const std::vector<std::string>& names, std::uint64_t chunk_size) {
    if (chunk_size == 0) throw InputError("chunk_size must be at least 1");
    check_shapes(beta, v, x, names);

    const std::size_t n = x.rows, k = x.cols;
    std::vector<ColumnKind> kind(k, ColumnKind::continuous);
    std::vector<std::size_t> binary, continuous;
    for (std::size_t j = 0; j < k; ++j) {
        if (is_intercept_name(names[j])) {
            kind[j] = ColumnKind::intercept;
        } else if (is_binary_column(x, j)) {
            kind[j] = ColumnKind::binary;
            binary.push_back(j);
        } else {
            continuous.push_back(j);
        }
    }

    const Vector b = n > 0 ? to_vector(beta) : Vector();
    Vector s(k, 0.0);
    Matrix g(k, k);
    // Block-sized temporaries, allocated once; a block never exceeds
    // min(chunk_size, n) rows.
    const std::size_t width = chunk_size < n ? static_cast<std::size_t>(chunk_size) : n;
    Vector t(width), f(width), diff(width), a(continuous.empty() ? 0 : k);

    for (std::size_t start = 0; start < n;) {
        const bool last = chunk_size >= n - start;  // start + chunk_size >= n
        const std::size_t end = last ? n : start + static_cast<std::size_t>(chunk_size);
        const std::size_t len = end - start;

        for (std::size_t r = 0; r < len; ++r) {
            double z = 0.0;
            for (std::size_t l = 0; l < k; ++l) z = z + x(start + r, l) * b[l];
            t[r] = z;
            f[r] = normal_pdf(z);
        }

        for (const std::size_t j : binary) {
            const double bj = b[j];
            double cdf1 = 0.0, cdf0 = 0.0, dens1 = 0.0;
            for (std::size_t r = 0; r < len; ++r) {
                const double xj = x(start + r, j);
                const double t1 = t[r] + (1.0 - xj) * bj;
                const double t0 = t[r] + (-xj) * bj;
                cdf1 = cdf1 + normal_cdf(t1);
                cdf0 = cdf0 + normal_cdf(t0);
                const double f1 = normal_pdf(t1);
                dens1 = dens1 + f1;
                diff[r] = f1 - normal_pdf(t0);
            }
            s[j] = (cdf1 - cdf0) + s[j];
            for (std::size_t l = 0; l < k; ++l) {
                double block;
                if (l == j) {
                    block = dens1;
                } else {
                    block = 0.0;
                    for (std::size_t r = 0; r < len; ++r)
                        block = block + diff[r] * x(start + r, l);
                }
                g(j, l) = block + g(j, l);
            }
        }

        if (!continuous.empty()) {
            double dens = 0.0;
            for (std::size_t r = 0; r < len; ++r) dens = dens + f[r];
            for (std::size_t l = 0; l < k; ++l) {
                double sum = 0.0;
                for (std::size_t r = 0; r < len; ++r)
                    sum = sum + (t[r] * x(start + r, l)) * f[r];
                a[l] = sum;
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
        }

        if (last) break;
        start = end;
    }

    const double count = static_cast<double>(n);
    Matrix jac(k, k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t l = 0; l < k; ++l) jac(i, l) = g(i, l) / count;
    const Matrix w = matmul_transposed(matmul(jac, to_matrix(v)), jac);

    std::vector<AmeRow> rows;
    for (std::size_t j = 0; j < k; ++j) {
        if (kind[j] == ColumnKind::intercept) continue;
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

}  // namespace quorvel
