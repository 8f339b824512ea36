// Stack traces of the calling thread for fatal reports.
#pragma once

namespace quillora {

enum class TraceStyle : unsigned char {
    brief,  // function names only, from the frame that returns into `first_shown` on
    full,   // every frame, with its address and the object that holds it
};

// Writes "stack backtrace:" and the frames of the calling thread. `first_shown` is the return
// address of the report routine, so the brief form starts at the code that asked for the report
// instead of at the machinery that writes it. Names come from the dynamic symbol table, so only
// exported functions have one.
void write_stack_trace(TraceStyle style, const void* first_shown) noexcept;

}  // namespace quillora
