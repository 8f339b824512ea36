// The readable form of a PyErr: reprs of the exception's type and value and its formatted traceback.
#include "readable_form.hpp"

#include <cstdio>

#include "interpreter_check.hpp"

namespace quillora {
namespace {

// The UTF-8 text of a str, or nothing (the failure discarded).
std::optional<std::string> utf8_text(const Object& text) noexcept {
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!data) {
        discard_pending_error();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_text(PyObject* object) noexcept {
    return utf8_text(Object::steal(PyObject_Repr(object))).value_or("<unprintable object>");
}

// The traceback as the interpreter prints it, written into an io.StringIO.
std::optional<std::string> formatted_traceback(PyObject* traceback) noexcept {
    Object io_name = Object::steal(PyUnicode_FromString("io"));
    Object io = io_name ? Object::steal(PyImport_Import(io_name.get())) : Object();
    Object string_io_class = io ? Object::steal(PyObject_GetAttrString(io.get(), "StringIO")) : Object();
    Object sink = string_io_class ? Object::steal(PyObject_CallNoArgs(string_io_class.get())) : Object();
    if (!sink || PyTraceBack_Print(traceback, sink.get()) != 0) {
        discard_pending_error();
        return std::nullopt;
    }
    return utf8_text(Object::steal(PyObject_CallMethod(sink.get(), "getvalue", nullptr)));
}

// Quotes and escapes text the way a debug dump of a string reads: in double quotes, with
// backslash escapes for quotes, backslashes and control characters.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string readable_form(PyErr& error) noexcept {
    check_interpreter_initialised();
    PyGILState_STATE lock = PyGILState_Ensure();  // a no-op when the thread holds the lock already
    PyObject* exception = error.exception();
    std::string text = "PyErr { type: " + repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception))) +
                       ", value: " + repr_text(exception) + ", traceback: ";
    Object traceback = Object::steal(PyException_GetTraceback(exception));
    if (!traceback) {
        text += "None";
    } else {
        text += "Some(" + quoted(formatted_traceback(traceback.get()).value_or("<traceback unavailable>")) + ")";
    }
    PyGILState_Release(lock);
    return text + " }";
}

PyErr error_with_readable_cause(PyObject* type, std::string_view text, PyErr cause) noexcept {
    PyErr error = PyErr::with_message(type, std::string(text) + ": " + readable_form(cause));
    PyException_SetCause(error.exception(), cause.take_exception().release());
    return error;
}

}  // namespace quillora
