// NumPy's C API, reached at run time through the _ARRAY_API capsule of its multiarray module.
#pragma once

#include <Python.h>

#include <cstdint>

#include "numpy_headers.hpp"
#include "py_err.hpp"

namespace quillora {

// The entries of NumPy's API table that the module uses, by their published slot numbers.
class ArrayApi {
public:
    explicit ArrayApi(void** table) noexcept : table_(table) {}

    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table_[2]); }
    // New reference to the descriptor of a built-in type number, or null.
    PyArray_Descr* descr_from_type(int type_number) const noexcept {
        return reinterpret_cast<PyArray_Descr* (*)(int)>(table_[45])(type_number);
    }
    bool equivalent_types(PyArray_Descr* first, PyArray_Descr* second) const noexcept {
        return reinterpret_cast<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(table_[182])(first, second) != 0;
    }
    unsigned int feature_version() const noexcept { return reinterpret_cast<unsigned int (*)()>(table_[211])(); }

private:
    void** table_;
};

// "numpy._core.multiarray" for NumPy 2 and later, "numpy.core.multiarray" before; computed once.
Result<const char*> multiarray_module_name() noexcept;

// NumPy's API table; computed once, its capsule kept alive for the rest of the process.
Result<ArrayApi> array_api() noexcept;

// The API table, with a failure to reach it turned into the ImportError that users see.
Result<ArrayApi> array_api_or_import_error() noexcept;

// NumPy's C feature version (descriptor layouts changed at 18); computed once.
unsigned int feature_version(const ArrayApi& api) noexcept;

}  // namespace quillora
