// Wilder's parabolic stop and reverse: a stop that trails the trend, accelerating towards each
// new extreme, and flips to the other side when price crosses it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "trend_parts.hpp"

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
        Trail<double> trail{stop_, extreme_, factor_};
        if (long_) {
            if (low <= stop_) {
                out[0] = reverse_long(trail, high, low, high_, step_);
                long_ = false;
            } else {
                out[0] = follow_long(trail, high, low, low_, step_, maximum_);
            }
        } else {
            if (high >= stop_) {
                out[0] = reverse_short(trail, high, low, low_, step_);
                long_ = true;
            } else {
                out[0] = follow_short(trail, high, low, high_, step_, maximum_);
            }
        }
        keep(trail);
        high_ = high;
        low_ = low;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline): the loop waits on
    // the stop's chain, and a scan ahead would read the inputs a second time, from memory on long
    // series. Steps through the warm-up, then follows each trend in a loop of its own that leaves
    // at a reversal or a missing sample, both tested in one branch. The trail runs in both lanes
    // of a register, each holding the same value: the selects (a new extreme comes as randomly
    // as the prices) are then masks, not branches.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        for (; i < length && stage_ < 2; ++i) step_bar<2, 1>(*this, in, out, i);
        const double* high = in[0];
        const double* low = in[1];
        double* result = out[0];
        const TwoLanes step = both(step_), maximum = both(maximum_);
        Trail<TwoLanes> trail{both(stop_), both(extreme_), both(factor_)};
        double previous_high = high_, previous_low = low_;
        bool is_long = long_;
        while (i < length) {
            // One branch for a reversal and a missing sample; which it was is told after the loop.
            if (is_long) {
                for (; i < length && !(low[i] <= trail.stop[0]) & samples_present(high[i], low[i]); ++i) {
                    result[i] = follow_long(trail, both(high[i]), both(low[i]), both(previous_low), step, maximum)[0];
                    previous_high = high[i];
                    previous_low = low[i];
                }
            } else {
                for (; i < length && !(high[i] >= trail.stop[0]) & samples_present(high[i], low[i]); ++i) {
                    result[i] = follow_short(trail, both(high[i]), both(low[i]), both(previous_high), step, maximum)[0];
                    previous_high = high[i];
                    previous_low = low[i];
                }
            }
            if (i == length || !samples_present(high[i], low[i])) break;
            result[i] = (is_long ? reverse_long(trail, both(high[i]), both(low[i]), both(previous_high), step)
                                 : reverse_short(trail, both(high[i]), both(low[i]), both(previous_low), step))[0];
            is_long = !is_long;
            previous_high = high[i];
            previous_low = low[i];
            ++i;
        }
        keep(Trail<double>{trail.stop[0], trail.extreme[0], trail.factor[0]});
        long_ = is_long;
        high_ = previous_high;
        low_ = previous_low;
        return i;
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
    // What follows the trend from bar to bar: the stop, the extreme and the factor; in doubles,
    // or in both lanes of a register.
    template <typename T>
    struct Trail {
        T stop, extreme, factor;
    };

    static TwoLanes both(double x) noexcept { return TwoLanes{x, x}; }
    static double pick(bool c, double a, double b) noexcept { return c ? a : b; }
    static TwoLanes pick(TwoMask c, TwoLanes a, TwoLanes b) noexcept { return c ? a : b; }

    // The stop lowered to a, then to b, where above them: the same as lowered once to the lower
    // of a and b (b where b < a), and that comes off the stop's chain. Both keep the stop on a
    // tie, and the lower of two equal bounds is the first, so even the zero's sign agrees.
    template <typename T>
    static T lowered(T stop, T a, T b) noexcept {
        const T bound = pick(a > b, b, a);
        return pick(stop > bound, bound, stop);
    }
    template <typename T>
    static T raised_to(T stop, T a, T b) noexcept {
        const T bound = pick(a < b, b, a);
        return pick(stop < bound, bound, stop);
    }

    // A long bar that did not reach the stop: its output is the stop before the bar.
    template <typename T>
    static T follow_long(Trail<T>& t, T high, T low, T previous_low, T step, T maximum) noexcept {
        const T output = t.stop;
        const auto higher = high > t.extreme;
        const T raised = t.factor + step;
        t.factor = pick(higher, pick(raised > maximum, maximum, raised), t.factor);
        t.extreme = pick(higher, high, t.extreme);
        t.stop = lowered(t.stop + t.factor * (t.extreme - t.stop), previous_low, low);
        return output;
    }
    template <typename T>
    static T follow_short(Trail<T>& t, T high, T low, T previous_high, T step, T maximum) noexcept {
        const T output = t.stop;
        const auto lower = low < t.extreme;
        const T raised = t.factor + step;
        t.factor = pick(lower, pick(raised > maximum, maximum, raised), t.factor);
        t.extreme = pick(lower, low, t.extreme);
        t.stop = raised_to(t.stop + t.factor * (t.extreme - t.stop), previous_high, high);
        return output;
    }
    // A long bar whose low reached the stop: the trend turns short; the output is the stop it
    // turns at.
    template <typename T>
    static T reverse_long(Trail<T>& t, T high, T low, T previous_high, T step) noexcept {
        const T stop = raised_to(t.extreme, previous_high, high);
        t.factor = step;
        t.extreme = low;
        t.stop = raised_to(stop + t.factor * (t.extreme - stop), previous_high, high);
        return stop;
    }
    template <typename T>
    static T reverse_short(Trail<T>& t, T high, T low, T previous_low, T step) noexcept {
        const T stop = lowered(t.extreme, previous_low, low);
        t.factor = step;
        t.extreme = high;
        t.stop = lowered(stop + t.factor * (t.extreme - stop), previous_low, low);
        return stop;
    }
    void keep(const Trail<double>& t) noexcept {
        stop_ = t.stop;
        extreme_ = t.extreme;
        factor_ = t.factor;
    }

    double step_, maximum_;
    std::uint64_t stage_ = 0;  // 0: no bar, 1: the first bar kept, 2: running
    bool long_ = true;
    double high_ = missing_value, low_ = missing_value;  // the previous present bar
    double stop_ = missing_value, extreme_ = missing_value, factor_ = 0.0;
};

}  // namespace quillora::indicators
