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
double larger(double first, double second) noexcept {
    return second > first ? second : first;
}

// The maximum of the true range: passes over a NaN first term, otherwise as `larger`.
double max_skipping_nan(double first, double second) noexcept {
    return std::isnan(first) ? second : larger(first, second);
}

// True range of bar i >= 1: max(max(range, high gap), low gap) with the maximum above. When the
// range is a number so is every maximum after it, and the NaN tests drop out; testing the range
// alone keeps the hot path to two plain maxima and one rarely taken branch.
inline double true_range(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, std::size_t i) noexcept {
    const double range = high[i] - low[i];
    const double high_gap = std::fabs(high[i] - close[i - 1]);
    const double low_gap = std::fabs(low[i] - close[i - 1]);
    if (std::isnan(range)) {
        return max_skipping_nan(high_gap, low_gap);
    }
    return larger(larger(range, high_gap), low_gap);
}

}  // namespace

void compute_atr(std::uint64_t period, std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::span<double> output) noexcept {
    assert(high.size() == output.size() && low.size() == output.size() &&
           close.size() == output.size());
    const std::size_t n = output.size();
    if (period == 0 || period >= n) {
        std::fill(output.begin(), output.end(), missing_value);
        return;
    }
    const std::size_t p = period;

    // Warm-up: bar 0 has no true range, so the first average lands at index p.
    std::fill(output.begin(), output.begin() + p, missing_value);

    // The rounding of every step is part of the result: the first average is a plain sum from
    // +0.0 divided by the period; each smoothing step is (TR - A) first, then times the rounded
    // weight, then added to A.
    double sum = 0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        sum = sum + true_range(high, low, close, i);
    }
    double average = sum / static_cast<double>(period);
    output[p] = average;

    const double weight = 1.0 / static_cast<double>(period);
    for (std::size_t j = p + 1; j < n; ++j) {
        average = average + (true_range(high, low, close, j) - average) * weight;
        output[j] = average;
    }
}

}  // namespace quillora
