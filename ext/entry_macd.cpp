// indicator_macd: three periods, one input, three outputs.
#include <cstdint>

#include "argument_error.hpp"
#include "arrays.hpp"
#include "binding.hpp"
#include "call_frame.hpp"
#include "entry_points.hpp"
#include "macd.hpp"
#include "to_size.hpp"

namespace quillora {
namespace {

constexpr const char* parameter_names[] = {"fast_period",  "slow_period",   "signal_period", "data",
                                           "macd_output", "signal_output", "hist_output"};
constexpr ParameterTable macd_parameters = {"indicator_macd", nullptr, parameter_names, 0, 7, {}};

constexpr const char* length_mismatch = "All output arrays must have the same length as input data";

Status macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* slots[7] = {};
    if (Status bound = bind_arguments(macd_parameters, args, nargs, kwnames, slots); !bound.ok()) return bound;
    std::uint64_t periods[3] = {};
    for (int i = 0; i < 3; ++i) {
        auto period = named_argument(parameter_names[i], to_size(slots[i]));
        if (!period.ok()) return period.take_error();
        periods[i] = period.value();
    }
    const auto [fast_period, slow_period, signal_period] = periods;
    auto data = named_argument("data", take_input_array(slots[3]));
    if (!data.ok()) return data.take_error();
    PyArrayObject* outputs[3] = {};
    for (int i = 0; i < 3; ++i) {
        auto output = named_argument(parameter_names[4 + i], take_output_array(slots[4 + i]));
        if (!output.ok()) return output.take_error();
        outputs[i] = output.value();
    }

    if (fast_period == 0 || slow_period == 0 || signal_period == 0)
        return value_error("Periods must be greater than 0");
    if (fast_period >= slow_period) return value_error("Fast period must be less than slow period");

    // The lengths the caller sees come from the generic length query, all three before any
    // comparison; a subclass may make that query disagree with the element count, and the
    // element count is what bounds the writes.
    Py_ssize_t sizes[3] = {};
    for (int i = 0; i < 3; ++i) {
        sizes[i] = PyObject_Size(reinterpret_cast<PyObject*>(outputs[i]));
        if (sizes[i] < 0) return fetch_error_or_system_error();
    }
    // Views only now: a length query may run Python code that resizes an array, which would
    // leave an earlier pointer dangling.
    const ArrayView input_view = make_view(data.value().get());
    const ArrayView output_views[3] = {make_view(outputs[0]), make_view(outputs[1]), make_view(outputs[2])};
    for (Py_ssize_t size : sizes)
        if (static_cast<std::uint64_t>(size) != input_view.length) return value_error(length_mismatch);
    for (const ArrayView& view : output_views)
        if (view.length != input_view.length) return value_error(length_mismatch);

    if (!is_contiguous(input_view)) return value_error("Input array must be C-contiguous");
    if (!is_contiguous(output_views[0])) return value_error("MACD output array must be C-contiguous");
    if (!is_contiguous(output_views[1])) return value_error("Signal output array must be C-contiguous");
    if (!is_contiguous(output_views[2])) return value_error("Histogram output array must be C-contiguous");
    for (int i = 0; i < 3; ++i)
        if (Status writeable = check_writeable(parameter_names[4 + i], outputs[i]); !writeable.ok()) return writeable;

    run_without_lock([&] {
        compute_macd(input_run(input_view), fast_period, slow_period, signal_period, output_run(output_views[0]),
                     output_run(output_views[1]), output_run(output_views[2]));
    });
    return Status::success();
}

}  // namespace

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return finish_call(macd(args, nargs, kwnames));
}

}  // namespace quillora
