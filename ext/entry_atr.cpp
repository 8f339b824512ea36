// indicator_atr: one period, three inputs (high, low, close), one output; computes with the
// interpreter lock held.
#include <cstdint>
#include <optional>

#include "argument_error.hpp"
#include "arrays.hpp"
#include "atr.hpp"
#include "binding.hpp"
#include "call_frame.hpp"
#include "entry_points.hpp"
#include "to_size.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"period", "high", "low", "close", "output"};
constexpr ParameterTable atr_parameters = {"indicator_atr", nullptr, parameter_names, 0, 5, {}};

constexpr const char* contiguity_messages[] = {"High array must be C-contiguous and float64",
                                               "Low array must be C-contiguous and float64",
                                               "Close array must be C-contiguous and float64"};

Status atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* slots[5] = {};
    if (Status bound = bind_arguments(atr_parameters, args, nargs, kwnames, slots); !bound.ok()) return bound;
    auto period = named_argument("period", to_size(slots[0]));
    if (!period.ok()) return period.take_error();
    // Declared before they are filled so that each input taken is released on every way out.
    std::optional<InputArray> inputs[3];
    for (int i = 0; i < 3; ++i) {
        auto input = named_argument(parameter_names[1 + i], take_input_array(slots[1 + i]));
        if (!input.ok()) return input.take_error();
        inputs[i].emplace(std::move(input.value()));
    }
    auto output = named_argument("output", take_output_array(slots[4]));
    if (!output.ok()) return output.take_error();

    ArrayView views[3];
    for (int i = 0; i < 3; ++i) {
        views[i] = make_view(inputs[i]->get());
        if (!is_contiguous(views[i])) return value_error(contiguity_messages[i]);
    }
    const ArrayView output_view = make_view(output.value());
    for (const ArrayView& view : views)
        if (view.length != output_view.length) return value_error("All arrays must have the same length");
    if (!is_contiguous(output_view)) return value_error("Output array must be C-contiguous and float64");
    if (Status writeable = check_writeable("output", output.value()); !writeable.ok()) return writeable;

    compute_atr(period.value(), input_run(views[0]), input_run(views[1]), input_run(views[2]),
                output_run(output_view));
    return Status::success();
}

}  // namespace

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(atr(args, nargs, kwnames));
}

}  // namespace quillora
