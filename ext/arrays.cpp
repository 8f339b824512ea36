// Array parameters: acceptance, taking and releasing, views and contiguity.
#include "arrays.hpp"

#include "borrow_table.hpp"
#include "fatal_report.hpp"
#include "numpy_api.hpp"

namespace quillora {
namespace {

constexpr const char* array_target = "PyArray<T, D>";

// An ndarray or subclass with one dimension whose descriptor NumPy deems equivalent to float64.
bool is_float64_vector(const ArrayApi& api, PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if (type != api.array_type() && !PyType_IsSubtype(type, api.array_type())) return false;
    auto* array = array_fields(object);
    if (array->nd != 1) return false;
    if (!array->descr) panic("called `Option::unwrap()` on a `None` value");
    Object descr = Object::borrow(reinterpret_cast<PyObject*>(array->descr));
    Object float64 = Object::steal(reinterpret_cast<PyObject*>(api.descr_from_type(NPY_DOUBLE)));
    if (!float64) panic("called `Option::unwrap()` on a `None` value");
    return descr.get() == float64.get() ||
           api.equivalent_types(reinterpret_cast<PyArray_Descr*>(descr.get()),
                                reinterpret_cast<PyArray_Descr*>(float64.get()));
}

Result<PyArrayObject*> accept(PyObject* object) noexcept {
    auto api = array_api_or_import_error();
    if (!api.ok()) return api.take_error();
    if (!is_float64_vector(api.value(), object)) return PyErr::conversion(object, array_target);
    return reinterpret_cast<PyArrayObject*>(object);
}

}  // namespace

ArrayView make_view(PyArrayObject* array) noexcept {
    auto* f = array_fields(array);
    return {f->data, static_cast<std::uint64_t>(f->dimensions[0]), static_cast<std::int64_t>(f->strides[0])};
}

bool is_contiguous(const ArrayView& view) noexcept {
    return view.length < 2 || view.stride == static_cast<std::int64_t>(sizeof(double));
}

Result<InputArray> take_input_array(PyObject* object) noexcept {
    auto accepted = accept(object);
    if (!accepted.ok()) return accepted.take_error();
    PyArrayObject* array = accepted.value();
    Py_INCREF(object);
    auto borrow = register_shared_borrow(array);
    if (!borrow.ok()) {
        Py_DECREF(object);
        return borrow.take_error();
    }
    return InputArray(array, borrow.value());
}

InputArray::~InputArray() {
    if (!array_) return;
    release_shared_borrow(array_, borrow_);
    Py_DECREF(reinterpret_cast<PyObject*>(array_));
}

Result<PyArrayObject*> take_output_array(PyObject* object) noexcept { return accept(object); }

Status check_still_accepted(PyArrayObject* array) noexcept {
    auto accepted = accept(reinterpret_cast<PyObject*>(array));
    if (!accepted.ok()) return accepted.take_error();
    return Status::success();
}

Status check_writeable(const char* parameter, PyArrayObject* output) noexcept {
    if (array_fields(output)->flags & NPY_ARRAY_WRITEABLE) return Status::success();
    return PyErr::with_message(PyExc_ValueError,
                               "argument '" + std::string(parameter) + "': output array is read-only");
}

}  // namespace quillora
