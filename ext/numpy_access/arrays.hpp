// Array parameters: the acceptance test, input and output arrays, and element views.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "borrow_table.hpp"
#include "numpy_headers.hpp"
#include "py_err.hpp"

namespace quillora {

// Element view of an accepted array: element i lies at data + i * stride bytes.
struct ArrayView {
    char* data;
    std::uint64_t length;
    std::int64_t stride;
};

inline ArrayView make_view(PyArrayObject* array) noexcept {
    const PyArrayObject_fields* fields = array_fields(array);
    return {fields->data, static_cast<std::uint64_t>(fields->dimensions[0]),
            static_cast<std::int64_t>(fields->strides[0])};
}

// Fewer than two elements, or elements exactly one float64 apart in increasing order.
inline bool is_contiguous(const ArrayView& view) noexcept {
    return view.length < 2 || view.stride == static_cast<std::int64_t>(sizeof(double));
}

// An input array for the length of one call: an owned reference and a registered shared
// borrow, both released exactly once, when it goes out of scope or is replaced.
class InputArray {
public:
    InputArray() noexcept = default;  // holds nothing
    InputArray(InputArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)), borrow_(other.borrow_) {}
    InputArray& operator=(InputArray&& other) noexcept {
        if (this != &other) {
            if (array_) release();
            array_ = std::exchange(other.array_, nullptr);
            borrow_ = other.borrow_;
        }
        return *this;
    }
    ~InputArray() {
        if (array_) release();
    }

    PyArrayObject* get() const noexcept { return array_; }

private:
    friend Result<InputArray> take_input_array(PyObject* object) noexcept;
    InputArray(PyArrayObject* array, SharedBorrow borrow) noexcept : array_(array), borrow_(borrow) {}
    void release() noexcept;  // only when holding an array

    PyArrayObject* array_ = nullptr;
    SharedBorrow borrow_{};
};

// A one-dimensional float64 ndarray (or subclass) taken for reading, or the conversion error.
Result<InputArray> take_input_array(PyObject* object) noexcept;

// The same acceptance test for an output; the caller's reference is borrowed for the call.
Result<PyArrayObject*> take_output_array(PyObject* object) noexcept;

// The acceptance test again, for an array that Python code may have changed since it was taken.
Status check_still_accepted(PyArrayObject* array) noexcept;

// Output arrays are written through their data pointer; one that NumPy marks read-only (a
// read-only memory map, an array over bytes) is refused instead.
inline bool is_writeable(PyArrayObject* output) noexcept { return array_fields(output)->flags & NPY_ARRAY_WRITEABLE; }
PyErr read_only_error(const char* parameter) noexcept;

}  // namespace quillora
