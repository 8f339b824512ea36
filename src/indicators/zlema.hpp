// Zero-lag exponential moving average (ZLEMA): quillora's ema over the samples pushed ahead by
// their change over (period - 1) / 2 bars, which takes out most of the average's lag.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "parts.hpp"
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
        out[0] = average_.add(adjusted) ? average_.value() : missing_value;
    }

    void save(StateWriter& w) const {
        lagged_.save(w);
        average_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return lagged_.load(r) && average_.load(r); }

private:
    Window lagged_;  // the last `lag` samples
    EmaPart average_;
};

}  // namespace quillora::indicators
