// PanicException: its type and the check on fetched exceptions.
#include "panic_exception.hpp"

#include <cstdlib>

#include "interpreter_failure.hpp"
#include "once_cell.hpp"
#include "report_writer.hpp"

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
    PyObject* created =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
    if (!created) {
        // Not through fetch_error: its check would ask for this very type again.
        PyObject* pending = PyErr_GetRaisedException();
        abort_with_error("Failed to initialize new exception type.",
                         pending
                             ? PyErr::from_exception(Object::steal(pending))
                             : PyErr::with_text(PyExc_SystemError, "attempted to fetch exception but none was set"));
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

}  // namespace quillora
