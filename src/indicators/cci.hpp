// Commodity channel index: how far the typical price is from its mean over the window, in units
// of 0.015 times the window's mean absolute deviation.
#pragma once

#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// Order of operations: tp = ((high + low) + close) / 3.0 per bar, kept for the last `period`
// bars; n = period as a double. Each bar measures the window from its newest tp, K: s = 0.0,
// s = s + (tp_i - K) oldest first; m = s / n (the mean minus K); a = 0.0,
// a = a + |(tp_i - K) - m| oldest first; md = a / n; cci = (0.0 - m) / (0.015 * md) (the newest
// tp minus the mean), and 0.0 where md == 0.0. Measuring from K keeps every deviation exact of the
// price's magnitude, and a window of equal tp gives md == 0.0 exactly (and the newest tp is then
// its mean). O(period) per bar: the mean deviation needs the whole window. A missing bar (any
// input missing, or a typical price that overflows) clears the window; the next value comes
// `period` present bars later.
class CciState {
public:
    static constexpr const char* name = "cci";
    static constexpr const char* class_name = "CciState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit CciState(const Parameters& p) noexcept
        : typical_(p.counts[0]), period_real_(static_cast<double>(p.counts[0])) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            typical_.clear();
            out[0] = missing_value;
            return;
        }
        const double tp = ((in[0] + in[1]) + in[2]) / 3.0;
        if (!present(tp)) {  // the sum overflowed: no typical price to measure
            typical_.clear();
            out[0] = missing_value;
            return;
        }
        typical_.push(tp);
        if (!typical_.full()) {
            out[0] = missing_value;
            return;
        }
        const std::uint64_t size = typical_.size();
        const double shift = typical_.newest();
        double s = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) s = s + (typical_.at(i) - shift);
        const double mean = s / period_real_;
        double a = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) a = a + std::fabs((typical_.at(i) - shift) - mean);
        const double deviation = a / period_real_;
        out[0] = deviation == 0.0 ? 0.0 : (0.0 - mean) / (0.015 * deviation);
    }

    void save(StateWriter& w) const { typical_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!typical_.load(r)) return false;
        for (std::uint64_t i = 0; i < typical_.size(); ++i)
            if (!present(typical_.at(i))) return false;
        return true;
    }

private:
    Window typical_;
    double period_real_;
};

}  // namespace quillora::indicators
