// Exponential moving average kernel: find the seed window, seed with its mean, then blend.
#include "ema.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

void compute_ema(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept {
    assert(output.size() == data.size());
    const std::size_t n = data.size();
    // A period of 0 wraps to the largest value here, so one unsigned test rejects it as well.
    if (period - 1 >= n) {
        std::fill(output.begin(), output.end(), missing_value);
        return;
    }

    // The rounding of every step is part of the result: the seed sum starts at -0.0 and takes
    // the window in order, the seed is a true division by the period, and each blend rounds both
    // products before adding them (average * keep + x * alpha, not average + alpha * (x - average)).

    // Warm-up: the seed window is the first run of `period` consecutive finite samples. The run's
    // sum is kept as it grows and restarted by each non-finite sample, which gives the same sum
    // as adding up the window once it is found.
    double sum = -0.0;
    std::uint64_t run = 0;
    std::size_t i = 0;
    for (; i < n; ++i) {
        const double x = data[i];
        if (std::isfinite(x)) {
            sum = sum + x;
            if (++run == period) {
                break;
            }
        } else {
            sum = -0.0;
            run = 0;
        }
        output[i] = missing_value;
    }
    if (i == n) {
        return;
    }

    // Seed.
    double average = sum / static_cast<double>(period);
    output[i] = average;

    // Slide: a non-finite sample has no value and leaves the average as it was.
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double keep = 1.0 - alpha;
    for (++i; i < n; ++i) {
        const double x = data[i];
        if (std::isfinite(x)) {
            average = average * keep + x * alpha;
            output[i] = average;
        } else {
            output[i] = missing_value;
        }
    }
}

}  // namespace quillora
