// SUM: the sum of the last `period` samples, kept as a compensated running sum.
#pragma once

#include <cstdint>

#include "compensated_sum.hpp"
#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// Order of operations: a present sample x joins a compensated sum (compensated_sum.hpp) as
// add(x); once the window holds `period` samples, each new x is add(x) then add(-oldest). The
// output is sum + error. Should that be NaN or infinite (a sample near the top of the double
// range), the sum is rebuilt from the window: cleared, then add(x) for each kept sample, oldest
// first; a window whose sum still leaves the double range gives the missing marker. A missing
// sample clears the window and the sum: the next value comes `period` present samples later.
class SumState {
public:
    static constexpr const char* name = "sum";
    static constexpr const char* class_name = "SumState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit SumState(const Parameters& p) noexcept : window_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            window_.clear();
            sum_.clear();
            out[0] = missing_value;
            return;
        }
        if (window_.full()) {
            const double oldest = window_.oldest();
            window_.push(x);
            sum_.add(x);
            sum_.add(-oldest);
        } else {
            window_.push(x);  // may grow (and throw) before anything has changed
            sum_.add(x);
        }
        double total = sum_.value();
        if (!present(total)) {
            sum_.clear();
            for (std::uint64_t i = 0; i < window_.size(); ++i) sum_.add(window_.at(i));
            total = sum_.value();
        }
        out[0] = window_.full() && present(total) ? total : missing_value;
    }

    void save(StateWriter& w) const {
        window_.save(w);
        sum_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return window_.load(r) && regression::all_present(window_) && sum_.load(r);
    }

private:
    Window window_;
    regression::CompensatedSum sum_;
};

}  // namespace quillora::indicators
