// Array parameters: acceptance, taking and releasing, views and contiguity.
#include "arrays.hpp"

#include <string>

#include "fatal_report.hpp"
#include "numpy_api.hpp"
#include "once_cell.hpp"

namespace quillora {
namespace {

constexpr const char* array_target = "PyArray<T, D>";

OnceCell<PyArray_Descr> float64_cell;

// NumPy's own float64 descriptor, fetched once and kept: the usual array's descriptor is this
// very object, which settles the test without a call into NumPy.
PyArray_Descr* float64_descriptor(const ArrayApi& api) noexcept {
    if (PyArray_Descr* descr = float64_cell.get()) return descr;
    PyArray_Descr* fetched = api.descr_from_type(NPY_DOUBLE);
    if (!fetched) panic("called `Option::unwrap()` on a `None` value");
    PyArray_Descr* kept = float64_cell.set_or_get(fetched);
    if (kept != fetched) Py_DECREF(reinterpret_cast<PyObject*>(fetched));
    return kept;
}

// An ndarray or subclass with one dimension whose descriptor NumPy deems equivalent to float64.
bool is_float64_vector(const ArrayApi& api, PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if (type != api.array_type() && !PyType_IsSubtype(type, api.array_type())) return false;
    auto* array = array_fields(object);
    if (array->nd != 1) return false;
    if (!array->descr) panic("called `Option::unwrap()` on a `None` value");
    PyArray_Descr* float64 = float64_descriptor(api);
    if (array->descr == float64) return true;
    Object descr = Object::borrow(reinterpret_cast<PyObject*>(array->descr));  // held across NumPy's comparison
    return api.equivalent_types(reinterpret_cast<PyArray_Descr*>(descr.get()), float64);
}

Result<PyArrayObject*> accept(PyObject* object) noexcept {
    auto api = array_api_or_import_error();
    if (!api.ok()) return api.take_error();
    if (!is_float64_vector(api.value(), object)) return PyErr::conversion(object, array_target);
    return reinterpret_cast<PyArrayObject*>(object);
}

}  // namespace

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

void InputArray::release() noexcept {
    release_shared_borrow(array_, borrow_);
    Py_DECREF(reinterpret_cast<PyObject*>(std::exchange(array_, nullptr)));
}

Result<PyArrayObject*> take_output_array(PyObject* object) noexcept { return accept(object); }

Status check_still_accepted(PyArrayObject* array) noexcept {
    // The usual array is unchanged: one dimension and NumPy's own float64 descriptor. Its type
    // needs no second look: __class__ can only move to a type of the same layout, an ndarray one.
    const PyArrayObject_fields* fields = array_fields(array);
    if (fields->nd == 1 && fields->descr == float64_cell.get()) return Status::success();
    auto accepted = accept(reinterpret_cast<PyObject*>(array));
    if (!accepted.ok()) return accepted.take_error();
    return Status::success();
}

PyErr read_only_error(const char* parameter) noexcept {
    return PyErr::with_message(PyExc_ValueError,
                               "argument '" + std::string(parameter) + "': output array is read-only");
}

}  // namespace quillora
