// Interned attribute names, created on first use and kept for the life of the process.
#pragma once

#include <Python.h>

namespace quillora {

PyObject* interned_dunder_name() noexcept;  // "__name__"
PyObject* interned_dunder_all() noexcept;   // "__all__"

}  // namespace quillora
