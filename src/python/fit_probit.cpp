// fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)
#include <optional>
#include <string>
#include <utility>

#include "core/covariance.hpp"
#include "core/optimizer.hpp"
#include "lib/args.hpp"
#include "lib/boundary.hpp"
#include "lib/convert.hpp"
#include "python/entries.hpp"
#include "python/results.hpp"

namespace quorvel::py {
namespace {

constexpr std::uint64_t kDefaultMaxIter = 35;
constexpr double kDefaultTol = 1e-6;

// Validates the outcome through its shape, (nobs,) or (nobs, 1), and returns
// the number of dimensions the outcome array must have.  Runs Python code
// (the shape attribute, the __index__ of its entries).
int outcome_ndim(PyObject* endog) {
    PyRef shape = check_new(PyObject_GetAttrString(endog, "shape"));
    if (!PyTuple_Check(shape.get())) raise_cannot_convert(shape.get(), "PyTuple");
    Py_ssize_t length = PyTuple_GET_SIZE(shape.get());
    if (length != 1 && length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
        throw ErrorAlreadySet{};
    }
    std::uint64_t nobs = to_u64(PyTuple_GET_ITEM(shape.get(), 0));
    std::optional<std::uint64_t> second;
    if (length == 2 && PyTuple_GET_ITEM(shape.get(), 1) != Py_None) {
        second = to_u64(PyTuple_GET_ITEM(shape.get(), 1));
    }
    if (!second) return 1;
    if (*second == 1) return 2;
    PyErr_Format(PyExc_ValueError, "endog must be shape (nobs,) or (nobs,1). got=(%llu,Some(%llu))",
                 static_cast<unsigned long long>(nobs), static_cast<unsigned long long>(*second));
    throw ErrorAlreadySet{};
}

std::vector<std::string> generated_names(std::size_t k) {
    std::vector<std::string> names;
    names.reserve(k);
    for (std::size_t j = 0; j < k; ++j) names.push_back("x" + std::to_string(j));
    return names;
}

PyObject* fit(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"endog_py", "exog_py", "max_iter", "tol", "robust", "cluster_vars"};
    auto slot = bind_arguments("fit_probit", names, 2, args, nargs, kwnames);

    PyObject* endog_py = slot[0];
    // Checked here for the order of the errors; its memory is read only below.
    convert_argument("exog_py", [&] { return require_float64_array(slot[1], 2, ArrayErrors::detailed); });
    std::uint64_t max_iter =
        slot[2] ? convert_argument("max_iter", [&] { return to_u64(slot[2]); }) : kDefaultMaxIter;
    double tol = slot[3] ? convert_argument("tol", [&] { return to_double(slot[3]); }) : kDefaultTol;
    bool robust = slot[4] ? convert_argument("robust", [&] { return to_bool_exact(slot[4]); }) : false;
    PyObject* cluster_vars = slot[5];
    const int endog_ndim = outcome_ndim(endog_py);

    // The conversions above ran Python code that may have changed either
    // array, so both are checked again here, and copied before any other
    // Python code runs.  The checks themselves may run Python code (NumPy's
    // dtype test); unchanged() covers that.
    CheckedArray endog = require_float64_array(endog_py, endog_ndim, ArrayErrors::plain);
    CheckedArray exog = convert_argument(
        "exog_py", [&] { return require_float64_array(slot[1], 2, ArrayErrors::detailed); });
    endog.require_unchanged("endog_py");
    exog.require_unchanged("exog_py");
    Vector y = endog_ndim == 1 ? to_vector(endog.vector()) : to_vector(endog.matrix().column(0));
    const MatrixView exog_rows = exog.matrix();
    // Filled by the fit before its first pass; no Python code runs until the
    // rows are all copied.
    Matrix x(exog_rows.rows, exog_rows.cols, Matrix::Uninitialized{});

    // A cluster matrix that is a plain float64 array of one row per
    // observation is copied here (checking it runs no Python code), so that
    // the fit's last pass can form the cluster sums; any other is converted
    // after the fit, where its errors are raised.
    std::optional<Matrix> early_clusters;
    if (robust && cluster_vars != nullptr) {
        const std::optional<CheckedArray> g = plain_float64_matrix(cluster_vars);
        if (g && g->matrix().rows == y.size()) early_clusters = to_matrix(g->matrix());
    }

    // Refuses (ValueError) an outcome longer than exog has rows.
    Probit model(std::move(y), std::move(x));
    // Pending signals are handled between units of work; the model owns its
    // data, so the handlers' Python code cannot reach it.
    const Interrupt interrupt = check_signals;
    // With robust the meat is formed in the fit's last pass where it can be
    // (the cluster-robust one when the clusters were copied above).
    const bool meat_in_fit = robust && (cluster_vars == nullptr || early_clusters);
    FitResult fitted = fit_bfgs(model, exog_rows, max_iter, tol, interrupt, meat_in_fit,
                                early_clusters ? &*early_clusters : nullptr);

    ClusterSource clusters = [cluster_vars, &early_clusters]() -> std::optional<Matrix> {
        if (cluster_vars == nullptr) return std::nullopt;
        if (early_clusters) return std::move(early_clusters);
        CheckedArray g = require_float64_array(cluster_vars, 2, ArrayErrors::plain);
        g.require_unchanged("cluster_vars");
        return to_matrix(g.matrix());
    };
    const std::optional<Matrix> none;
    Matrix cov = estimate_covariance(model, fitted.params, robust, clusters, interrupt, fitted.hessian,
                                     early_clusters ? none : fitted.meat, early_clusters ? fitted.meat : none);

    ResultRecord record;
    record.exog_names = generated_names(model.k());
    record.params = new_array_1d(std::move(fitted.params));
    record.cov = new_array_2d(std::move(cov));
    // The model is done with: its copies become the result's arrays.
    record.exog = new_array_2d(std::move(model.exog));
    record.endog = new_array_1d(std::move(model.endog));
    record.loglike = fitted.loglike;
    record.iterations = fitted.iterations;
    record.converged = fitted.converged;
    return new_results(std::move(record)).release();
}

}  // namespace

PyObject* fit_probit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding_boundary([&] { return fit(args, nargs, kwnames); });
}

}  // namespace quorvel::py
