// The pieces every entry point shares: lock release around a computation and the way out.
#pragma once

#include <Python.h>

#include "py_err.hpp"

namespace quillora {

// Runs `work` with the interpreter lock released. The work must touch no Python object.
template <class Work>
void run_without_lock(Work&& work) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(saved);
}

// The single place an entry point's failure is raised: None on success, NULL with the
// exception set otherwise.
inline PyObject* finish_call(Status outcome) noexcept {
    if (outcome.ok()) Py_RETURN_NONE;
    raise_to_interpreter(outcome.take_error());
    return nullptr;
}

inline PyErr value_error(const char* message) noexcept { return PyErr::with_text(PyExc_ValueError, message); }

}  // namespace quillora
