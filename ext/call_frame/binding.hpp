// Argument binding: matching a fast-call argument vector to an entry point's named parameters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py_err.hpp"

namespace quillora {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

// The static description of an entry point's parameters.
struct ParameterTable {
    const char* function_name;
    const char* class_name;  // null for module-level functions
    std::span<const char* const> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    // "name()" or "Class.name()", as messages show the function.
    std::string full_name() const;
};

// Fills `slots` (positional parameters first, then keyword-only ones; all null on entry) with
// borrowed references from the caller's vector, or fails with the TypeError that says why.
Status bind_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> slots) noexcept;

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': each name quoted, in the order given.
std::string quoted_name_list(const std::vector<std::string_view>& names);

}  // namespace quillora
