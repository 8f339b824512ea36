// Shared borrows are not registered yet: every input is accepted as borrowed.
#include "borrow_table.hpp"

namespace quillora {

Status register_shared_borrow(PyArrayObject*) noexcept { return Status::success(); }
void release_shared_borrow(PyArrayObject*) noexcept {}

}  // namespace quillora
