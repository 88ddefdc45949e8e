// quorvel_dask._kernels: the per-chunk sums of the probit fit and of the
// marginal effects, and the driver-side steps that turn summed chunk results
// into estimates (the Newton iteration, the covariance estimators, the
// marginal-effects table rows).
//
// A chunk is one row range of the data, as plain NumPy arrays on whichever
// process the scheduler ran the task.  Every chunk function returns its sums
// formed from zero over its own rows, in row order; the driver adds the chunk
// results in chunk order.  The chunk functions release the interpreter lock
// while they compute, so that a threaded scheduler runs chunks in parallel.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ame.hpp"
#include "core/cluster_keys.hpp"
#include "core/covariance.hpp"
#include "core/optimizer.hpp"
#include "core/probit.hpp"
#include "lib/args.hpp"
#include "lib/boundary.hpp"
#include "lib/convert.hpp"

namespace quorvel::py {
namespace {

// Releases the interpreter lock for its lifetime (also when unwinding).
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

Vector vector_of(PyObject* obj) {
    CheckedArray a = require_float64_array(obj, 1, ArrayErrors::plain);
    return to_vector(a.vector());
}

Matrix matrix_of(PyObject* obj) {
    CheckedArray a = require_float64_array(obj, 2, ArrayErrors::plain);
    return to_matrix(a.matrix());
}

std::vector<std::size_t> indices_of(PyObject* obj) {
    PyRef seq = check_new(PySequence_Fast(obj, "expected a sequence of column indices"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::size_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        // Held: the conversion may run Python code that changes the list.
        PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        out.push_back(to_u64(item.get()));
    }
    return out;
}

PyRef bool_list(const std::vector<bool>& flags) {
    PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    for (std::size_t i = 0; i < flags.size(); ++i) {
        PyObject* b = flags[i] ? Py_True : Py_False;
        Py_INCREF(b);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
    }
    return list;
}

// The model of one chunk: copies of its outcomes and rows, made into the
// buffers of the calling thread's previous chunk when the shapes agree.
// Every pass visits every chunk, so a fresh copy each time would be paid in
// page faults (large blocks are mapped afresh and zero-filled by the system);
// reusing the buffers keeps one chunk per thread alive between passes.
const Probit& chunk_model(PyObject* endog, PyObject* exog) {
    thread_local std::optional<Probit> cached;
    CheckedArray y = require_float64_array(endog, 1, ArrayErrors::plain);
    CheckedArray x = require_float64_array(exog, 2, ArrayErrors::plain);
    const VectorView yv = y.vector();
    const MatrixView xv = x.matrix();
    WithoutInterpreterLock unlocked;
    if (!cached || cached->exog.rows() != xv.rows || cached->exog.cols() != xv.cols ||
        cached->endog.size() != yv.size) {
        cached.reset();
        cached.emplace(to_vector(yv), to_matrix(xv));
        return *cached;
    }
    for (std::size_t i = 0; i < yv.size; ++i) cached->endog[i] = yv[i];
    for (std::size_t r = 0; r < xv.rows; ++r) {
        double* row = cached->exog.row(r);
        for (std::size_t c = 0; c < xv.cols; ++c) row[c] = xv(r, c);
    }
    return *cached;
}

// [loglike, score (k), Hessian (k x k, row-major)], and the HC0 meat (k x k,
// row-major) after them when the sums ask for it; sums not asked for are 0.
std::size_t packed_size(std::size_t k, unsigned sums) { return 1 + k + k * k + ((sums & kMeat) ? k * k : 0); }

Vector packed(const Evaluation& e, std::size_t k, unsigned sums) {
    Vector out(packed_size(k, sums), 0.0);
    out[0] = e.loglike;
    for (std::size_t j = 0; j < e.score.size(); ++j) out[1 + j] = e.score[j];
    for (std::size_t r = 0; r < e.hessian.rows(); ++r)
        for (std::size_t c = 0; c < e.hessian.cols(); ++c) out[1 + k + r * k + c] = e.hessian(r, c);
    if (sums & kMeat) {
        for (std::size_t r = 0; r < e.meat.rows(); ++r)
            for (std::size_t c = 0; c < e.meat.cols(); ++c) out[1 + k + k * k + r * k + c] = e.meat(r, c);
    }
    return out;
}

Matrix square_at(const Vector& v, std::size_t offset, std::size_t k) {
    Matrix m(k, k);
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t c = 0; c < k; ++c) m(r, c) = v[offset + r * k + c];
    return m;
}

Evaluation unpacked(const Vector& v, std::size_t k, unsigned sums) {
    if (v.size() != packed_size(k, sums)) {
        throw InternalError("a pass returned " + std::to_string(v.size()) + " sums, expected " +
                            std::to_string(packed_size(k, sums)));
    }
    Evaluation e;
    e.loglike = v[0];
    if (sums & kScore) e.score.assign(v.begin() + 1, v.begin() + 1 + static_cast<std::ptrdiff_t>(k));
    if (sums & kHessian) e.hessian = square_at(v, 1 + k, k);
    if (sums & kMeat) e.meat = square_at(v, 1 + k + k * k, k);
    return e;
}

// ---- chunk functions ------------------------------------------------------

// fit_chunk(endog, exog, beta, sums) -> [loglike, score, Hessian]
PyObject* fit_chunk(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"endog", "exog", "beta", "sums"};
    auto slot = bind_arguments("fit_chunk", names, 4, args, nargs, kwnames);
    const Probit& model = chunk_model(slot[0], slot[1]);
    const Vector beta = vector_of(slot[2]);
    const auto sums = static_cast<unsigned>(to_u64(slot[3]));
    Vector out;
    {
        WithoutInterpreterLock unlocked;
        out = packed(evaluate(model, beta, sums), model.k(), sums);
    }
    return new_array_1d(std::move(out)).release();
}

// hc0_chunk(endog, exog, beta) -> sum_i s_i s_i^T (k x k)
PyObject* hc0_chunk(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"endog", "exog", "beta"};
    auto slot = bind_arguments("hc0_chunk", names, 3, args, nargs, kwnames);
    const Probit& model = chunk_model(slot[0], slot[1]);
    const Vector beta = vector_of(slot[2]);
    Matrix meat;
    {
        WithoutInterpreterLock unlocked;
        meat = probit_hc0_meat(model, beta);
    }
    return new_array_2d(std::move(meat)).release();
}

