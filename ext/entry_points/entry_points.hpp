// The module's four functions, in the fast-call-with-keywords shape.
#pragma once

#include <Python.h>

namespace quillora {

PyObject* indicator_sma(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* indicator_ema(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* indicator_macd(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* indicator_atr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace quillora
