// Integer parameter conversion.
#include "to_size.hpp"

#include <limits>

namespace quillora {

Result<std::uint64_t> to_size(PyObject* object) noexcept {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Object index = Object::steal(PyNumber_Index(object));
        if (!index) return fetch_error_or_system_error();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // The largest value doubles as the failure signal: only a pending exception tells them apart.
    if (value == std::numeric_limits<unsigned long long>::max()) {
        if (auto error = fetch_error()) return std::move(*error);
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace quillora
