// PyErr: the error value of the binding layer, and the result types that carry it.
//
// Every fallible step returns its failure as a PyErr instead of raising it; only an entry point
// (or module initialisation) hands it to the interpreter, exactly once. A PyErr is either
// deferred (a built-in exception class and the material of its single argument, nothing created
// in the interpreter yet) or realised (an exception object taken from the interpreter).
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "object.hpp"

namespace quillora {

class [[nodiscard]] PyErr {
public:
    // Deferred, with a fixed text as the argument. `type` is a built-in exception class.
    static PyErr with_text(PyObject* type, const char* text) noexcept;
    // Deferred, with an owned text as the argument.
    static PyErr with_message(PyObject* type, std::string message) noexcept;
    // The deferred TypeError for an object of the wrong kind: "'<type>' object cannot be
    // converted to '<target>'". Holds the object's type; the text is made only when needed.
    static PyErr conversion(PyObject* object, const char* target) noexcept;
    // Realised, from an exception object taken out of the interpreter.
    static PyErr from_exception(Object exception) noexcept;

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;

    // The exception object (borrowed), realising a deferred error first.
    PyObject* exception() noexcept;
    // Hands over the exception object, realising a deferred error first.
    Object take_exception() noexcept;

    friend void raise_to_interpreter(PyErr error) noexcept;

private:
    struct Conversion {
        Object type;
        const char* target;
    };
    struct Deferred {
        PyObject* type;
        std::variant<const char*, std::string, Conversion> argument;
    };

    explicit PyErr(Deferred deferred) noexcept : state_(std::move(deferred)) {}
    explicit PyErr(Object exception) noexcept : state_(std::move(exception)) {}

    static Object make_argument(const Deferred& deferred) noexcept;

    std::variant<Deferred, Object> state_;
};

// Makes the error the interpreter's pending exception.
void raise_to_interpreter(PyErr error) noexcept;

// Takes the pending exception out of the interpreter, if there is one. Every exception the
// module takes passes the PanicException check here.
std::optional<PyErr> fetch_error() noexcept;

// After an interpreter call reported failure: the pending exception, or the SystemError that
// says none was set.
PyErr fetch_error_or_system_error() noexcept;

// Takes and drops a pending exception whose failure the caller has chosen to ignore.
void discard_pending_error() noexcept;

// The outcome of a step without a value.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(PyErr error) noexcept : error_(std::move(error)) {}
    static Status success() noexcept { return {}; }

    bool ok() const noexcept { return !error_.has_value(); }
    PyErr take_error() noexcept { return std::move(*error_); }

private:
    std::optional<PyErr> error_;
};

// A value or the PyErr that stands in its place.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
    Result(PyErr error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() noexcept { return std::get<0>(state_); }
    PyErr take_error() noexcept { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, PyErr> state_;
};

}  // namespace quillora
