// Interned attribute names.
#include "interned.hpp"

#include <string_view>

#include "interpreter_failure.hpp"
#include "once_cell.hpp"

namespace quillora {
namespace {

PyObject* interned(ObjectCell& cell, std::string_view text) noexcept {
    if (PyObject* name = cell.get()) return name;
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!name) abort_after_interpreter_failure();
    PyUnicode_InternInPlace(&name);
    return cell.set_or_get(Object::steal(name));
}

ObjectCell name_cell;
ObjectCell all_cell;

}  // namespace

PyObject* interned_dunder_name() noexcept { return interned(name_cell, "__name__"); }
PyObject* interned_dunder_all() noexcept { return interned(all_cell, "__all__"); }

}  // namespace quillora
