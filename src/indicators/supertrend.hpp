// Supertrend: a trailing stop that sits a multiple of the average true range below the price
// while it rises and above it while it falls, with the direction it follows.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: atr = WilderPart(period) of the true ranges from the second bar on (first
// value on bar `period`); mid = (high + low) / 2, width = multiplier * atr, basic upper = mid +
// width, basic lower = mid - width. On the first value the bands are the basic ones and the trend
// rises. After it, with the previous bar's close: upper = basic upper if basic upper < upper or
// previous close > upper, else unchanged; lower = basic lower if basic lower > lower or previous
// close < lower, else unchanged; a rising trend turns down when close < lower, a falling one up
// when close > upper (all strict). Outputs: lower while rising, upper while falling, and the trend
// as 1 or -1. A missing bar before the first value starts everything afresh at the next present
// bar; after it, the bar is skipped (bands, trend, average and previous close unchanged).
class SupertrendState {
public:
    static constexpr const char* name = "supertrend";
    static constexpr const char* class_name = "SupertrendState";
    static constexpr std::size_t inputs = 3, outputs = 2;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.size() == 1 && p.counts[0] >= 1 && present(p.reals[0]) &&
               p.reals[0] >= 0.0;
    }
    explicit SupertrendState(const Parameters& p) noexcept : multiplier_(p.reals[0]), atr_(p.counts[0]) {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<3>(in)) {
            if (!atr_.seeded()) restart();
            missing_bar<2>(out);
            return;
        }
        const double high = in[0], low = in[1], close = in[2];
        if (!started_) {
            started_ = true;
            previous_close_ = close;
            missing_bar<2>(out);
            return;
        }
        const bool first = !atr_.seeded();
        if (!atr_.add(true_range(high, low, previous_close_))) {
            previous_close_ = close;
            missing_bar<2>(out);
            return;
        }
        const double mid = (high + low) / 2.0;
        const double width = multiplier_ * atr_.value();
        const double basic_upper = mid + width, basic_lower = mid - width;
        if (first) {
            upper_ = basic_upper;
            lower_ = basic_lower;
            rising_ = true;
        } else {
            if (basic_upper < upper_ || previous_close_ > upper_) upper_ = basic_upper;
            if (basic_lower > lower_ || previous_close_ < lower_) lower_ = basic_lower;
            if (rising_) {
                if (close < lower_) rising_ = false;
            } else if (close > upper_) {
                rising_ = true;
            }
        }
        previous_close_ = close;
        out[0] = rising_ ? lower_ : upper_;
        out[1] = rising_ ? 1.0 : -1.0;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline): it waits on
    // Wilder's chain, a divide a bar, and has room for the test beside it.
    // Steps until the average has its first value, then carries the average, the bands, the
    // trend and the previous close in locals. Whether a band tightens follows the data, so it is
    // a minimum (a maximum for the lower band) with the step's tie rule; a close beyond a band
    // and a turn of the trend are rare, and stay branches.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        for (; i < length && !atr_.seeded(); ++i) {
            if (!present_at<3>(in, i)) return i;
            step_bars(*this, in, out, i, i + 1);
        }
        if (i == length) return i;
        const std::size_t first = i;
        const double *high = in[0], *low = in[1], *close = in[2];
        double *line = out[0], *trend = out[1];
        const double multiplier = multiplier_;
        const WilderPart range = atr_;
        double atr = atr_.value();
        double previous = previous_close_, upper = upper_, lower = lower_;
        bool rising = rising_;
        for (; i < length; ++i) {
            const double h = high[i], l = low[i], c = close[i];
            if (!samples_present(h, l, c)) break;
            atr = range.next(atr, true_range(h, l, previous));
            const double mid = (h + l) / 2.0;
            const double width = multiplier * atr;
            const double basic_upper = mid + width, basic_lower = mid - width;
            const double tighter_upper = basic_upper < upper ? basic_upper : upper;
            const double tighter_lower = basic_lower > lower ? basic_lower : lower;
            upper = previous > upper ? basic_upper : tighter_upper;
            lower = previous < lower ? basic_lower : tighter_lower;
            if (rising) {
                if (c < lower) rising = false;
            } else if (c > upper) {
                rising = true;
            }
            previous = c;
            line[i] = rising ? lower : upper;
            trend[i] = rising ? 1.0 : -1.0;
        }
        atr_.resume(atr);
        // From the array, not from `previous`: stored beside the upper band, the register would be
        // packed with it, and the next bar's true range would wait on this bar's band.
        if (i > first) previous_close_ = close[i - 1];
        upper_ = upper;
        lower_ = lower;
        rising_ = rising;
        return i;
    }

    void save(StateWriter& w) const {
        w.count(started_ ? 1 : 0);
        w.count(rising_ ? 1 : 0);
        w.real(previous_close_);
        w.real(upper_);
        w.real(lower_);
        atr_.save(w);
    }
    // Refuses flags other than 0 and 1, and an average begun before any bar was taken.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t started = 0, rising = 0;
        if (!r.count(started) || started > 1 || !r.count(rising) || rising > 1 || !r.real(previous_close_) ||
            !r.real(upper_) || !r.real(lower_) || !atr_.load(r))
            return false;
        started_ = started == 1;
        rising_ = rising == 1;
        return started_ || atr_.run() == 0;
    }

private:
    void restart() noexcept {
        started_ = false;
        rising_ = true;
        previous_close_ = missing_value;
        upper_ = missing_value;
        lower_ = missing_value;
        atr_.restart();
    }

    double multiplier_;
    WilderPart atr_;
    bool started_ = false;  // a bar has been taken: its close is the previous close
    bool rising_ = true;
    double previous_close_ = missing_value;
    double upper_ = missing_value, lower_ = missing_value;
};

}  // namespace quillora::indicators
