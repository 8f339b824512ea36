// indicator_atr: one period, three inputs (high, low, close), one output; computes with the
// interpreter lock held.
#include <cstdint>

#include "arguments.hpp"
#include "atr.hpp"
#include "call_frame.hpp"
#include "entry_points.hpp"
#include "kernel_runs.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"period", "high", "low", "close", "output"};
constexpr ParameterKind parameter_kinds[] = {ParameterKind::size, ParameterKind::input, ParameterKind::input,
                                             ParameterKind::input, ParameterKind::output};
constexpr std::size_t period_parameter = 0, first_input = 1, output_parameter = 4;
constexpr ParameterTable atr_parameters = {"indicator_atr", nullptr, parameter_names, 0, 5, {}};

constexpr const char* contiguity_messages[] = {"High array must be C-contiguous and float64",
                                               "Low array must be C-contiguous and float64",
                                               "Close array must be C-contiguous and float64"};

Status atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Arguments arguments(atr_parameters, parameter_kinds);
    if (Status taken = arguments.take(args, nargs, kwnames); !taken.ok()) return taken;
    if (Status viewed = arguments.make_views(); !viewed.ok()) return viewed;
    const ArrayView inputs[3] = {arguments.view(first_input), arguments.view(first_input + 1),
                                 arguments.view(first_input + 2)};
    const ArrayView& output = arguments.view(output_parameter);
    for (int i = 0; i < 3; ++i)
        if (!is_contiguous(inputs[i])) return value_error(contiguity_messages[i]);
    for (const ArrayView& input : inputs)
        if (input.length != output.length) return value_error("All arrays must have the same length");
    if (!is_contiguous(output)) return value_error("Output array must be C-contiguous and float64");
    if (Status writeable = arguments.check_outputs_writeable(); !writeable.ok()) return writeable;

    KernelRuns runs;
    if (Status staged = runs.stage(inputs, {&output, 1}); !staged.ok()) return staged;
    runs.compute([&] {
        compute_atr(arguments.size(period_parameter), runs.input(0), runs.input(1), runs.input(2), runs.output(0));
    });
    return Status::success();
}

}  // namespace

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(atr(args, nargs, kwnames));
}

}  // namespace quillora
