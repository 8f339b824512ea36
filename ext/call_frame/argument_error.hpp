// Naming the argument in the error of a failed parameter conversion.
#pragma once

#include "py_err.hpp"

namespace quillora {

// A TypeError (exactly; not a subclass) becomes "argument '<name>': <its message>", keeping its
// __cause__; any other error is returned unchanged.
PyErr wrap_argument_error(const char* name, PyErr error) noexcept;

}  // namespace quillora
