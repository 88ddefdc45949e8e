#include "lib/convert.hpp"

#include <new>
#include <utility>

#include "lib/numpy_api.hpp"

namespace quorvel::py {

std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    std::string message = "'" + type_name(obj) + "' object cannot be converted to '" + target + "'";
    raise(PyExc_TypeError, message.c_str());
}

std::uint64_t to_u64(PyObject* obj) {
    PyRef index = check_new(PyNumber_Index(obj));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return static_cast<std::uint64_t>(value);
}

double to_double(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return value;
}

bool to_bool_exact(PyObject* obj) {
    if (!PyBool_Check(obj)) raise_cannot_convert(obj, "PyBool");
    return obj == Py_True;
}

CheckedArray::CheckedArray(PyArrayObject* array)
    : array_(PyRef::borrow(reinterpret_cast<PyObject*>(array))),
      descr_(PyRef::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(array)))),
      data_(PyArray_BYTES(array)),
      ndim_(PyArray_NDIM(array)) {
    if (ndim_ < 1 || ndim_ > 2) throw InternalError("CheckedArray: only 1-D and 2-D arrays are captured");
    for (int d = 0; d < ndim_; ++d) {
        dims_[d] = PyArray_DIM(array, d);
        strides_[d] = PyArray_STRIDE(array, d);
    }
}

bool CheckedArray::unchanged() const noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    if (PyArray_NDIM(array) != ndim_ || PyArray_BYTES(array) != data_ ||
        reinterpret_cast<PyObject*>(PyArray_DESCR(array)) != descr_.get()) {
        return false;
    }
    for (int d = 0; d < ndim_; ++d) {
        if (PyArray_DIM(array, d) != dims_[d] || PyArray_STRIDE(array, d) != strides_[d]) return false;
    }
    return true;
}

void CheckedArray::require_unchanged(const char* what) const {
    if (unchanged()) return;
    PyErr_Format(PyExc_ValueError, "%s was modified during the call", what);
    throw ErrorAlreadySet{};
}

VectorView CheckedArray::vector() const {
    if (ndim_ != 1) throw InternalError("CheckedArray: vector view of a 2-D array");
    return VectorView(data_, static_cast<std::size_t>(dims_[0]), strides_[0]);
}

MatrixView CheckedArray::matrix() const {
    if (ndim_ != 2) throw InternalError("CheckedArray: matrix view of a 1-D array");
    return MatrixView(data_, static_cast<std::size_t>(dims_[0]), static_cast<std::size_t>(dims_[1]),
                      strides_[0], strides_[1]);
}

CheckedArray require_float64_array(PyObject* obj, int ndim, ArrayErrors errors) {
    ensure_numpy();  // may import, which runs Python code: before anything is captured
    if (!PyArray_Check(obj)) raise_cannot_convert(obj, "PyArray<T, D>");
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) {
        if (errors == ArrayErrors::plain) raise_cannot_convert(obj, "PyArray<T, D>");
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(array),
                     ndim);
        throw ErrorAlreadySet{};
    }
    CheckedArray checked(array);
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) throw ErrorAlreadySet{};
    // The test runs on the captured dtype object: if it runs Python code that
    // changes the array, unchanged() fails afterwards.
    bool equivalent = PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(checked.descr()),
                                         reinterpret_cast<PyArray_Descr*>(float64.get())) != 0;
    if (!equivalent) {
        if (errors == ArrayErrors::plain) raise_cannot_convert(obj, "PyArray<T, D>");
        PyRef dtype = check_new(PyObject_Str(checked.descr()));
        PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=float64", dtype.get());
        throw ErrorAlreadySet{};
    }
    return checked;
}

std::optional<CheckedArray> plain_float64_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return std::nullopt;
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) throw ErrorAlreadySet{};
    if (reinterpret_cast<PyObject*>(PyArray_DESCR(array)) != float64.get()) return std::nullopt;
    return CheckedArray(array);
}

namespace {

constexpr const char* kStorageCapsule = "quorvel.storage";

template <class Storage>
void free_storage(PyObject* capsule) noexcept {
    delete static_cast<Storage*>(PyCapsule_GetPointer(capsule, kStorageCapsule));
}

template <class Storage>
PyRef new_array(Storage&& storage, int nd, npy_intp* dims) {
    ensure_numpy();
    if (storage.empty()) {
        // Nothing to hand over: NumPy allocates (and owns) the empty buffer.
        return check_new(PyArray_ZEROS(nd, dims, NPY_DOUBLE, 0));
    }
    auto* owned = new Storage(std::move(storage));
    PyRef capsule = PyRef::steal(PyCapsule_New(owned, kStorageCapsule, free_storage<Storage>));
    if (!capsule) {
        delete owned;
        throw ErrorAlreadySet{};
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (descr == nullptr) throw ErrorAlreadySet{};
    // Steals descr; the array points into the capsule's vector.
    PyRef array = check_new(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, owned->data(),
                                                 NPY_ARRAY_CARRAY, nullptr));
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
    return array;
}

}  // namespace

PyRef new_array_1d(Vector&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return new_array(std::move(values), 1, dims);
}

PyRef new_array_2d(Matrix&& values) {
    npy_intp dims[2] = {static_cast<npy_intp>(values.rows()), static_cast<npy_intp>(values.cols())};
    return new_array(std::move(values.storage()), 2, dims);
}

PyRef string_list(const std::vector<std::string>& texts) {
    PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = check(PyUnicode_FromStringAndSize(texts[i].data(),
                                                           static_cast<Py_ssize_t>(texts[i].size())));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list;
}

std::vector<std::string> to_string_vector(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    std::vector<std::string> texts;
    // The length is only a capacity hint: a failing query is ignored, and a
    // large one (a __len__ can claim anything) reserves no more than a few
    // thousand entries; iteration decides the count.
    constexpr Py_ssize_t kMaxReserve = 4096;
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        texts.reserve(static_cast<std::size_t>(hint < kMaxReserve ? hint : kMaxReserve));
    }
    PyRef iterator = check_new(PyObject_GetIter(obj));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) raise_cannot_convert(item.get(), "PyString");
        Py_ssize_t size = 0;
        const char* text = check(PyUnicode_AsUTF8AndSize(item.get(), &size));
        texts.emplace_back(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    return texts;
}

}  // namespace quorvel::py
