// Wilder's parabolic stop and reverse: a stop that trails the trend, accelerating towards each
// new extreme, and flips to the other side when price crosses it.
#pragma once

#include <cstdint>

#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: the acceleration step is min(acceleration, maximum) (a step above the
// maximum is the maximum). On the second bar the trend starts short when the low fell more than
// the high rose (down = previous low - low > 0 and up = high - previous high < down), else long;
// the stop starts at the first bar's low (long) or high (short), the extreme at the second bar's
// high (long) or low (short), the factor at the step, and the second bar is processed with itself
// as the previous bar. Each bar, long (short mirrors it with high and low, < and > swapped):
// - low <= stop: reverse. stop = extreme, raised to the previous high and then to the high if
//   below them; that is the output. factor = step, extreme = low, stop = stop + factor *
//   (extreme - stop), raised again to the previous high and the high.
// - else the output is the stop; if high > extreme: extreme = high, factor = factor + step,
//   lowered to the maximum if above it; stop = stop + factor * (extreme - stop), lowered to the
//   previous low and then to the low if above them.
// A missing bar before the first value restarts the warm-up; after it, it is skipped.
class SarState {
public:
    static constexpr const char* name = "sar";
    static constexpr const char* class_name = "SarState";
    static constexpr std::size_t inputs = 2, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.empty() && p.reals.size() == 2 && present(p.reals[0]) && present(p.reals[1]) &&
               p.reals[0] >= 0.0 && p.reals[1] >= 0.0;
    }
    explicit SarState(const Parameters& p) noexcept
        : step_(p.reals[0] > p.reals[1] ? p.reals[1] : p.reals[0]), maximum_(p.reals[1]) {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<2>(in)) {
            if (stage_ < 2) stage_ = 0;
            out[0] = missing_value;
            return;
        }
        const double high = in[0], low = in[1];
        if (stage_ == 0) {
            high_ = high;
            low_ = low;
            stage_ = 1;
            out[0] = missing_value;
            return;
        }
        if (stage_ == 1) {
            const double up = high - high_;
            const double down = low_ - low;
            long_ = !(down > 0.0 && up < down);
            if (long_) {
                extreme_ = high;
                stop_ = low_;
            } else {
                extreme_ = low;
                stop_ = high_;
            }
            factor_ = step_;
            high_ = high;
            low_ = low;
            stage_ = 2;
        }
        out[0] = long_ ? advance_long(high, low) : advance_short(high, low);
        high_ = high;
        low_ = low;
    }

    void save(StateWriter& w) const {
        w.count(stage_);
        w.count(long_ ? 1 : 0);
        w.real(high_);
        w.real(low_);
        w.real(stop_);
        w.real(extreme_);
        w.real(factor_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t is_long = 0;
        if (!r.count(stage_) || stage_ > 2 || !r.count(is_long) || is_long > 1) return false;
        long_ = is_long == 1;
        if (!(r.real(high_) && r.real(low_) && r.real(stop_) && r.real(extreme_) && r.real(factor_))) return false;
        // Running, the factor is the step or a sum of steps capped at the maximum.
        return stage_ < 2 || (factor_ >= step_ && factor_ <= maximum_);
    }

private:
    double advance_long(double high, double low) noexcept {
        if (low <= stop_) {
            long_ = false;
            double stop = extreme_;
            if (stop < high_) stop = high_;
            if (stop < high) stop = high;
            factor_ = step_;
            extreme_ = low;
            stop_ = stop + factor_ * (extreme_ - stop);
            if (stop_ < high_) stop_ = high_;
            if (stop_ < high) stop_ = high;
            return stop;
        }
        const double output = stop_;
        if (high > extreme_) {
            extreme_ = high;
            factor_ = factor_ + step_;
            if (factor_ > maximum_) factor_ = maximum_;
        }
        stop_ = stop_ + factor_ * (extreme_ - stop_);
        if (stop_ > low_) stop_ = low_;
        if (stop_ > low) stop_ = low;
        return output;
    }
    double advance_short(double high, double low) noexcept {
        if (high >= stop_) {
            long_ = true;
            double stop = extreme_;
            if (stop > low_) stop = low_;
            if (stop > low) stop = low;
            factor_ = step_;
            extreme_ = high;
            stop_ = stop + factor_ * (extreme_ - stop);
            if (stop_ > low_) stop_ = low_;
            if (stop_ > low) stop_ = low;
            return stop;
        }
        const double output = stop_;
        if (low < extreme_) {
            extreme_ = low;
            factor_ = factor_ + step_;
            if (factor_ > maximum_) factor_ = maximum_;
        }
        stop_ = stop_ + factor_ * (extreme_ - stop_);
        if (stop_ < high_) stop_ = high_;
        if (stop_ < high) stop_ = high;
        return output;
    }

    double step_, maximum_;
    std::uint64_t stage_ = 0;  // 0: no bar, 1: the first bar kept, 2: running
    bool long_ = true;
    double high_ = missing_value, low_ = missing_value;  // the previous present bar
    double stop_ = missing_value, extreme_ = missing_value, factor_ = 0.0;
};

}  // namespace quillora::indicators