// cluster_chunk(endog, exog, clusters, beta) -> (keys, sums): the chunk's
// clusters in order of first appearance and their score sums (one row each).
PyObject* cluster_chunk(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"endog", "exog", "clusters", "beta"};
    auto slot = bind_arguments("cluster_chunk", names, 4, args, nargs, kwnames);
    const Probit& model = chunk_model(slot[0], slot[1]);
    const Matrix g = matrix_of(slot[2]);
    const Vector beta = vector_of(slot[3]);
    if (g.rows() != model.nobs()) {
        throw InternalError("cluster_chunk: " + std::to_string(g.rows()) + " cluster rows for " +
                            std::to_string(model.nobs()) + " observations");
    }
    const std::size_t k = model.k();
    std::vector<std::string> keys;
    Matrix sums;
    {
        WithoutInterpreterLock unlocked;
        ClusterGrouping grouping = probit_cluster_grouping(model, beta, g);
        const std::size_t clusters = grouping.clusters();
        sums = Matrix(clusters, k);
        std::copy(grouping.sums(), grouping.sums() + clusters * k, sums.data());
        keys = grouping.take_texts();
    }
    PyRef key_list = string_list(keys);
    PyRef sum_array = new_array_2d(std::move(sums));
    return check(PyTuple_Pack(2, key_list.get(), sum_array.get()));
}

// ame_chunk(exog, beta, intercept, chunk_size) -> (binary, sums): the
// chunk's marginal-effect sums in blocks of chunk_size rows, each column that
// is not an intercept (intercept: k bools) summed both ways; binary tells
// which kept 0/1 values in the chunk, and sums is [s (k), g (k x k)] as
// binary columns followed by the same as continuous columns.
PyObject* ame_chunk(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"exog", "beta", "intercept", "chunk_size"};
    auto slot = bind_arguments("ame_chunk", names, 4, args, nargs, kwnames);
    const Vector beta = vector_of(slot[1]);
    const std::uint64_t chunk_size = to_u64(slot[3]);
    PyRef seq = check_new(PySequence_Fast(slot[2], "expected a sequence of intercept flags"));
    const auto k = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    std::vector<bool> intercept(k);
    for (std::size_t j = 0; j < k; ++j) {
        // The conversion may run Python code that changes the list.
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != k)
            throw InternalError("ame_chunk: the intercept flags changed during the call");
        PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(j)));
        intercept[j] = to_bool_exact(item.get());
    }
    CheckedArray x = require_float64_array(slot[0], 2, ArrayErrors::plain);
    if (x.matrix().cols != k) {
        throw InternalError("ame_chunk: " + std::to_string(k) + " intercept flags for " +
                            std::to_string(x.matrix().cols) + " columns");
    }
    AmeSumsBothWays both;
    {
        WithoutInterpreterLock unlocked;
        both = ame_sums_both_ways(beta, x.matrix(), intercept, chunk_size);
    }
    const std::size_t size = k + k * k;
    Vector out(2 * size);
    auto put = [k](const AmeSums& sums, double* o) {
        std::copy(sums.s.begin(), sums.s.end(), o);
        std::copy(sums.g.data(), sums.g.data() + k * k, o + k);  // row-major
    };
    put(both.as_binary, out.data());
    put(both.as_continuous, out.data() + size);
    PyRef flags = bool_list(both.binary);
    PyRef array = new_array_1d(std::move(out));
    return check(PyTuple_Pack(2, flags.get(), array.get()));
}

