#include "python/results.hpp"

#include <new>
#include <string>
#include <utility>

#include "lib/boundary.hpp"
#include "lib/convert.hpp"

namespace quorvel::py {
namespace {

struct ModelObject {
    PyObject_HEAD
    std::vector<std::string> exog_names;
    PyObject* exog;
    PyObject* endog;
};

struct ResultsObject {
    PyObject_HEAD
    std::vector<std::string> exog_names;
    PyObject* exog;
    PyObject* endog;
    PyObject* params;
    PyObject* cov;
    double loglike;
    std::uint64_t iterations;
    bool converged;
};

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    return binding_boundary([]() -> PyObject* { raise(PyExc_TypeError, "No constructor defined"); });
}

// Frees an instance of a heap type and drops the reference the instance held
// on its type.
void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Allocates an instance of a heap type (the allocation takes a reference to
// the type).
template <class T>
T* allocate_instance(PyTypeObject* type) {
    PyObject* obj = check(type->tp_alloc(type, 0));
    return reinterpret_cast<T*>(obj);
}

PyTypeObject* create_type(PyType_Spec* spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) {
        PyErr_Clear();
        throw InternalError(std::string("failed to create type object for ") + class_name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_reference(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

// ---- KovaProbitModel -------------------------------------------------------

void model_dealloc(PyObject* self) noexcept {
    auto* m = reinterpret_cast<ModelObject*>(self);
    m->exog_names.~vector();
    Py_XDECREF(m->exog);
    Py_XDECREF(m->endog);
    free_instance(self);
}

PyObject* model_get_exog(PyObject* self, void*) {
    return binding_boundary([&] { return new_reference(reinterpret_cast<ModelObject*>(self)->exog); });
}

PyObject* model_get_endog(PyObject* self, void*) {
    return binding_boundary([&] { return new_reference(reinterpret_cast<ModelObject*>(self)->endog); });
}

PyObject* model_get_exog_names(PyObject* self, void*) {
    return binding_boundary(
        [&] { return string_list(reinterpret_cast<ModelObject*>(self)->exog_names).release(); });
}

PyGetSetDef model_getset[] = {
    {"exog", model_get_exog, nullptr, nullptr, nullptr},
    {"endog", model_get_endog, nullptr, nullptr, nullptr},
    {"exog_names", model_get_exog_names, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

PyType_Spec model_spec = {
    "builtins.KovaProbitModel", sizeof(ModelObject), 0, Py_TPFLAGS_DEFAULT, model_slots,
};

PyTypeObject* model_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(&model_spec, "KovaProbitModel");
    return type;
}

PyRef new_model(const std::vector<std::string>& names, PyObject* exog, PyObject* endog) {
    std::vector<std::string> copy = names;  // before allocating: nothing to undo if it fails
    ModelObject* m = allocate_instance<ModelObject>(model_type());
    new (&m->exog_names) std::vector<std::string>(std::move(copy));
    m->exog = new_reference(exog);
    m->endog = new_reference(endog);
    return PyRef::steal(reinterpret_cast<PyObject*>(m));
}

// ---- KovaProbitResults -----------------------------------------------------

ResultsObject* as_results(PyObject* self) { return reinterpret_cast<ResultsObject*>(self); }

void results_dealloc(PyObject* self) noexcept {
    ResultsObject* r = as_results(self);
    r->exog_names.~vector();
    Py_XDECREF(r->exog);
    Py_XDECREF(r->endog);
    Py_XDECREF(r->params);
    Py_XDECREF(r->cov);
    free_instance(self);
}

PyObject* results_get_params(PyObject* self, void*) {
    return binding_boundary([&] { return new_reference(as_results(self)->params); });
}

PyObject* results_cov_params(PyObject* self, PyObject*) {
    return binding_boundary([&] { return new_reference(as_results(self)->cov); });
}

PyObject* results_get_model(PyObject* self, void*) {
    return binding_boundary([&] {
        ResultsObject* r = as_results(self);
        return new_model(r->exog_names, r->exog, r->endog).release();
    });
}

PyObject* results_get_loglike(PyObject* self, void*) {
    return binding_boundary([&] { return PyFloat_FromDouble(as_results(self)->loglike); });
}

PyObject* results_get_iterations(PyObject* self, void*) {
    return binding_boundary([&] {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(as_results(self)->iterations));
    });
}

PyObject* results_get_converged(PyObject* self, void*) {
    return binding_boundary([&] { return PyBool_FromLong(as_results(self)->converged ? 1 : 0); });
}

PyGetSetDef results_getset[] = {
    {"params", results_get_params, nullptr, nullptr, nullptr},
    {"model", results_get_model, nullptr, nullptr, nullptr},
    {"loglike", results_get_loglike, nullptr, nullptr, nullptr},
    {"iterations", results_get_iterations, nullptr, nullptr, nullptr},
    {"converged", results_get_converged, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef results_methods[] = {
    {"cov_params", results_cov_params, METH_NOARGS, "cov_params($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot results_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(results_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_getset, results_getset},
    {Py_tp_methods, results_methods},
    {0, nullptr},
};

PyType_Spec results_spec = {
    "builtins.KovaProbitResults", sizeof(ResultsObject), 0, Py_TPFLAGS_DEFAULT, results_slots,
};

PyTypeObject* results_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(&results_spec, "KovaProbitResults");
    return type;
}

}  // namespace

PyRef new_results(ResultRecord&& record) {
    ResultsObject* r = allocate_instance<ResultsObject>(results_type());
    new (&r->exog_names) std::vector<std::string>(std::move(record.exog_names));
    r->exog = record.exog.release();
    r->endog = record.endog.release();
    r->params = record.params.release();
    r->cov = record.cov.release();
    r->loglike = record.loglike;
    r->iterations = record.iterations;
    r->converged = record.converged;
    return PyRef::steal(reinterpret_cast<PyObject*>(r));
}

}  // namespace quorvel::py
