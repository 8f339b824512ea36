// Argument naming for conversion failures.
#include "argument_error.hpp"

#include <string>

#include "display_text.hpp"

namespace quillora {

PyErr wrap_argument_error(const char* name, PyErr error) noexcept {
    PyObject* original = error.exception();
    if (reinterpret_cast<PyObject*>(Py_TYPE(original)) != PyExc_TypeError) return error;
    PyErr renamed =
        PyErr::with_message(PyExc_TypeError, "argument '" + std::string(name) + "': " + display_text(original));
    // The new error takes the original's cause, not the original itself; the original goes away
    // with its traceback and context.
    PyException_SetCause(renamed.exception(), PyException_GetCause(original));
    return renamed;
}

}  // namespace quillora