// ---- driver steps ---------------------------------------------------------

// One pass of the caller's: evaluate(beta, sums) returns the summed
// [loglike, score, Hessian] of all chunks.  Python exceptions it raises end
// the fit.
class CallbackObjective final : public Objective {
public:
    CallbackObjective(std::size_t k, PyObject* evaluate) : k_(k), evaluate_(evaluate) {}

    std::size_t k() const override { return k_; }
    Evaluation evaluate(const Vector& beta, unsigned sums, bool record) override {
        if (record) recorded_ = beta;
        return unpacked(call(beta, sums), k_, sums);
    }
    void complete(unsigned sums, Evaluation& e) override {
        Evaluation more = unpacked(call(recorded_, sums), k_, sums);
        if (sums & kScore) e.score = std::move(more.score);
        if (sums & kHessian) e.hessian = std::move(more.hessian);
        if (sums & kMeat) e.meat = std::move(more.meat);
    }

private:
    Vector call(const Vector& beta, unsigned sums) {
        PyRef point = new_array_1d(Vector(beta));
        PyRef flags = check_new(PyLong_FromUnsignedLong(sums));
        PyRef result = check_new(PyObject_CallFunctionObjArgs(evaluate_, point.get(), flags.get(), nullptr));
        return vector_of(result.get());
    }

    std::size_t k_;
    PyObject* evaluate_;
    Vector recorded_;
};

// newton(k, max_iter, tol, evaluate, want_meat=False) -> (params, loglike,
// iterations, converged, Hessian at params or None, passes, HC0 meat at
// params or None).  With want_meat the passes likely to be the last ask for
// the meat too; it is returned when the final point's pass formed it.
PyObject* newton(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"k", "max_iter", "tol", "evaluate", "want_meat"};
    auto slot = bind_arguments("newton", names, 4, args, nargs, kwnames);
    const std::size_t k = to_u64(slot[0]);
    const std::uint64_t max_iter = to_u64(slot[1]);
    const double tol = to_double(slot[2]);
    const bool want_meat = slot[4] != nullptr && to_bool_exact(slot[4]);
    CallbackObjective objective(k, slot[3]);
    FitResult fitted = fit_newton(objective, max_iter, tol, check_signals, want_meat, /*hedged_meat=*/true);
    PyRef params = new_array_1d(std::move(fitted.params));
    PyRef hessian = fitted.hessian ? new_array_2d(std::move(*fitted.hessian)) : PyRef::borrow(Py_None);
    PyRef meat = fitted.meat ? new_array_2d(std::move(*fitted.meat)) : PyRef::borrow(Py_None);
    return check(Py_BuildValue("(OdKOOKO)", params.get(), fitted.loglike,
                               static_cast<unsigned long long>(fitted.iterations),
                               fitted.converged ? Py_True : Py_False, hessian.get(),
                               static_cast<unsigned long long>(fitted.passes), meat.get()));
}

// covariance(hessian) -> -H^-1, or the identity with the warning line when
// H is singular.
PyObject* covariance(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"hessian"};
    auto slot = bind_arguments("covariance", names, 1, args, nargs, kwnames);
    const Matrix h = matrix_of(slot[0]);
    if (h.rows() != h.cols()) throw InternalError("covariance: the Hessian is not square");
    return new_array_2d(classical_covariance(h, check_signals)).release();
}

