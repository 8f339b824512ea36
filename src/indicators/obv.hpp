// On-balance volume: a running total that adds the bar's volume when the close rose and subtracts
// it when the close fell.
#pragma once

#include <algorithm>
#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"

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
    // Row-major tables step their symbols side by side in vector lanes, reading the rows in place;
    // tables by columns keep the batch runs, which read each column in place.
    static constexpr bool table_lanes_by_rows = true;

    explicit ObvState(const Parameters&) noexcept {}

    bool lanes_ready() const noexcept { return started_; }
    static void run_lanes(ObvState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<ObvLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].previous_close_;
            fields[1][s] = states[s].balance_;
        }
        run_lane_steps(ObvLanes{}, fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            states[s].previous_close_ = fields[0][s];
            states[s].balance_ = fields[1][s];
        }
    }

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

    // After the first bar, in blocks: one pass finds each bar's change of balance (the closes' ups
    // and downs are random, so it is a select, which vectorizes, where a branch would mispredict
    // half the time), the next adds them in order. balance - volume is balance + (-volume), and
    // an unchanged close adds -0.0, which leaves every balance as it is.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        if (length == 0) return;
        std::size_t i = 0;
        if (!started_) {
            step_bars(*this, in, out, 0, 1);
            i = 1;
        }
        const double* close = in[0];
        const double* volume = in[1];
        double* result = out[0];
        double balance = balance_;
        if (i == 0) {
            balance = balance + change(close[0], previous_close_, volume[0]);
            result[0] = balance;
            i = 1;
        }
        constexpr std::size_t block = 512;
        double changes[block];
        while (i < length) {
            const std::size_t n = std::min(block, length - i);
            for (std::size_t j = 0; j < n; ++j) changes[j] = change(close[i + j], close[i + j - 1], volume[i + j]);
            for (std::size_t j = 0; j < n; ++j) {
                balance = balance + changes[j];
                result[i + j] = balance;
            }
            i += n;
        }
        balance_ = balance;
        previous_close_ = close[length - 1];
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
    static double change(double close, double previous, double volume) noexcept {
        return close > previous ? volume : (close < previous ? -volume : -0.0);
    }

    bool started_ = false;
    double previous_close_ = missing_value;
    double balance_ = missing_value;
};

}  // namespace quillora::indicators
