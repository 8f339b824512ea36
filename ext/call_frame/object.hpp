// Object: an owned (strong) reference to a Python object; the only way the module holds one.
#pragma once

#include <Python.h>

#include <utility>

namespace quillora {

// Whether a reference is added or adopted is said at the call site (borrow / steal); a moved-from
// Object is empty, and release() hands the pointer back to the caller's care.
class Object {
public:
    Object() noexcept = default;
    static Object steal(PyObject* pointer) noexcept { return Object(pointer); }
    static Object borrow(PyObject* pointer) noexcept {
        Py_XINCREF(pointer);
        return Object(pointer);
    }

    Object(const Object& other) noexcept : pointer_(other.pointer_) { Py_XINCREF(pointer_); }
    Object(Object&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    Object& operator=(Object other) noexcept {
        std::swap(pointer_, other.pointer_);
        return *this;
    }
    ~Object() { Py_XDECREF(pointer_); }

    PyObject* get() const noexcept { return pointer_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(pointer_, nullptr); }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

private:
    explicit Object(PyObject* pointer) noexcept : pointer_(pointer) {}
    PyObject* pointer_ = nullptr;
};

}  // namespace quillora
