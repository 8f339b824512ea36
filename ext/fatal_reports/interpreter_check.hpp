// The check that the interpreter is up before the module takes its lock on its own.
#pragma once

namespace quillora {

// The first time the module takes the interpreter lock on its own, checks once that the
// interpreter is initialised; a finalising interpreter ends the process.
void check_interpreter_initialised() noexcept;

}  // namespace quillora
