// SUM: the sum of the last `period` samples, kept as a compensated running sum.
#pragma once

#include <algorithm>
#include <cstddef>
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

    // The first `period` bars are stepped (the samples leaving their windows are in the state's);
    // the rest take the sample leaving from the caller's array, with the sum in registers, and
    // the window catches up in one copy at the end. A bar's two additions run in turn, their lost
    // parts side by side in the lanes of one register.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        using regression::Lanes;
        const std::uint64_t period = window_.capacity();
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(period, length));
        step_bars(*this, in, out, 0, head);
        if (head == length) return;
        const double* x = in[0];
        double* result = out[0];
        const std::size_t lag = static_cast<std::size_t>(period);
        double sum = sum_.sum(), error = sum_.error();
        for (std::size_t i = head; i < length; ++i) {
            const double y = x[i], leaving = -x[i - lag];
            const double joined = sum + y, left = joined + leaving;
            const Lanes lost = regression::lost_parts(Lanes{sum, joined}, Lanes{y, leaving}, Lanes{joined, left});
            sum = left;
            error = (error + lost[0]) + lost[1];
            double total = sum + error;
            if (!regression::present_bits(total)) [[unlikely]] {
                const regression::CompensatedSum rebuilt = rebuild(x + (i + 1 - lag), lag);
                sum = rebuilt.sum();
                error = rebuilt.error();
                total = rebuilt.value();
            }
            result[i] = regression::present_bits(total) ? total : missing_value;
        }
        sum_ = regression::CompensatedSum(sum, error);
        window_.push_run(x + head, length - head);
    }

    void save(StateWriter& w) const {
        window_.save(w);
        sum_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return window_.load(r) && regression::all_present(window_) && sum_.load(r);
    }

private:
    // The step's rebuild over a window held in an array: the sum of `count` samples from `x`,
    // oldest first. Out of line and by value, so the run's sum never leaves its registers.
    [[gnu::noinline]] static regression::CompensatedSum rebuild(const double* x, std::size_t count) noexcept {
        regression::CompensatedSum sum;
        for (std::size_t k = 0; k < count; ++k) sum.add(x[k]);
        return sum;
    }

    Window window_;
    regression::CompensatedSum sum_;
};

}  // namespace quillora::indicators
