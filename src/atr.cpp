// Average true range kernel: the mean of the first true ranges, then a recursive smoothing.
#include "atr.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

namespace {

// The larger of two terms when the first is not NaN: the second wins only when strictly larger,
// so a tie keeps the first and a NaN second is passed over. Compiles to one branch-free maximum.
double larger(double first, double second) noexcept { return second > first ? second : first; }

// The maximum of the true range: passes over a NaN first term, otherwise as `larger`.
double max_skipping_nan(double first, double second) noexcept {
    return std::isnan(first) ? second : larger(first, second);
}

// True range of a bar: max(max(range, high gap), low gap) with the maximum above. When the
// range is a number so is every maximum after it, and the NaN tests drop out; testing the range
// alone keeps the hot path to two plain maxima and one rarely taken branch.
inline double true_range(double high, double low, double previous_close) noexcept {
    const double range = high - low;
    const double high_gap = std::fabs(high - previous_close);
    const double low_gap = std::fabs(low - previous_close);
    if (std::isnan(range)) {
        return max_skipping_nan(high_gap, low_gap);
    }
    return larger(larger(range, high_gap), low_gap);
}

}  // namespace

AtrState::AtrState(std::uint64_t period) noexcept
    : period_(period),
      weight_(1.0 / static_cast<double>(period)),
      average_(missing_value),
      previous_close_(missing_value) {}

void AtrState::run(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                   std::span<double> output) noexcept {
    assert(high.size() == output.size() && low.size() == output.size() && close.size() == output.size());
    const std::size_t n = output.size();
    if (period_ == 0) {
        std::fill(output.begin(), output.end(), missing_value);
        seen_ += n;
        return;
    }
    if (n == 0) {
        return;
    }
    const std::uint64_t p = period_;
    const std::uint64_t first = seen_;
    std::size_t i = 0;

    // Bar 0 has no true range: its close only serves as the previous close of bar 1.
    if (first == 0) {
        output[0] = missing_value;
        i = 1;
    }

    // The rounding of every step is part of the result: the first average is a plain sum from
    // +0.0 divided by the period; each smoothing step is (TR - A) first, then times the rounded
    // weight, then added to A.

    // Warm-up: bars 1 to p add up their true ranges; the first average lands at bar p.
    if (first + i <= p) {
        const std::uint64_t due = p - (first + i) + 1;  // warm-up bars left, bar p included
        const bool completes = due <= n - i;
        const std::size_t end = completes ? i + static_cast<std::size_t>(due) : n;
        double sum = sum_;
        for (; i < end; ++i) {
            sum = sum + true_range(high[i], low[i], i == 0 ? previous_close_ : close[i - 1]);
            output[i] = missing_value;
        }
        sum_ = sum;
        if (completes) {
            average_ = sum / static_cast<double>(p);
            output[end - 1] = average_;
        }
    }

    // Smoothing; the first bar of a later chunk takes its previous close from the chunk before.
    double average = average_;
    const double weight = weight_;
    if (i == 0) {
        average = average + (true_range(high[0], low[0], previous_close_) - average) * weight;
        output[0] = average;
        i = 1;
    }
    for (; i < n; ++i) {
        average = average + (true_range(high[i], low[i], close[i - 1]) - average) * weight;
        output[i] = average;
    }
    average_ = average;
    previous_close_ = close[n - 1];
    seen_ = first + n;
}

AtrState AtrState::restore(std::uint64_t period, std::uint64_t seen, double sum, double average,
                           double previous_close) noexcept {
    AtrState state(period);
    state.seen_ = seen;
    state.sum_ = sum;
    state.average_ = average;
    state.previous_close_ = previous_close;
    return state;
}

void compute_atr(std::uint64_t period, std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::span<double> output) noexcept {
    AtrState(period).run(high, low, close, output);
}

}  // namespace quillora
