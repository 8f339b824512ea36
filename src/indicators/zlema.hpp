// Zero-lag exponential moving average (ZLEMA): quillora's ema over the samples pushed ahead by
// their change over (period - 1) / 2 bars, which takes out most of the average's lag.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "price_oscillator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// Order of operations: lag = (period - 1) / 2 in whole bars; adjusted = 2 * x - x[lag bars ago]
// (the doubling is exact, so one rounding), the sample itself when lag is 0; zlema = ema(adjusted)
// with quillora's ema of `period` (seeded with the mean of the first `period` adjusted values).
// A missing sample empties the lag window (no adjusted value for the next `lag` samples); the
// average skips those bars, and a seed under way restarts.
class ZlemaState {
public:
    static constexpr const char* name = "zlema";
    static constexpr const char* class_name = "ZlemaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit ZlemaState(const Parameters& p) noexcept : lagged_((p.counts[0] - 1) / 2), average_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            lagged_.clear();
            average_.restart_seed();
            out[0] = missing_value;
            return;
        }
        double adjusted = x;
        if (lagged_.capacity() != 0) {
            if (!lagged_.full()) {
                lagged_.push(x);
                out[0] = missing_value;
                return;
            }
            adjusted = 2.0 * x - lagged_.oldest();
            lagged_.push(x);
        }
        out[0] = average_.add(adjusted) ? average_.average : missing_value;
    }

    // Steps the first `lag` bars (their lagged samples are in the window) and until the average is
    // seeded, then reads the lagged sample from the run itself with the average in a register.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::size_t lag = static_cast<std::size_t>(lagged_.capacity());
        std::size_t i = 0;
        for (; i < length && (i < lag || !average_.seeded()); ++i) step_bars(*this, in, out, i, i + 1);
        if (i == length) return;
        const double* x = in[0];
        double* result = out[0];
        const double alpha = average_.alpha, keep = average_.keep;
        double average = average_.average;
        if (lag == 0) {
            for (std::size_t j = i; j < length; ++j) {
                average = average * keep + x[j] * alpha;
                result[j] = average;
            }
        } else {
            for (std::size_t j = i; j < length; ++j) {
                average = average * keep + (2.0 * x[j] - x[j - lag]) * alpha;
                result[j] = average;
            }
            lagged_.push_run(x + i, length - i);
        }
        average_.average = average;
    }

    void save(StateWriter& w) const {
        lagged_.save(w);
        average_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return lagged_.load(r) && average_.load(r); }

private:
    Window lagged_;  // the last `lag` samples
    averages_detail::OpenEma average_;
};

}  // namespace quillora::indicators
