// The shared borrow table: finding or installing the capsule on NumPy's multiarray module, this
// module's registry operations as the C functions the table hands out, and the shared borrows
// of input arrays.
#include "borrow_table.hpp"

#include <cstddef>
#include <cstring>
#include <span>
#include <string>

#include "borrow_registry.hpp"
#include "fatal_report.hpp"
#include "numpy_api.hpp"
#include "once_cell.hpp"
#include "readable_form.hpp"

namespace quillora {
namespace {

constexpr char capsule_name[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// A table this module creates: the six shared words, then the capsule's name, which the capsule
// refers to for its whole life and so lives in the same block.
struct InstalledTable {
    BorrowTable table;
    char name[sizeof capsule_name];
};
static_assert(offsetof(InstalledTable, table) == 0);

OnceCell<BorrowTable> table_cell;

// Views of views all answer to the array at the end of the base chain, or to the non-array
// object that lends that array its memory.
PyObject* owner_of(PyArrayObject* array, PyTypeObject* ndarray) noexcept {
    PyObject* current = reinterpret_cast<PyObject*>(array);
    for (;;) {
        PyObject* base = array_fields(current)->base;
        if (!base) return current;
        if (Py_TYPE(base) != ndarray && !PyType_IsSubtype(Py_TYPE(base), ndarray)) return base;
        current = base;
    }
}

// NumPy 2 (feature version 18) widened the descriptor's element size to 64 bits and moved it.
std::int64_t element_size(PyArray_Descr* descr, unsigned int numpy_feature_version) noexcept {
    if (numpy_feature_version >= 18) return reinterpret_cast<const _PyArray_DescrNumPy2*>(descr)->elsize;
    return reinterpret_cast<const PyArray_DescrProto*>(descr)->elsize;
}

// Computed before the registry's lock is taken. NumPy's table and feature version are cached
// before this module creates a table, so they are at hand whenever any module calls in.
BorrowKey key_of(PyArrayObject* array) noexcept {
    auto api = array_api();
    if (!api.ok()) panic("borrow registry called before NumPy's API table was cached");
    PyArrayObject_fields* f = array_fields(array);
    const auto rank = static_cast<std::size_t>(f->nd);
    const BorrowExtent extent =
        extent_of(reinterpret_cast<std::intptr_t>(f->data), std::span<const npy_intp>(f->dimensions, rank),
                  std::span<const npy_intp>(f->strides, rank), element_size(f->descr, feature_version(api.value())));
    return {reinterpret_cast<std::uintptr_t>(owner_of(array, api.value().array_type())), extent};
}

BorrowRegistry& registry_at(void* registry) noexcept { return *static_cast<BorrowRegistry*>(registry); }

extern "C" {

int take_shared_borrow(void* registry, PyArrayObject* array) noexcept {
    const BorrowKey key = key_of(array);
    return registry_at(registry).take_shared(key.owner, key.extent);
}

int take_exclusive_borrow(void* registry, PyArrayObject* array) noexcept {
    if (!(array_fields(array)->flags & NPY_ARRAY_WRITEABLE)) return not_writeable;
    const BorrowKey key = key_of(array);
    return registry_at(registry).take_exclusive(key.owner, key.extent);
}

void drop_shared_borrow(void* registry, PyArrayObject* array) noexcept {
    const BorrowKey key = key_of(array);
    registry_at(registry).drop_shared(key.owner, key.extent);
}

void drop_exclusive_borrow(void* registry, PyArrayObject* array) noexcept {
    const BorrowKey key = key_of(array);
    registry_at(registry).drop_exclusive(key.owner, key.extent);
}

// Runs only for a capsule released before anyone kept it: a failed install. Every module that
// follows the protocol keeps its reference for the rest of the process.
void destroy_installed_table(PyObject* capsule) noexcept {
    auto* table = static_cast<BorrowTable*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (!table) {
        discard_pending_error();
        return;
    }
    delete static_cast<BorrowRegistry*>(table->registry);
    delete reinterpret_cast<InstalledTable*>(table);  // the name string goes with the block
}

}  // extern "C"

// A fresh registry in a new capsule, stored on the multiarray module.
Result<Object> install_table(PyObject* multiarray) noexcept {
    auto* block = new InstalledTable{
        {1, new BorrowRegistry, take_shared_borrow, take_exclusive_borrow, drop_shared_borrow, drop_exclusive_borrow},
        {}};
    std::memcpy(block->name, capsule_name, sizeof capsule_name);
    Object capsule = Object::steal(PyCapsule_New(&block->table, block->name, destroy_installed_table));
    if (!capsule) {
        delete static_cast<BorrowRegistry*>(block->table.registry);
        delete block;
        return fetch_error_or_system_error();
    }
    // On failure the capsule is released after the error is taken, and its destructor frees all.
    if (PyObject_SetAttrString(multiarray, capsule_name, capsule.get()) != 0) return fetch_error_or_system_error();
    return capsule;
}

// The table every cooperating module of the process uses: the one already on NumPy's multiarray
// module, or a new one installed there. Computed once.
Result<BorrowTable*> borrow_table() noexcept {
    if (BorrowTable* table = table_cell.get()) return table;
    // This module's own operations, if it installs them, read NumPy's array type and descriptor
    // layout; both are settled here, before any other module can call them.
    auto api = array_api();
    if (!api.ok()) return api.take_error();
    (void)feature_version(api.value());
    auto module_name = multiarray_module_name();
    if (!module_name.ok()) return module_name.take_error();
    Object multiarray = Object::steal(PyImport_ImportModule(module_name.value()));
    if (!multiarray) return fetch_error_or_system_error();

    // From this read to the store in install_table nothing lets another thread run, so two
    // modules of the process cannot both install a table.
    Object capsule = Object::steal(PyObject_GetAttrString(multiarray.get(), capsule_name));
    if (!capsule) {
        discard_pending_error();
        auto installed = install_table(multiarray.get());
        if (!installed.ok()) return installed.take_error();
        capsule = std::move(installed.value());
    } else if (!PyCapsule_CheckExact(capsule.get())) {
        return PyErr::conversion(capsule.get(), "PyCapsule");
    }
    // A capsule of any name is accepted: its pointer is read with its own name.
    const char* name = PyCapsule_GetName(capsule.get());
    if (!name) discard_pending_error();
    auto* table = static_cast<BorrowTable*>(PyCapsule_GetPointer(capsule.get(), name));
    if (!table) return fetch_error_or_system_error();
    if (table->table_version == 0)
        return PyErr::with_message(PyExc_TypeError, "Version " + std::to_string(table->table_version) +
                                                        " of borrow checking API is not supported by this "
                                                        "version of rust-numpy");
    // The table lives as long as its capsule: keep the capsule for the rest of the process.
    (void)capsule.release();
    return table_cell.set_or_get(table);
}

}  // namespace

Result<SharedBorrow> register_shared_borrow(PyArrayObject* array) noexcept {
    auto found = borrow_table();
    // An unusable table is not the caller's fault but can be mended by them (a foreign value under
    // the capsule's name), so it is an exception rather than the end of the process.
    if (!found.ok())
        return error_with_readable_cause(PyExc_RuntimeError, "Interal borrow checking API error", found.take_error());
    BorrowTable* table = found.value();
    SharedBorrow borrow{table, std::nullopt};
    int code = borrow_granted;
    if (table->take_shared == take_shared_borrow) {
        borrow.own_key = key_of(array);
        code = registry_at(table->registry).take_shared(borrow.own_key->owner, borrow.own_key->extent);
    } else {
        code = table->take_shared(table->registry, array);
    }
    if (code == borrow_granted) return borrow;
    if (code == already_borrowed)
        return PyErr::with_text(PyExc_BufferError, "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    return PyErr::with_message(PyExc_RuntimeError,
                               "Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void release_shared_borrow(PyArrayObject* array, const SharedBorrow& borrow) noexcept {
    if (borrow.own_key) {
        registry_at(borrow.table->registry).drop_shared(borrow.own_key->owner, borrow.own_key->extent);
    } else {
        borrow.table->drop_shared(borrow.table->registry, array);
    }
}

}  // namespace quillora
