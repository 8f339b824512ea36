// Williams' %R: where the close sits below the highest high of the last bars, as a percent of
// their range (0 at the top, -100 at the bottom).
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "stochastic.hpp"

namespace quillora::indicators {

// Order of operations: ((close - highest) / (highest - lowest)) * 100.0 over the last `period`
// bars' highs and lows, and -50.0 where the range is flat (highest == lowest, so the close is at
// both ends). (close - highest first, so the top gives 0.0, not -0.0, and the bottom exactly
// -100.0.) A missing bar (any input missing) clears the window; the next value comes `period`
// present bars later.
class WillrState {
public:
    static constexpr const char* name = "willr";
    static constexpr const char* class_name = "WillrState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit WillrState(const Parameters& p) noexcept : range_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            range_.clear();
            out[0] = missing_value;
            return;
        }
        if (!range_.add(in[0], in[1])) {
            out[0] = missing_value;
            return;
        }
        const double highest = range_.highest();
        const double range = highest - range_.lowest();
        out[0] = range == 0.0 ? -50.0 : ((in[2] - highest) / range) * 100.0;
    }

    void save(StateWriter& w) const { range_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return range_.load(r); }

private:
    RangePart range_;
};

}  // namespace quillora::indicators
