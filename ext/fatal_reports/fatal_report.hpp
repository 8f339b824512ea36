// Fatal reports: the end of the process when the module cannot go on. Needs no interpreter.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace quillora {

// Writes the report (thread, location, message, then the backtrace note or a stack trace chosen
// by RUST_BACKTRACE) straight to file descriptor 2 and aborts. Safe on any thread, with or
// without the interpreter lock. A panic raised while the same thread writes its report gets a
// short notice instead of a second report.
[[noreturn]] void panic(std::string_view message,
                        std::source_location location = std::source_location::current()) noexcept;

// The allocation-failure handler: one line on standard error, then abort. No panic report.
[[noreturn]] void allocation_failed(std::size_t size) noexcept;

// For the native probe only: `hook` runs inside every later report, after its first lines and
// before the note or trace, with the report lock held and the thread's in-report flag set.
void set_report_hook_for_testing(void (*hook)()) noexcept;

}  // namespace quillora
