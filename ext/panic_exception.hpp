// PanicException and the fatal failures that involve the interpreter.
#pragma once

#include <Python.h>

#include <source_location>
#include <string_view>

#include "py_err.hpp"

namespace quillora {

// The type "pyo3_runtime.PanicException" (borrowed), created on first use and kept for the life
// of the process. It is not an attribute of the module.
PyObject* panic_exception_type() noexcept;

// Called with every exception object the module takes from the interpreter: an exception of
// exactly the PanicException type is printed with its traceback and ends the process.
void check_fetched_exception(PyObject* exception) noexcept;

// A fatal failure whose message is `text` + ": " + the readable form of `error`.
[[noreturn]] void abort_with_error(std::string_view text, PyErr error,
                                   std::source_location location = std::source_location::current()) noexcept;

// Prints the pending exception, then ends the process with "Python API call failed".
[[noreturn]] void abort_after_interpreter_failure(
    std::source_location location = std::source_location::current()) noexcept;

// The first time the module takes the interpreter lock on its own, checks once that the
// interpreter is initialised; a finalising interpreter ends the process.
void check_interpreter_initialised() noexcept;

}  // namespace quillora
