// Fatal failures that carry the interpreter's error: the module cannot go on, and the report says why.
#pragma once

#include <source_location>
#include <string_view>

#include "py_err.hpp"

namespace quillora {

// A fatal failure whose message is `text` + ": " + the readable form of `error`.
[[noreturn]] void abort_with_error(std::string_view text, PyErr error,
                                   std::source_location location = std::source_location::current()) noexcept;

// Prints the pending exception, then ends the process with "Python API call failed".
[[noreturn]] void abort_after_interpreter_failure(
    std::source_location location = std::source_location::current()) noexcept;

}  // namespace quillora
