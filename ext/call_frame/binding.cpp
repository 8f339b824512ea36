// Argument binding and its messages.
#include "binding.hpp"

#include <optional>

#include "display_text.hpp"

namespace quillora {
namespace {

std::optional<std::size_t> find_name(std::span<const char* const> names, std::string_view wanted) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (wanted == names[i]) return i;
    return std::nullopt;
}

std::optional<std::size_t> find_name(std::span<const KeywordOnlyParameter> parameters, std::string_view wanted) {
    for (std::size_t i = 0; i < parameters.size(); ++i)
        if (wanted == parameters[i].name) return i;
    return std::nullopt;
}

PyErr type_error(std::string message) { return PyErr::with_message(PyExc_TypeError, std::move(message)); }

PyErr too_many_positional(const ParameterTable& table, Py_ssize_t given) {
    const std::size_t count = table.positional.size();
    std::string accepted = table.required_positional == count
                               ? std::to_string(count)
                               : "from " + std::to_string(table.required_positional) + " to " + std::to_string(count);
    return type_error(table.full_name() + " takes " + accepted + " positional arguments but " + std::to_string(given) +
                      (given == 1 ? " was" : " were") + " given");
}

PyErr multiple_values(const ParameterTable& table, std::string_view name) {
    return type_error(table.full_name() + " got multiple values for argument '" + std::string(name) + "'");
}

PyErr missing(const ParameterTable& table, const char* kind, const std::vector<std::string_view>& names) {
    return type_error(table.full_name() + " missing " + std::to_string(names.size()) + " required " + kind +
                      (names.size() == 1 ? " argument: " : " arguments: ") + quoted_name_list(names));
}

}  // namespace

std::string ParameterTable::full_name() const {
    std::string name = class_name ? std::string(class_name) + "." + function_name : std::string(function_name);
    return name + "()";
}

std::string quoted_name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ",";
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += "'" + std::string(names[i]) + "'";
    }
    return list;
}

Status bind_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> slots) noexcept {
    const std::size_t positional_count = table.positional.size();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, positional_count); ++i) slots[i] = args[i];
    if (given > positional_count) return too_many_positional(table, nargs);

    std::vector<std::string_view> positional_only_by_keyword;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        PyObject* name_object = PyTuple_GetItem(kwnames, j);
        PyObject* value = args[nargs + j];
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
        if (!utf8) {
            discard_pending_error();  // a name without UTF-8 form matches no parameter
        } else {
            const std::string_view name(utf8, static_cast<std::size_t>(size));
            if (auto k = find_name(table.keyword_only, name)) {
                PyObject*& slot = slots[positional_count + *k];
                if (slot) return multiple_values(table, name);
                slot = value;
                continue;
            }
            if (auto i = find_name(table.positional, name)) {
                if (*i < table.positional_only) {
                    positional_only_by_keyword.push_back(name);
                    continue;
                }
                if (slots[*i]) return multiple_values(table, name);
                slots[*i] = value;
                continue;
            }
        }
        return type_error(table.full_name() + " got an unexpected keyword argument '" + display_text(name_object) +
                          "'");
    }

    if (!positional_only_by_keyword.empty())
        return type_error(table.full_name() + " got some positional-only arguments passed as keyword arguments: " +
                          quoted_name_list(positional_only_by_keyword));

    if (given < table.required_positional) {
        std::vector<std::string_view> absent;
        for (std::size_t i = 0; i < table.required_positional; ++i)
            if (!slots[i]) absent.push_back(table.positional[i]);
        if (!absent.empty()) return missing(table, "positional", absent);
    }

    std::vector<std::string_view> absent_keywords;
    for (std::size_t k = 0; k < table.keyword_only.size(); ++k)
        if (table.keyword_only[k].required && !slots[positional_count + k])
            absent_keywords.push_back(table.keyword_only[k].name);
    if (!absent_keywords.empty()) return missing(table, "keyword", absent_keywords);
    return Status::success();
}

}  // namespace quillora
