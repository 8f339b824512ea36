// The readable form of a PyErr, for fatal reports and for messages that wrap another error.
#pragma once

#include <string>
#include <string_view>

#include "py_err.hpp"

namespace quillora {

// "PyErr { type: <repr of type>, value: <repr of exception>, traceback: None | Some(\"...\") }".
// Realises a deferred error. Takes the interpreter lock itself if the thread lacks it.
std::string readable_form(PyErr& error) noexcept;

// An error of `type` (a built-in exception class) whose message is `text` + ": " + the readable
// form of `cause`, with `cause` as its __cause__, so the underlying error stays reachable.
PyErr error_with_readable_cause(PyObject* type, std::string_view text, PyErr cause) noexcept;

}  // namespace quillora
