// The shared borrow table: found on, or installed into, NumPy's multiarray module, so that every
// cooperating module of the process uses one registry.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "borrow_registry.hpp"
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

// Where a borrow sits in this module's own registry: the owner's address and the extent.
struct BorrowKey {
    std::uintptr_t owner;
    BorrowExtent extent;
};

// A registered shared borrow, released exactly as it was taken. With this module's own table it
// keeps the key it was registered under: Python code or another thread may change the array's
// strides, data or dtype during the call, and a key recomputed from that state would miss the
// entry and leave it for the life of the process. A foreign table's protocol passes the array,
// so its release is handed the array again.
struct SharedBorrow {
    BorrowTable* table;
    std::optional<BorrowKey> own_key;  // set only with this module's own table
};

// Registers a shared borrow of an input array. A refusal (another module holds an exclusive
// borrow of overlapping memory) or an unusable table is an exception, not the end of the process.
Result<SharedBorrow> register_shared_borrow(PyArrayObject* array) noexcept;

// Releases a borrow that register_shared_borrow registered for `array`.
void release_shared_borrow(PyArrayObject* array, const SharedBorrow& borrow) noexcept;

}  // namespace quillora
