// The module object: creation, the once-per-process guard and the
// registration of the two entry functions.
#include <atomic>

#include "lib/boundary.hpp"
#include "lib/convert.hpp"
#include "python/entries.hpp"

namespace quorvel::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel",
    "Fast maximum-likelihood probit models with robust covariances and average marginal effects.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The functions, registered in this order.
PyMethodDef functions[] = {
    {"ame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ame)),
     METH_FASTCALL | METH_KEYWORDS,
     "ame(probit_model, chunk_size=...)\n--\n\n"
     "Calculates Average Marginal Effects (AME) for a Probit model"},
    {"fit_probit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fit_probit)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)\n--\n\n"},
};

std::atomic<bool> initialized{false};

// Creates the function object bound to the module, appends its name to
// __all__ (creating the list on first use) and sets the attribute.
void register_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = check(PyModule_GetName(module));
    PyRef name_object = check_new(PyUnicode_FromString(module_name));
    PyRef function = check_new(PyCMethod_New(def, module, name_object.get(), nullptr));
    PyRef name = check_new(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) raise_cannot_convert(name.get(), "PyString");

    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        all = check_new(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) raise(PyExc_TypeError, "__all__ must be a list");
    check_status(PyList_Append(all.get(), name.get()));
    check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

}  // namespace
}  // namespace quorvel::py

extern "C" PyMODINIT_FUNC PyInit_quorvel(void) {
    using namespace quorvel::py;
    return binding_boundary([]() -> PyObject* {
        PyRef module = check_new(PyModule_Create2(&module_def, 1013));
        if (initialized.exchange(true)) {
            raise(PyExc_ImportError,
                  "quorvel: extension modules may only be initialized once per interpreter process");
        }
        for (PyMethodDef& def : functions) register_function(module.get(), &def);
        return module.release();
    });
}
