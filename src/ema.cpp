// Exponential moving average kernel: find the seed window, seed with its mean, then blend.
#include "ema.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

EmaState::EmaState(std::uint64_t period) noexcept
    : period_(period),
      alpha_(2.0 / (static_cast<double>(period) + 1.0)),
      keep_(1.0 - alpha_),
      average_(missing_value) {}

void EmaState::run(std::span<const double> data, std::span<double> output) noexcept {
    assert(output.size() == data.size());
    const std::size_t n = data.size();
    if (period_ == 0) {
        std::fill(output.begin(), output.end(), missing_value);
        return;
    }

    // The rounding of every step is part of the result: the seed sum starts at -0.0 and takes
    // the window in order, the seed is a true division by the period, and each blend rounds both
    // products before adding them (average * keep + x * alpha, not average + alpha * (x - average)).

    std::size_t i = 0;
    if (finite_run_ < period_) {
        // Warm-up: the seed window is the first run of `period` consecutive finite samples. The
        // run's sum is kept as it grows and restarted by each non-finite sample, which gives the
        // same sum as adding up the window once it is found.
        double sum = seed_sum_;
        std::uint64_t run = finite_run_;
        for (; i < n; ++i) {
            const double x = data[i];
            if (std::isfinite(x)) {
                sum = sum + x;
                if (++run == period_) {
                    break;
                }
            } else {
                sum = -0.0;
                run = 0;
            }
            output[i] = missing_value;
        }
        seed_sum_ = sum;
        finite_run_ = run;
        if (i == n) {
            return;
        }

        // Seed.
        average_ = sum / static_cast<double>(period_);
        output[i] = average_;
        ++i;
    }

    // Slide: a non-finite sample has no value and leaves the average as it was.
    double average = average_;
    const double alpha = alpha_;
    const double keep = keep_;
    for (; i < n; ++i) {
        const double x = data[i];
        if (std::isfinite(x)) {
            average = average * keep + x * alpha;
            output[i] = average;
        } else {
            output[i] = missing_value;
        }
    }
    average_ = average;
}

std::optional<EmaState> EmaState::restore(std::uint64_t period, std::uint64_t finite_run, double seed_sum,
                                          double average) noexcept {
    if (finite_run > period) {
        return std::nullopt;
    }
    EmaState state(period);
    state.finite_run_ = finite_run;
    state.seed_sum_ = seed_sum;
    state.average_ = average;
    return state;
}

void compute_ema(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept {
    EmaState(period).run(data, output);
}

}  // namespace quillora
