// indicator_sma and indicator_ema: one entry sequence around two routines.
#include <cstdint>
#include <span>

#include "argument_error.hpp"
#include "arrays.hpp"
#include "binding.hpp"
#include "call_frame.hpp"
#include "ema.hpp"
#include "entry_points.hpp"
#include "sma.hpp"
#include "to_size.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"period", "data", "output"};

constexpr ParameterTable table_for(const char* function_name) {
    return {function_name, nullptr, parameter_names, 0, 3, {}};
}

constexpr ParameterTable sma_parameters = table_for("indicator_sma");
constexpr ParameterTable ema_parameters = table_for("indicator_ema");

using Routine = void (*)(std::uint64_t, std::span<const double>, std::span<double>) noexcept;

Status moving_average(const ParameterTable& table, Routine compute, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* slots[3] = {};
    if (Status bound = bind_arguments(table, args, nargs, kwnames, slots); !bound.ok()) return bound;
    auto period = named_argument("period", to_size(slots[0]));
    if (!period.ok()) return period.take_error();
    auto data = named_argument("data", take_input_array(slots[1]));
    if (!data.ok()) return data.take_error();
    auto output = named_argument("output", take_output_array(slots[2]));
    if (!output.ok()) return output.take_error();

    const ArrayView input_view = make_view(data.value().get());
    const ArrayView output_view = make_view(output.value());
    if (!is_contiguous(input_view)) return value_error("Input array must be C-contiguous and float64");
    if (!is_contiguous(output_view)) return value_error("Output array must be C-contiguous and float64");
    if (input_view.length != output_view.length) return value_error("Output array length must match input");
    if (Status writeable = check_writeable("output", output.value()); !writeable.ok()) return writeable;

    run_without_lock([&] { compute(period.value(), input_run(input_view), output_run(output_view)); });
    return Status::success();
}

}  // namespace

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(moving_average(sma_parameters, compute_sma, args, nargs, kwnames));
}

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(moving_average(ema_parameters, compute_ema, args, nargs, kwnames));
}

}  // namespace quillora
