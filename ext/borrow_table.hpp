// The shared borrow table: found on, or installed into, NumPy's multiarray module, so that every
// cooperating module of the process uses one registry.
#pragma once

#include <Python.h>

#include <cstdint>

#include "numpy_headers.hpp"
#include "py_err.hpp"

namespace quillora {

// The table's operations, in the platform's C calling convention. Called with the interpreter
// lock held. take_*: 0 granted, -1 already borrowed, -2 (take_exclusive only) not writeable.
extern "C" {
typedef int BorrowTake(void* registry, PyArrayObject* array);
typedef void BorrowDrop(void* registry, PyArrayObject* array);
}

// The first six words are an interface read by other modules: layout and calling convention
// are fixed.
struct BorrowTable {
    std::uint64_t table_version;
    void* registry;
    BorrowTake* take_shared;
    BorrowTake* take_exclusive;
    BorrowDrop* drop_shared;
    BorrowDrop* drop_exclusive;
};
static_assert(sizeof(BorrowTable) == 6 * sizeof(std::uint64_t), "the table is six 64-bit words");

// Registers a shared borrow of an input array. A refusal (another module holds an exclusive
// borrow of overlapping memory) or an unusable table is an exception, not the end of the process.
Status register_shared_borrow(PyArrayObject* array) noexcept;

// Releases the shared borrow registered by register_shared_borrow.
void release_shared_borrow(PyArrayObject* array) noexcept;

}  // namespace quillora
