// PanicException: its type, the check on fetched exceptions, and the fatal failures that need
// the interpreter (an error's readable form, a failed interpreter call).
#include "panic_exception.hpp"

#include <atomic>
#include <cstdlib>
#include <string>

#include "fatal_report.hpp"
#include "once_cell.hpp"
#include "readable_form.hpp"
#include "stack_trace.hpp"

namespace quillora {
namespace {

constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

ObjectCell panic_exception_cell;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_exception_cell.get()) return type;
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                                  PyExc_BaseException, nullptr);
    if (!created) {
        // Not through fetch_error: its check would ask for this very type again.
        PyObject* pending = PyErr_GetRaisedException();
        abort_with_error("Failed to initialize new exception type.",
                         pending ? PyErr::from_exception(Object::steal(pending))
                                 : PyErr::with_text(PyExc_SystemError,
                                                    "attempted to fetch exception but none was set"));
    }
    return panic_exception_cell.set_or_get(Object::steal(created));
}

void check_fetched_exception(PyObject* exception) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) != panic_exception_type()) return;
    write_to_stderr({"--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
                     "Python stack trace below:\n"});
    PyErr_SetRaisedException(Py_NewRef(exception));
    PyErr_PrintEx(0);
    std::abort();
}

void abort_with_error(std::string_view text, PyErr error, std::source_location location) noexcept {
    panic(std::string(text) + ": " + readable_form(error), location);
}

void abort_after_interpreter_failure(std::source_location location) noexcept {
    PyErr_Print();
    panic("Python API call failed", location);
}

void check_interpreter_initialised() noexcept {
    static std::atomic<bool> checked{false};
    if (checked.exchange(true)) return;
    if (Py_IsInitialized() == 0) {
        panic("assertion `left != right` failed: The Python interpreter is not initialized and the "
              "`auto-initialize` feature is not enabled.\n\n"
              "Consider calling `pyo3::prepare_freethreaded_python()` before attempting to use Python APIs.\n"
              "  left: 0\n"
              " right: 0");
    }
}

}  // namespace quillora
