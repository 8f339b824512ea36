// On-balance volume: a running total that adds the bar's volume when the close rose and subtracts
// it when the close fell.
#pragma once

#include <cstdint>

#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: the first present bar sets balance = volume; after it, balance = balance +
// volume when close > previous close, balance = balance - volume when close < previous close, else
// unchanged. A bar with a missing close or volume is skipped (the next bar compares with the last
// present close); positions without a value hold the missing marker.
class ObvState {
public:
    static constexpr const char* name = "obv";
    static constexpr const char* class_name = "ObvState";
    static constexpr std::size_t inputs = 2, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    explicit ObvState(const Parameters&) noexcept {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<2>(in)) {
            out[0] = missing_value;
            return;
        }
        const double close = in[0], volume = in[1];
        if (!started_) {
            balance_ = volume;
            started_ = true;
        } else if (close > previous_close_) {
            balance_ = balance_ + volume;
        } else if (close < previous_close_) {
            balance_ = balance_ - volume;
        }
        previous_close_ = close;
        out[0] = balance_;
    }

    void save(StateWriter& w) const {
        w.count(started_ ? 1 : 0);
        w.real(previous_close_);
        w.real(balance_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t started = 0;
        if (!r.count(started) || started > 1 || !r.real(previous_close_) || !r.real(balance_)) return false;
        started_ = started == 1;
        return true;
    }

private:
    bool started_ = false;
    double previous_close_ = missing_value;
    double balance_ = missing_value;
};

}  // namespace quillora::indicators
