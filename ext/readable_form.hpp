// The readable form of a PyErr, for fatal reports and for messages that wrap another error.
#pragma once

#include <string>

#include "py_err.hpp"

namespace quillora {

// "PyErr { type: <repr of type>, value: <repr of exception>, traceback: None | Some(\"...\") }".
// Realises a deferred error. Takes the interpreter lock itself if the thread lacks it.
std::string readable_form(PyErr& error) noexcept;

}  // namespace quillora
