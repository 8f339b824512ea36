// Taking an entry point's arguments, and the last check of its arrays.
#include "arguments.hpp"

#include "argument_error.hpp"
#include "to_size.hpp"

namespace quillora {

Status Arguments::take(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const std::span<PyObject*> slots = std::span(slots_).first(kinds_.size());
    if (Status bound = bind_arguments(table_, args, nargs, kwnames, slots); !bound.ok()) return bound;
    for (std::size_t parameter = 0; parameter < kinds_.size(); ++parameter) {
        if (Status converted = convert(parameter); !converted.ok())
            return wrap_argument_error(name(parameter), converted.take_error());
    }
    return Status::success();
}

Status Arguments::convert(std::size_t parameter) noexcept {
    PyObject* object = slots_[parameter];
    switch (kinds_[parameter]) {
        case ParameterKind::size: {
            auto value = to_size(object);
            if (!value.ok()) return value.take_error();
            sizes_[parameter] = value.value();
            break;
        }
        case ParameterKind::input: {
            auto input = take_input_array(object);
            if (!input.ok()) return input.take_error();
            InputArray& held = inputs_[input_count_++];
            held = std::move(input.value());
            arrays_[parameter] = held.get();
            break;
        }
        case ParameterKind::output: {
            auto output = take_output_array(object);
            if (!output.ok()) return output.take_error();
            arrays_[parameter] = output.value();
            break;
        }
    }
    return Status::success();
}

Status Arguments::make_views() noexcept {
    // Python code can run after an array was accepted (a subclass's __len__, an import hook
    // during the first call's lookups, a foreign borrow table's callbacks) and may have resized
    // it or changed its dtype; a view of such an array would read past its memory or write
    // doubles into integers. Nothing runs Python code from here to the computation.
    for (std::size_t parameter = 0; parameter < kinds_.size(); ++parameter) {
        if (!is_array(parameter)) continue;
        if (Status accepted = check_still_accepted(arrays_[parameter]); !accepted.ok())
            return wrap_argument_error(name(parameter), accepted.take_error());
    }
    for (std::size_t parameter = 0; parameter < kinds_.size(); ++parameter)
        if (is_array(parameter)) views_[parameter] = make_view(arrays_[parameter]);
    return Status::success();
}

Status Arguments::check_outputs_writeable() noexcept {
    for (std::size_t parameter = 0; parameter < kinds_.size(); ++parameter) {
        if (kinds_[parameter] == ParameterKind::output && !is_writeable(arrays_[parameter]))
            return read_only_error(name(parameter));
    }
    return Status::success();
}

}  // namespace quillora