// sandwich(v0, meat) -> (v0 meat) v0
PyObject* sandwich(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"v0", "meat"};
    auto slot = bind_arguments("sandwich", names, 2, args, nargs, kwnames);
    const Matrix v0 = matrix_of(slot[0]);
    const Matrix meat = matrix_of(slot[1]);
    if (v0.rows() != v0.cols() || meat.rows() != v0.rows() || meat.cols() != v0.rows())
        throw InternalError("sandwich: the bread and the meat are not square matrices of one size");
    return new_array_2d(sandwich_covariance(v0, meat, check_signals)).release();
}

// ame_flags(names, binary) -> per column -1 (an intercept by name), 1 (a
// binary column) or 0 (a continuous one).
PyObject* ame_flags(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"names", "binary"};
    auto slot = bind_arguments("ame_flags", names, 2, args, nargs, kwnames);
    const std::vector<std::string> exog_names = to_string_vector(slot[0]);
    const std::vector<std::size_t> binary = indices_of(slot[1]);
    if (exog_names.size() < binary.size()) throw InternalError("ame_flags: fewer names than columns");
    PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(binary.size())));
    for (std::size_t j = 0; j < binary.size(); ++j) {
        const long flag = is_intercept_name(exog_names[j]) ? -1 : (binary[j] ? 1 : 0);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), check(PyLong_FromLong(flag)));
    }
    return list.release();
}

// cluster_meat(parts, k) -> sum_g u_g u_g^T, where parts is a sequence of
// (keys, sums) results of cluster_chunk in chunk order.  A cluster met in
// several chunks gets the sum of its chunk sums, added in chunk order; the
// clusters are visited in order of first appearance, as the in-memory fit
// visits them.
PyObject* cluster_meat_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"parts", "k"};
    auto slot = bind_arguments("cluster_meat", names, 2, args, nargs, kwnames);
    const std::size_t k = to_u64(slot[1]);
    PyRef parts = check_new(PySequence_Fast(slot[0], "expected a sequence of chunk cluster sums"));
    ClusterSums merged;
    std::unordered_map<std::string, std::size_t> where;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(parts.get());
    for (Py_ssize_t p = 0; p < count && p < PySequence_Fast_GET_SIZE(parts.get()); ++p) {
        // Held: the conversions below may run Python code that changes the list.
        PyRef held = PyRef::borrow(PySequence_Fast_GET_ITEM(parts.get(), p));
        PyObject* part = held.get();
        if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 2)
            throw InternalError("cluster_meat: a part is not a (keys, sums) pair");
        const std::vector<std::string> keys = to_string_vector(PyTuple_GET_ITEM(part, 0));
        const Matrix sums = matrix_of(PyTuple_GET_ITEM(part, 1));
        if (sums.rows() != keys.size() || sums.cols() != k)
            throw InternalError("cluster_meat: a part's sums do not match its keys");
        for (std::size_t c = 0; c < keys.size(); ++c) {
            auto found = where.emplace(keys[c], merged.size());
            if (found.second) merged.emplace_back(keys[c], Vector(k, 0.0));
            Vector& u = merged[found.first->second].second;
            for (std::size_t l = 0; l < k; ++l) u[l] = u[l] + sums(c, l);
        }
        if (p % 64 == 63) check_signals();
    }
    where.clear();
    return new_array_2d(cluster_meat(merged, k, check_signals)).release();
}

// ame_check(params, cov, n, k, names): the shape checks of the in-memory ame.
PyObject* ame_check(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"params", "cov", "n", "k", "names"};
    auto slot = bind_arguments("ame_check", names, 5, args, nargs, kwnames);
    const CheckedArray beta = require_float64_array(slot[0], 1, ArrayErrors::plain);
    const CheckedArray v = require_float64_array(slot[1], 2, ArrayErrors::plain);
    const std::uint64_t n = to_u64(slot[2]);
    const std::size_t k = to_u64(slot[3]);
    const std::vector<std::string> exog_names = to_string_vector(slot[4]);
    check_ame_shapes(beta.vector().size, v.matrix().rows, v.matrix().cols, n, k, exog_names);
    Py_RETURN_NONE;
}

