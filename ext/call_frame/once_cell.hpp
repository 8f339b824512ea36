// Process-wide once-only cells: set at most once, the first stored value wins, never released.
#pragma once

#include <Python.h>

#include <atomic>

#include "object.hpp"

namespace quillora {

// Holds a pointer-sized value. Filled under the interpreter lock, but a fill may let another
// thread run (an import, a call into Python), so two fills can race: the compare-and-swap keeps
// the first and reports it to the loser.
template <class T>
class OnceCell {
public:
    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Stores `candidate` unless a value is already there; returns the value that stays.
    T* set_or_get(T* candidate) noexcept {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) return candidate;
        return expected;
    }

private:
    std::atomic<T*> value_{nullptr};
};

// A cell that owns one strong reference for the rest of the process; a losing racer's object
// is released.
class ObjectCell {
public:
    PyObject* get() const noexcept { return cell_.get(); }

    PyObject* set_or_get(Object candidate) noexcept {
        PyObject* kept = cell_.set_or_get(candidate.get());
        if (kept == candidate.get()) (void)candidate.release();  // the cell keeps this reference
        return kept;
    }

private:
    OnceCell<PyObject> cell_;
};

}  // namespace quillora
