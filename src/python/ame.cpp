// ame(probit_model, chunk_size=...): average marginal effects as a pandas
// DataFrame.
#include <optional>
#include <utility>

#include "core/ame.hpp"
#include "lib/args.hpp"
#include "lib/boundary.hpp"
#include "lib/convert.hpp"
#include "python/entries.hpp"

namespace quorvel::py {
namespace {

CheckedArray require_attribute_array(PyObject* value, int ndim) {
    return require_float64_array(value, ndim, ArrayErrors::plain);
}

template <class Get>
PyRef float_column(const std::vector<AmeRow>& rows, Get get) {
    PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(get(rows[i]))));
    }
    return list;
}

PyRef text_column(const std::vector<AmeRow>& rows, std::string AmeRow::*field) {
    std::vector<std::string> texts;
    texts.reserve(rows.size());
    for (const AmeRow& row : rows) texts.push_back(row.*field);
    return string_list(texts);
}

void set_item(PyObject* dict, const char* key, const PyRef& value) {
    check_status(PyDict_SetItemString(dict, key, value.get()));
}

PyObject* table(const std::vector<AmeRow>& rows) {
    PyRef pandas = check_new(PyImport_ImportModule("pandas"));
    PyRef data = check_new(PyDict_New());
    set_item(data.get(), "dy/dx", float_column(rows, [](const AmeRow& r) { return r.dydx; }));
    set_item(data.get(), "Std. Err", float_column(rows, [](const AmeRow& r) { return r.std_err; }));
    set_item(data.get(), "z", float_column(rows, [](const AmeRow& r) { return r.z; }));
    set_item(data.get(), "Pr(>|z|)", float_column(rows, [](const AmeRow& r) { return r.p_value; }));
    set_item(data.get(), "Significance", text_column(rows, &AmeRow::significance));

    PyRef kwargs = check_new(PyDict_New());
    set_item(kwargs.get(), "data", data);
    set_item(kwargs.get(), "index", text_column(rows, &AmeRow::name));

    PyRef frame_type = check_new(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    PyRef no_args = check_new(PyTuple_New(0));
    return check(PyObject_Call(frame_type.get(), no_args.get(), kwargs.get()));
}

PyObject* marginal_effects(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"probit_model", "chunk_size"};
    auto slot = bind_arguments("ame", names, 1, args, nargs, kwnames);
    PyObject* results = slot[0];

    std::optional<std::uint64_t> chunk_size;
    if (slot[1] != nullptr) {
        chunk_size = convert_argument("chunk_size", [&] { return to_u64(slot[1]); });
        if (*chunk_size == 0) raise(PyExc_ValueError, "chunk_size must be a positive number of rows, got 0");
    }

    // Each value is checked as soon as it is read.  Python code runs between
    // the reads (properties, cov_params, iterating the names) and could
    // reshape an array already read, so the views over the arrays' memory are
    // taken, with the checks repeated, only once no more Python code can run.
    PyRef params = check_new(PyObject_GetAttrString(results, "params"));
    require_attribute_array(params.get(), 1);

    PyRef cov = check_new(PyObject_CallMethod(results, "cov_params", nullptr));
    require_attribute_array(cov.get(), 2);

    PyRef model = check_new(PyObject_GetAttrString(results, "model"));
    PyRef names_object = check_new(PyObject_GetAttrString(model.get(), "exog_names"));
    std::vector<std::string> exog_names = to_string_vector(names_object.get());

    PyRef model_again = check_new(PyObject_GetAttrString(results, "model"));
    PyRef exog = check_new(PyObject_GetAttrString(model_again.get(), "exog"));
    require_attribute_array(exog.get(), 2);

    const CheckedArray params_checked = require_attribute_array(params.get(), 1);
    const CheckedArray cov_checked = require_attribute_array(cov.get(), 2);
    const CheckedArray exog_checked = require_attribute_array(exog.get(), 2);
    // The checks themselves may run Python code; so do the signal handlers
    // run between blocks of rows.  Before the views are first read, and after
    // every such run, each array must still be as captured.
    const auto require_unchanged = [&] {
        params_checked.require_unchanged("params");
        cov_checked.require_unchanged("cov_params()");
        exog_checked.require_unchanged("exog");
    };
    require_unchanged();
    const VectorView beta = params_checked.vector();
    const MatrixView v = cov_checked.matrix();
    const MatrixView x = exog_checked.matrix();
    const Interrupt interrupt = [&] {
        check_signals();
        require_unchanged();
    };

    // Without a chunk size all rows form one block; with no rows there is no
    // block at all, and any positive size does.
    std::uint64_t block = chunk_size ? *chunk_size : static_cast<std::uint64_t>(x.rows);
    if (block == 0) block = 1;

    std::vector<AmeRow> rows = compute_ame(beta, v, x, exog_names, block, interrupt);
    return table(rows);
}

}  // namespace

PyObject* ame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding_boundary([&] { return marginal_effects(args, nargs, kwnames); });
}

}  // namespace quorvel::py
