// NumPy's C headers, for struct layouts and constants only: no NumPy function is linked or
// called through them; calls go through ArrayApi.
#pragma once

#include <Python.h>

#include <numpy/ndarraytypes.h>

namespace quillora {

// The fields of an array object, as the headers lay them out.
inline PyArrayObject_fields* array_fields(PyArrayObject* array) noexcept {
    return reinterpret_cast<PyArrayObject_fields*>(array);
}
inline PyArrayObject_fields* array_fields(PyObject* array) noexcept {
    return reinterpret_cast<PyArrayObject_fields*>(array);
}

}  // namespace quillora
