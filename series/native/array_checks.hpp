// What the native functions tell about a refused array argument, and the alignment they need.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>

namespace quillora::series {

// What a refused argument is, for the message: "int", "int64 ndarray".
inline std::string describe(nanobind::handle value) {
    std::string what = nanobind::type_name(value.type()).c_str();
    const nanobind::object dtype = nanobind::getattr(value, "dtype", nanobind::none());
    return dtype.is_none() ? what : std::string(nanobind::str(dtype).c_str()) + " " + what;
}

// A float64 array that the ndarray casts may still refuse: its strides are not whole elements.
inline bool is_float64_array(nanobind::handle value) {
    const nanobind::object dtype = nanobind::getattr(value, "dtype", nanobind::none());
    return !dtype.is_none() && std::string(nanobind::str(dtype).c_str()) == "float64" &&
           nanobind::hasattr(value, "__array__");
}

// The kernels load whole doubles, which must lie on their natural boundary.
inline bool is_aligned(const void* data) { return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0; }

}  // namespace quillora::series
