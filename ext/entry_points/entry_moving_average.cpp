// indicator_sma and indicator_ema: one entry sequence around two routines.
#include <cstdint>
#include <span>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "ema.hpp"
#include "entry_points.hpp"
#include "kernel_runs.hpp"
#include "sma.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"period", "data", "output"};
constexpr ParameterKind parameter_kinds[] = {ParameterKind::size, ParameterKind::input, ParameterKind::output};
constexpr std::size_t period_parameter = 0, data_parameter = 1, output_parameter = 2;

constexpr ParameterTable table_for(const char* function_name) {
    return {function_name, nullptr, parameter_names, 0, 3, {}};
}

constexpr ParameterTable sma_parameters = table_for("indicator_sma");
constexpr ParameterTable ema_parameters = table_for("indicator_ema");

using Routine = void (*)(std::uint64_t, std::span<const double>, std::span<double>) noexcept;

Status moving_average(const ParameterTable& table, Routine compute, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    Arguments arguments(table, parameter_kinds);
    if (Status taken = arguments.take(args, nargs, kwnames); !taken.ok()) return taken;
    if (Status viewed = arguments.make_views(); !viewed.ok()) return viewed;
    const ArrayView& input = arguments.view(data_parameter);
    const ArrayView& output = arguments.view(output_parameter);
    if (!is_contiguous(input)) return value_error("Input array must be C-contiguous and float64");
    if (!is_contiguous(output)) return value_error("Output array must be C-contiguous and float64");
    if (input.length != output.length) return value_error("Output array length must match input");
    if (Status writeable = arguments.check_outputs_writeable(); !writeable.ok()) return writeable;

    KernelRuns runs;
    if (Status staged = runs.stage({&input, 1}, {&output, 1}); !staged.ok()) return staged;
    const std::uint64_t period = arguments.size(period_parameter);
    run_without_lock([&] { runs.compute([&] { compute(period, runs.input(0), runs.output(0)); }); });
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