// ame_rows(sums, n, cov, names, flags) -> [(name, dydx, std_err, z, p,
// stars)] from the summed [s, g] of all chunks.
PyObject* ame_rows_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sums", "n", "cov", "names", "flags"};
    auto slot = bind_arguments("ame_rows", names, 5, args, nargs, kwnames);
    const Vector packed_sums = vector_of(slot[0]);
    const std::uint64_t n = to_u64(slot[1]);
    const Matrix v = matrix_of(slot[2]);
    const std::vector<std::string> exog_names = to_string_vector(slot[3]);
    const std::vector<std::size_t> flags = indices_of(slot[4]);  // 0 or 1 per column
    const std::size_t k = v.rows();
    if (flags.size() != k || packed_sums.size() != k + k * k || exog_names.size() < k)
        throw InternalError("ame_rows: sums, flags and names do not match the covariance");
    std::vector<bool> binary(k);
    for (std::size_t j = 0; j < k; ++j) binary[j] = flags[j] != 0;
    const AmeColumns columns = classify_ame_columns(exog_names, k, binary);
    AmeSums sums{Vector(packed_sums.begin(), packed_sums.begin() + static_cast<std::ptrdiff_t>(k)),
                 Matrix(k, k)};
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t c = 0; c < k; ++c) sums.g(r, c) = packed_sums[k + r * k + c];
    const std::vector<AmeRow> rows = ame_rows(sums, n, MatrixView(v), exog_names, columns, check_signals);
    PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AmeRow& r = rows[i];
        PyObject* item = check(Py_BuildValue("(s#ddddz)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
                                             r.dydx, r.std_err, r.z, r.p_value, r.significance.c_str()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// ---- the conversions of the in-memory entries -----------------------------

PyObject* one_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value"};
    auto slot = bind_arguments(function, names, 1, args, nargs, kwnames);
    return slot[0];
}

PyObject* u64_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return check(PyLong_FromUnsignedLongLong(to_u64(one_argument("to_u64", args, nargs, kwnames))));
}
PyObject* double_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return check(PyFloat_FromDouble(to_double(one_argument("to_double", args, nargs, kwnames))));
}
PyObject* bool_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return check(PyBool_FromLong(to_bool_exact(one_argument("to_bool", args, nargs, kwnames))));
}
PyObject* names_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return string_list(to_string_vector(one_argument("to_names", args, nargs, kwnames))).release();
}

template <PyObject* (*F)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding_boundary([&] { return F(args, nargs, kwnames); });
}

#define QUORVEL_KERNEL(name, fn, doc)                                                              \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<fn>)),             \
     METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef functions[] = {
    QUORVEL_KERNEL("fit_chunk", fit_chunk, "Log-likelihood, score and Hessian sums of one chunk."),
    QUORVEL_KERNEL("hc0_chunk", hc0_chunk, "HC0 meat sum of one chunk."),
    QUORVEL_KERNEL("cluster_chunk", cluster_chunk, "Per-cluster score sums of one chunk."),
    QUORVEL_KERNEL("ame_chunk", ame_chunk, "Marginal-effect sums of one chunk, both ways, and its 0/1 columns."),
    QUORVEL_KERNEL("newton", newton, "The fit's Newton iteration over a pass callback."),
    QUORVEL_KERNEL("covariance", covariance, "Classical covariance from the summed Hessian."),
    QUORVEL_KERNEL("sandwich", sandwich, "Sandwich covariance around a summed meat."),
    QUORVEL_KERNEL("ame_flags", ame_flags, "Intercept, binary and continuous columns."),
    QUORVEL_KERNEL("cluster_meat", cluster_meat_of, "Cluster-robust meat from chunk cluster sums."),
    QUORVEL_KERNEL("ame_check", ame_check, "Shape checks of the marginal effects."),
    QUORVEL_KERNEL("ame_rows", ame_rows_of, "Marginal-effects rows from summed sums."),
    QUORVEL_KERNEL("to_u64", u64_of, "Index protocol, then unsigned 64 bits."),
    QUORVEL_KERNEL("to_double", double_of, "Float protocol."),
    QUORVEL_KERNEL("to_bool", bool_of, "Exactly a bool."),
    QUORVEL_KERNEL("to_names", names_of, "A sequence of str, not a str."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel_dask._kernels",
    "Per-chunk kernels and driver steps of quorvel_dask.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvel::py

extern "C" PyMODINIT_FUNC PyInit__kernels(void) {
    using namespace quorvel::py;
    return binding_boundary([]() -> PyObject* {
        PyRef module = check_new(PyModule_Create2(&module_def, 1013));
        // The sums a pass can be asked for, as fit_chunk's flags.
        const std::pair<const char*, unsigned> flags[] = {
            {"LOGLIKE", quorvel::kLogLike}, {"SCORE", quorvel::kScore}, {"HESSIAN", quorvel::kHessian}, {"MEAT", quorvel::kMeat}};
        for (const auto& [name, value] : flags)
            if (PyModule_AddIntConstant(module.get(), name, static_cast<long>(value)) != 0) throw ErrorAlreadySet{};
        return module.release();
    });
}
