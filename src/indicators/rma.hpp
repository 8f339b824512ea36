// Wilder's moving average (RMA): the mean of the first `period` samples, then each sample blended
// in with weight 1 / period.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: the seed is s = -0.0, s = s + x over the first `period` consecutive present
// samples, average = s / period; after it, average = (average * (period - 1) + x) / period, with
// both periods converted to double once. A missing sample before the seed restarts it; after the
// seed it is skipped. Positions without a value hold the missing marker.
class RmaState {
public:
    static constexpr const char* name = "rma";
    static constexpr const char* class_name = "RmaState";
    static constexpr std::size_t inputs = 1, outputs = 1;
    // Its batch run waits on a divide every bar: tables step their symbols side by side, in vector
    // lanes once all of a block's symbols are seeded.
    static constexpr bool table_lockstep = true;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit RmaState(const Parameters& p) noexcept
        : period_(p.counts[0]),
          period_real_(static_cast<double>(p.counts[0])),
          kept_(static_cast<double>(p.counts[0] - 1)) {}

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            if (run_ < period_) restart();
            out[0] = missing_value;
            return;
        }
        if (run_ < period_) {
            sum_ = sum_ + x;
            if (++run_ < period_) {
                out[0] = missing_value;
                return;
            }
            average_ = sum_ / period_real_;
        } else {
            average_ = (average_ * kept_ + x) / period_real_;
        }
        out[0] = average_;
    }

    // Seeds by stepping, then runs the recursion with the average in a register.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && run_ < period_; ++i) step_bars(*this, in, out, i, i + 1);
        const double* x = in[0];
        double* result = out[0];
        double average = average_;
        for (; i < length; ++i) {
            average = (average * kept_ + x[i]) / period_real_;
            result[i] = average;
        }
        average_ = average;
    }

    bool lanes_ready() const noexcept { return seeded(); }
    static void run_lanes(RmaState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<WilderAverageLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) fields[0][s] = states[s].average_;
        run_lane_steps(states[0].lanes(), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) states[s].average_ = fields[0][s];
    }

    // For compound indicators running their own loop once the average is seeded: the average, the
    // recursion's next value from it and a present sample, and the average to continue from.
    bool seeded() const noexcept { return run_ == period_; }
    double average() const noexcept { return average_; }
    double blended(double average, double x) const noexcept { return (average * kept_ + x) / period_real_; }
    void resume(double average) noexcept { average_ = average; }
    WilderAverageLanes lanes() const noexcept { return {kept_, period_real_}; }

    void save(StateWriter& w) const {
        w.count(run_);
        w.real(sum_);
        w.real(average_);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return r.count(run_) && run_ <= period_ && r.real(sum_) && r.real(average_);
    }

private:
    void restart() noexcept {
        run_ = 0;
        sum_ = -0.0;
    }

    std::uint64_t period_;
    double period_real_, kept_;
    std::uint64_t run_ = 0;  // present samples in the seed so far; `period_` once seeded
    double sum_ = -0.0;
    double average_ = missing_value;
};

}  // namespace quillora::indicators
