// Table kernels for quillora_series: SMA, EMA, MACD and ATR over many series at once, each taking
// a (bars, symbols) float64 array (C or Fortran order) or a list of float64 columns, and writing
// outputs the caller allocated. The arrays are checked here, the lock is released, and the library does the rest.
#include "table_kernels.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lock_release.hpp"
#include "table.hpp"
#include "table_arguments.hpp"

namespace nb = nanobind;

using namespace quillora::series;

namespace {

void table_sma(std::uint64_t period, nb::handle data, nb::handle output, int workers) {
    const std::vector<Table> inputs{take_table(data, "data", false)};
    const std::vector<Table> outputs{take_table(output, "output", true)};
    const Prepared call = prepare(inputs, outputs, workers);
    quillora::series::run_unlocked(
        [&] { quillora::table_sma(period, call.shape, call.inputs[0], call.outputs[0], call.options); });
}

void table_ema(std::uint64_t period, nb::handle data, nb::handle output, int workers) {
    const std::vector<Table> inputs{take_table(data, "data", false)};
    const std::vector<Table> outputs{take_table(output, "output", true)};
    const Prepared call = prepare(inputs, outputs, workers);
    quillora::series::run_unlocked(
        [&] { quillora::table_ema(period, call.shape, call.inputs[0], call.outputs[0], call.options); });
}

void table_macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period, nb::handle data,
                nb::handle macd_output, nb::handle signal_output, nb::handle hist_output, int workers) {
    // The kernel reads the trailing windows of both periods: without these it would read before
    // the first bar.
    if (fast_period == 0 || slow_period == 0 || signal_period == 0) fail_value("Periods must be greater than 0");
    if (fast_period >= slow_period) fail_value("Fast period must be less than slow period");
    const std::vector<Table> inputs{take_table(data, "data", false)};
    const std::vector<Table> outputs{take_table(macd_output, "macd_output", true),
                                     take_table(signal_output, "signal_output", true),
                                     take_table(hist_output, "hist_output", true)};
    const Prepared call = prepare(inputs, outputs, workers);
    quillora::series::run_unlocked([&] {
        quillora::table_macd(call.shape, call.inputs[0], fast_period, slow_period, signal_period, call.outputs[0],
                             call.outputs[1], call.outputs[2], call.options);
    });
}

void table_atr(std::uint64_t period, nb::handle high, nb::handle low, nb::handle close, nb::handle output,
               int workers) {
    const std::vector<Table> inputs{take_table(high, "high", false), take_table(low, "low", false),
                                    take_table(close, "close", false)};
    const std::vector<Table> outputs{take_table(output, "output", true)};
    const Prepared call = prepare(inputs, outputs, workers);
    quillora::series::run_unlocked([&] {
        quillora::table_atr(period, call.shape, call.inputs[0], call.inputs[1], call.inputs[2], call.outputs[0],
                            call.options);
    });
}

}  // namespace

void bind_table_kernels(nb::module_& module) {
    using namespace nb::literals;
    // Every table argument is a (bars, symbols) float64 array with contiguous rows or columns, or a
    // list of contiguous float64 columns; outputs may be of any kind, whatever the inputs are.
    module.def("table_sma", &table_sma, "period"_a, "data"_a, "output"_a, "workers"_a = 1,
               "Simple moving average of every symbol of a table, into `output`: per symbol the bits of "
               "quillora.indicator_sma. Up to `workers` threads share the symbols, the calling one included; "
               "the interpreter lock is released while they compute.");
    module.def("table_ema", &table_ema, "period"_a, "data"_a, "output"_a, "workers"_a = 1,
               "Exponential moving average of every symbol of a table, into `output`: per symbol the bits of "
               "quillora.indicator_ema. Threads and lock as table_sma.");
    module.def("table_macd", &table_macd, "fast_period"_a, "slow_period"_a, "signal_period"_a, "data"_a,
               "macd_output"_a, "signal_output"_a, "hist_output"_a, "workers"_a = 1,
               "MACD line, signal and histogram of every symbol of a table: per symbol the bits of "
               "quillora.indicator_macd. Threads and lock as table_sma.");
    module.def("table_atr", &table_atr, "period"_a, "high"_a, "low"_a, "close"_a, "output"_a, "workers"_a = 1,
               "Average true range of every symbol of a table of bars, into `output`: per symbol the bits of "
               "quillora.indicator_atr. Threads and lock as table_sma.");
}
