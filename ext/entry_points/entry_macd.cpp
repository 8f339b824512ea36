// indicator_macd: three periods, one input, three outputs.
#include <cstdint>
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "entry_points.hpp"
#include "kernel_runs.hpp"
#include "macd.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"fast_period", "slow_period",   "signal_period", "data",
                                           "macd_output", "signal_output", "hist_output"};
constexpr ParameterKind parameter_kinds[] = {ParameterKind::size,  ParameterKind::size,   ParameterKind::size,
                                             ParameterKind::input, ParameterKind::output, ParameterKind::output,
                                             ParameterKind::output};
constexpr std::size_t data_parameter = 3, first_output = 4;
constexpr ParameterTable macd_parameters = {"indicator_macd", nullptr, parameter_names, 0, 7, {}};

constexpr const char* length_mismatch = "All output arrays must have the same length as input data";

// Two outputs sharing memory cannot both hold their line.
Status check_outputs_apart(const ArrayView (&outputs)[3]) noexcept {
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = i + 1; j < 3; ++j)
            if (views_overlap(outputs[i], outputs[j]))
                return PyErr::with_message(PyExc_ValueError, std::string("arguments '") +
                                                                 parameter_names[first_output + i] + "' and '" +
                                                                 parameter_names[first_output + j] + "' overlap");
    return Status::success();
}

Status macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Arguments arguments(macd_parameters, parameter_kinds);
    if (Status taken = arguments.take(args, nargs, kwnames); !taken.ok()) return taken;
    const std::uint64_t fast_period = arguments.size(0), slow_period = arguments.size(1),
                        signal_period = arguments.size(2);

    if (fast_period == 0 || slow_period == 0 || signal_period == 0)
        return value_error("Periods must be greater than 0");
    if (fast_period >= slow_period) return value_error("Fast period must be less than slow period");

    // The lengths the caller sees come from the generic length query, all three before any
    // comparison; a subclass may make that query disagree with the element count, and the
    // element count is what bounds the writes.
    Py_ssize_t sizes[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        sizes[i] = PyObject_Size(reinterpret_cast<PyObject*>(arguments.array(first_output + i)));
        if (sizes[i] < 0) return fetch_error_or_system_error();
    }
    // Views only now: a length query runs Python code, which may have changed any array.
    if (Status viewed = arguments.make_views(); !viewed.ok()) return viewed;
    const ArrayView& input = arguments.view(data_parameter);
    const ArrayView outputs[3] = {arguments.view(first_output), arguments.view(first_output + 1),
                                  arguments.view(first_output + 2)};
    for (Py_ssize_t size : sizes)
        if (static_cast<std::uint64_t>(size) != input.length) return value_error(length_mismatch);
    for (const ArrayView& output : outputs)
        if (output.length != input.length) return value_error(length_mismatch);

    if (!is_contiguous(input)) return value_error("Input array must be C-contiguous");
    if (!is_contiguous(outputs[0])) return value_error("MACD output array must be C-contiguous");
    if (!is_contiguous(outputs[1])) return value_error("Signal output array must be C-contiguous");
    if (!is_contiguous(outputs[2])) return value_error("Histogram output array must be C-contiguous");
    if (Status writeable = arguments.check_outputs_writeable(); !writeable.ok()) return writeable;
    if (Status apart = check_outputs_apart(outputs); !apart.ok()) return apart;

    KernelRuns runs;
    if (Status staged = runs.stage({&input, 1}, outputs); !staged.ok()) return staged;
    run_without_lock([&] {
        runs.compute([&] {
            compute_macd(runs.input(0), fast_period, slow_period, signal_period, runs.output(0), runs.output(1),
                         runs.output(2));
        });
    });
    return Status::success();
}

}  // namespace

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(macd(args, nargs, kwnames));
}

}  // namespace quillora
