// Simple moving average kernel: the first window is summed once, then slid one sample at a time.
#include "sma.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

void compute_sma(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept {
    assert(output.size() == data.size());
    const std::size_t n = data.size();
    // A period of 0 wraps to the largest value here, so one unsigned test rejects it as well.
    if (period - 1 >= n) {
        std::fill(output.begin(), output.end(), missing_value);
        return;
    }
    const std::size_t p = period;

    // Warm-up: no full window ends before position p - 1.
    std::fill(output.begin(), output.begin() + (p - 1), missing_value);

    // The rounding of every step is part of the result: the sum starts at -0.0 and takes the
    // samples in order, each slide rounds the difference before adding it, the sum is carried to
    // the end and never recomputed, and the mean is the sum times the rounded reciprocal.
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) {
        sum = sum + data[i];
    }
    const double reciprocal = 1.0 / static_cast<double>(period);
    output[p - 1] = sum * reciprocal;

    for (std::size_t k = p; k < n; ++k) {
        const double change = data[k] - data[k - p];
        sum = sum + change;
        output[k] = sum * reciprocal;
    }
}

}  // namespace quillora
