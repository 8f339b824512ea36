// Computing with the interpreter lock released, in a way that stays sound while the interpreter
// exits: a daemon thread must never take the lock back once finalisation has begun, as CPython
// then ends the thread (3.12, 3.13: pthread_exit, whose unwinding cannot cross this module's frames)
// or parks it for good (3.14 on).
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace quillora::series {

// Counts a call that is about to release the lock; false once the exit hook has run, and then
// the call keeps the lock. Both are called with the lock held.
bool enter_unlocked_call() noexcept;
void leave_unlocked_call() noexcept;

// Runs `body` with the interpreter lock released, or held when the interpreter is exiting.
template <typename Body>
void run_unlocked(Body&& body) {
    if (!enter_unlocked_call()) {
        std::forward<Body>(body)();
        return;
    }
    // Declared before the release, so the call is counted until the lock is back.
    struct Left {
        ~Left() { leave_unlocked_call(); }
    } left;
    nanobind::gil_scoped_release released;
    std::forward<Body>(body)();
}

// Registers the exit hook with `atexit`: it waits (lock released) for the calls in flight, makes
// every later call keep the lock, and, when threads other than the main one are still alive,
// turns off nanobind's leak report, as the objects those threads hold are never released.
void install_exit_hook();

}  // namespace quillora::series
