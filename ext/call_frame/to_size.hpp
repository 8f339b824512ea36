// Conversion of integer parameters to unsigned 64-bit values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_err.hpp"

namespace quillora {

// Accepts int (and subclasses, bool included) and anything with __index__; negative values and
// values of 2**64 and above fail with the interpreter's OverflowError.
Result<std::uint64_t> to_size(PyObject* object) noexcept;

}  // namespace quillora
