// What every declared indicator of the library is: a state advanced one bar at a time, built from
// checked parameters, saved and restored as counts and doubles. Batch series, tables, long tables
// and live states all run this one step, so every mode gives the same bits.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "missing_value.hpp"
#include "present_runs.hpp"

namespace quillora::indicators {

// An indicator's parameters in the order it declares them: whole counts (periods) in one list,
// real factors (deviations, multipliers) in the other.
struct Parameters {
    std::span<const std::uint64_t> counts;
    std::span<const double> reals;
};

// The saved form of a state: the counts and the doubles it writes, in its own order.
struct StateWriter {
    std::vector<std::uint64_t> counts;
    std::vector<double> reals;

    void count(std::uint64_t value) { counts.push_back(value); }
    void real(double value) { reals.push_back(value); }
    void real_run(std::span<const double> values) { reals.insert(reals.end(), values.begin(), values.end()); }
};

// Reads a saved form back in the order it was written; every read says whether the field was
// there, so a short or forged form is refused, never misread.
class StateReader {
public:
    StateReader(std::span<const std::uint64_t> counts, std::span<const double> reals) noexcept
        : counts_(counts), reals_(reals) {}

    [[nodiscard]] bool count(std::uint64_t& value) noexcept {
        if (next_count_ == counts_.size()) return false;
        value = counts_[next_count_++];
        return true;
    }
    [[nodiscard]] bool real(double& value) noexcept {
        if (next_real_ == reals_.size()) return false;
        value = reals_[next_real_++];
        return true;
    }
    // The next `length` doubles, checked against what is left before anything is allocated.
    [[nodiscard]] bool real_run(std::uint64_t length, std::vector<double>& values) {
        if (length > reals_.size() - next_real_) return false;
        values.assign(reals_.begin() + next_real_, reals_.begin() + next_real_ + length);
        next_real_ += length;
        return true;
    }
    // Whether every field was read: a longer form than the state writes is refused too.
    bool finished() const noexcept { return next_count_ == counts_.size() && next_real_ == reals_.size(); }

private:
    std::span<const std::uint64_t> counts_;
    std::span<const double> reals_;
    std::size_t next_count_ = 0, next_real_ = 0;
};

// One declared indicator. `inputs` samples come in per bar (a series; high, low, close; ...),
// `outputs` values go out. `valid` says whether parameters are ones the declaration accepts; the
// constructor may assume they are. `step` may throw std::bad_alloc, and only while a window grows
// (windows grow with the samples seen, so a huge period costs nothing up front). `load` runs on a
// state fresh from the same parameters and returns false for a form the state cannot have written.
template <typename S>
concept Indicator = requires(S state, const S& saved, const double* in, double* out, StateWriter& writer,
                             StateReader& reader, const Parameters& parameters) {
    { S::name } -> std::convertible_to<const char*>;
    { S::class_name } -> std::convertible_to<const char*>;
    { S::inputs } -> std::convertible_to<std::size_t>;
    { S::outputs } -> std::convertible_to<std::size_t>;
    { S::valid(parameters) } -> std::same_as<bool>;
    S(parameters);
    state.step(in, out);
    saved.save(writer);
    { state.load(reader) } -> std::same_as<bool>;
};

// A sample that counts as a value: NaN and the infinities are missing.
inline bool present(double x) noexcept { return x - x == 0.0; }

// Whether every input of a bar is present.
template <std::size_t N>
bool present_bar(const double* in) noexcept {
    for (std::size_t k = 0; k < N; ++k)
        if (!present(in[k])) return false;
    return true;
}

// Writes the missing marker to every output of a bar.
template <std::size_t N>
void missing_bar(double* out) noexcept {
    for (std::size_t k = 0; k < N; ++k) out[k] = missing_value;
}

// A state may also take a run of bars whose inputs are all present in one call,
//     void run_present(const double* const* inputs, double* const* outputs, std::size_t length)
// leaving itself and the outputs exactly as stepping each bar would. Batch calls then loop over
// the caller's arrays, where stepping pays for the state's bookkeeping (rings, flags) on every bar.
template <typename S>
concept RunsPresent = requires(S state, const double* const* in, double* const* out, std::size_t length) {
    state.run_present(in, out, length);
};

// Bars handed to `run_present` at once: the inputs of one piece stay in cache between the scan for
// missing samples and the run, and a state that steps its first `period` bars of each piece pays
// for that once per piece.
inline constexpr std::size_t present_piece = 8192;

// Steps bars [first, last) one by one (any state with `inputs`, `outputs` and `step`, the shared
// templates that declared indicators are built on included).
template <typename S>
void step_bars(S& state, const double* const* inputs, double* const* outputs, std::size_t first, std::size_t last) {
    double in[S::inputs];
    double out[S::outputs];
    for (std::size_t i = first; i < last; ++i) {
        for (std::size_t k = 0; k < S::inputs; ++k) in[k] = inputs[k][i];
        state.step(in, out);
        for (std::size_t k = 0; k < S::outputs; ++k) outputs[k][i] = out[k];
    }
}

// Batch runs that test for missing samples inside their loop: the test fits beside the loop's
// chain and divides, and the inputs are read once, where a scan ahead reads them twice (the first
// time from memory, on long series). Such a state defines
//     std::size_t run_present_from(const double* const* in, double* const* out, std::size_t first,
//                                  std::size_t length)
// (or, with one input and one output, the same over `const double* x` and `double* result`),
// taking the bars from `first` on while their inputs are present, leaving itself and the outputs
// as stepping them would, and returning the first bar it did not take (a missing one, or
// `length`); that bar is stepped, and the run goes on after it.
template <typename S>
void run_testing_inline(S& state, const double* const* in, double* const* out, std::size_t length) {
    std::size_t bar = 0;
    while (bar < length) {
        if constexpr (requires { state.run_present_from(in, out, bar, length); }) {
            bar = state.run_present_from(in, out, bar, length);
        } else {
            bar = state.run_present_from(in[0], out[0], bar, length);
        }
        if (bar == length) return;
        step_bars(state, in, out, bar, bar + 1);
        ++bar;
    }
}

// A state whose batch loop tests for missing samples itself: run_series hands it whole series
// through run_testing_inline.
template <typename S>
concept TestsInline = requires(S state, const double* const* in, double* const* out, std::size_t bar) {
    state.run_present_from(in, out, bar, bar);
} || requires(S state, const double* x, double* result, std::size_t bar) {
    state.run_present_from(x, result, bar, bar);
};

// Runs `length` bars: inputs[k][i] is input k of bar i, outputs[k][i] output k.
// A state may run whole runs itself (the core's kernels do); the bits are those of stepping.
template <Indicator S>
void run_series(S& state, const double* const* inputs, double* const* outputs, std::size_t length) {
    if constexpr (requires { state.run(inputs, outputs, length); }) {
        state.run(inputs, outputs, length);
    } else if constexpr (TestsInline<S>) {
        run_testing_inline(state, inputs, outputs, length);
    } else if constexpr (RunsPresent<S>) {
        std::size_t bar = 0;
        while (bar < length) {
            const std::size_t end = std::min(length, bar + present_piece);
            const std::size_t missing = first_missing_bar<S::inputs>(inputs, bar, end);
            if (missing > bar) {
                const double* in[S::inputs];
                double* out[S::outputs];
                for (std::size_t k = 0; k < S::inputs; ++k) in[k] = inputs[k] + bar;
                for (std::size_t k = 0; k < S::outputs; ++k) out[k] = outputs[k] + bar;
                state.run_present(in, out, missing - bar);
            }
            if (missing == end) {
                bar = end;
            } else {
                step_bars(state, inputs, outputs, missing, missing + 1);
                bar = missing + 1;
            }
        }
    } else {
        step_bars(state, inputs, outputs, 0, length);
    }
}

}  // namespace quillora::indicators

namespace quillora::indicators {

// A family of indicators, as the bindings walk them.
template <Indicator... States>
struct IndicatorList {};

}  // namespace quillora::indicators
