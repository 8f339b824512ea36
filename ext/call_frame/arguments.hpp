// An entry point's arguments: bound to its parameter table, converted in declaration order with
// each failure named after its parameter, and viewed only after a last check of every array.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "arrays.hpp"
#include "binding.hpp"
#include "py_err.hpp"

namespace quillora {

enum class ParameterKind : unsigned char {
    size,    // an integer, converted to an unsigned 64-bit value
    input,   // an array the computation reads: a held reference and a shared borrow
    output,  // an array the computation writes: the acceptance test only, the caller's reference
};

class Arguments {
public:
    static constexpr std::size_t capacity = 7;
    static constexpr std::size_t input_capacity = 3;

    // `kinds` has one entry per positional parameter of `table`: at most `capacity`, and at most
    // `input_capacity` of them inputs.
    Arguments(const ParameterTable& table, std::span<const ParameterKind> kinds) noexcept
        : table_(table), kinds_(kinds) {}
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // Binds the call's arguments and converts them in declaration order; the first failure ends
    // it. The inputs taken stay held until this object ends, on every way out.
    Status take(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

    std::uint64_t size(std::size_t parameter) const noexcept { return sizes_[parameter]; }
    PyArrayObject* array(std::size_t parameter) const noexcept { return arrays_[parameter]; }

    // Makes the views of every array. Call once no Python code can run any more before the
    // computation: each array passes the acceptance test again first.
    Status make_views() noexcept;
    const ArrayView& view(std::size_t parameter) const noexcept { return views_[parameter]; }

    // Refuses the first output, in parameter order, that NumPy marks read-only.
    Status check_outputs_writeable() noexcept;

private:
    Status convert(std::size_t parameter) noexcept;
    const char* name(std::size_t parameter) const noexcept { return table_.positional[parameter]; }
    bool is_array(std::size_t parameter) const noexcept { return kinds_[parameter] != ParameterKind::size; }

    const ParameterTable& table_;
    std::span<const ParameterKind> kinds_;
    PyObject* slots_[capacity] = {};
    // Filled in parameter order as the conversions succeed; read only after they all have.
    std::uint64_t sizes_[capacity];
    PyArrayObject* arrays_[capacity];
    ArrayView views_[capacity];
    InputArray inputs_[input_capacity];  // in the order taken
    std::size_t input_count_ = 0;
};

}  // namespace quillora
