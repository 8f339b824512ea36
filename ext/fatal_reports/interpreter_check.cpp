// The check that the interpreter is up.
#include "interpreter_check.hpp"

#include <Python.h>

#include <atomic>

#include "fatal_report.hpp"

namespace quillora {

void check_interpreter_initialised() noexcept {
    static std::atomic<bool> checked{false};
    if (checked.exchange(true)) return;
    if (Py_IsInitialized() == 0) {
        panic(
            "assertion `left != right` failed: The Python interpreter is not initialized and the "
            "`auto-initialize` feature is not enabled.\n\n"
            "Consider calling `pyo3::prepare_freethreaded_python()` before attempting to use Python APIs.\n"
            "  left: 0\n"
            " right: 0");
    }
}

}  // namespace quillora
