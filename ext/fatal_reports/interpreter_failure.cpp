// Fatal failures that carry the interpreter's error.
#include "interpreter_failure.hpp"

#include <string>

#include "fatal_report.hpp"
#include "readable_form.hpp"

namespace quillora {

void abort_with_error(std::string_view text, PyErr error, std::source_location location) noexcept {
    panic(std::string(text) + ": " + readable_form(error), location);
}

void abort_after_interpreter_failure(std::source_location location) noexcept {
    PyErr_Print();
    panic("Python API call failed", location);
}

}  // namespace quillora
