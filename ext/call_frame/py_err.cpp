// PyErr: creation, realisation, raising and fetching of the binding layer's error value.
#include "py_err.hpp"

#include "interpreter_check.hpp"
#include "interpreter_failure.hpp"
#include "panic_exception.hpp"

namespace quillora {

PyErr PyErr::with_text(PyObject* type, const char* text) noexcept { return PyErr(Deferred{type, text}); }

PyErr PyErr::with_message(PyObject* type, std::string message) noexcept {
    return PyErr(Deferred{type, std::move(message)});
}

PyErr PyErr::conversion(PyObject* object, const char* target) noexcept {
    return PyErr(
        Deferred{PyExc_TypeError, Conversion{Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target}});
}

PyErr PyErr::from_exception(Object exception) noexcept { return PyErr(std::move(exception)); }

namespace {

// The qualified name of a type as UTF-8, or the placeholder when it cannot be had.
std::string qualified_name(PyObject* type) noexcept {
    Object name = Object::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(text, size);
    }
    discard_pending_error();
    return "<failed to extract type name>";
}

Object text_object(std::string_view text) noexcept {
    PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!object) abort_after_interpreter_failure();
    return Object::steal(object);
}

}  // namespace

Object PyErr::make_argument(const Deferred& deferred) noexcept {
    struct {
        Object operator()(const char* text) const noexcept { return text_object(text); }
        Object operator()(const std::string& text) const noexcept { return text_object(text); }
        Object operator()(const Conversion& conversion) const noexcept {
            return text_object("'" + qualified_name(conversion.type.get()) + "' object cannot be converted to '" +
                               conversion.target + "'");
        }
    } visitor;
    return std::visit(visitor, deferred.argument);
}

void raise_to_interpreter(PyErr error) noexcept {
    if (auto* exception = std::get_if<Object>(&error.state_)) {
        PyErr_SetRaisedException(exception->release());
        return;
    }
    auto& deferred = std::get<PyErr::Deferred>(error.state_);
    Object type = Object::borrow(deferred.type);
    Object argument = PyErr::make_argument(deferred);
    PyErr_SetObject(type.get(), argument.get());
}

PyObject* PyErr::exception() noexcept {
    if (auto* deferred = std::get_if<Deferred>(&state_)) {
        check_interpreter_initialised();
        // Realising raises the error and takes the exception straight back; the interpreter
        // builds the exception object from the class and its one argument.
        raise_to_interpreter(PyErr(std::move(*deferred)));
        state_ = Object::steal(PyErr_GetRaisedException());
    }
    return std::get<Object>(state_).get();
}

Object PyErr::take_exception() noexcept {
    exception();
    return std::move(std::get<Object>(state_));
}

std::optional<PyErr> fetch_error() noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return std::nullopt;
    check_fetched_exception(exception);
    return PyErr::from_exception(Object::steal(exception));
}

PyErr fetch_error_or_system_error() noexcept {
    if (auto error = fetch_error()) return std::move(*error);
    return PyErr::with_text(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void discard_pending_error() noexcept { (void)fetch_error(); }

}  // namespace quillora
