// PanicException: the exception type of a fatal failure seen from Python.
#pragma once

#include <Python.h>

namespace quillora {

// The type "pyo3_runtime.PanicException" (borrowed), created on first use and kept for the life
// of the process. It is not an attribute of the module.
PyObject* panic_exception_type() noexcept;

// Called with every exception object the module takes from the interpreter: an exception of
// exactly the PanicException type is printed with its traceback and ends the process.
void check_fetched_exception(PyObject* exception) noexcept;

}  // namespace quillora
