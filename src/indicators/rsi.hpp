// Relative strength index in Wilder's form: the share of the smoothed upward changes in all the
// smoothed changes, in percent.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: each change is d = x - previous x; gain = d if d > 0 else 0.0, loss = -d if
// d < 0 else 0.0. The seed sums start at 0.0 and add the gains and losses of the first `period`
// changes in order, then average = sum / period; after it, average = (average * (period - 1) +
// gain) / period, the same for losses, both periods converted to double once. The value is
// 100 * (gain / (gain + loss)), and 50 when gain + loss is exactly zero (no movement at all).
//
// Takes one present value at a time, so other indicators can chain it; what a missing sample does
// is the caller's rule (`restart_seed` for a chain that skips missing samples).
class RsiPart {
public:
    explicit RsiPart(std::uint64_t period) noexcept
        : period_(period), period_real_(static_cast<double>(period)), kept_(static_cast<double>(period - 1)) {}

    // Takes a present value; true once `value()` holds the RSI at this value.
    bool add(double x) noexcept {
        if (!has_previous_) {
            previous_ = x;
            has_previous_ = true;
            return false;
        }
        const double change = x - previous_;
        previous_ = x;
        const double gain = change > 0.0 ? change : 0.0;
        const double loss = change < 0.0 ? -change : 0.0;
        if (run_ < period_) {
            gain_ = gain_ + gain;
            loss_ = loss_ + loss;
            if (++run_ < period_) return false;
            gain_ = gain_ / period_real_;
            loss_ = loss_ / period_real_;
            return true;
        }
        gain_ = (gain_ * kept_ + gain) / period_real_;
        loss_ = (loss_ * kept_ + loss) / period_real_;
        return true;
    }
    bool seeded() const noexcept { return run_ == period_; }
    // For tables stepping seeded symbols side by side: the previous value and both averages, and
    // the periods as doubles.
    void to_lanes(LaneFields<WilderChangesLanes<true>>& fields, std::size_t symbol) const noexcept {
        fields[0][symbol] = previous_;
        fields[1][symbol] = gain_;
        fields[2][symbol] = loss_;
    }
    void from_lanes(const LaneFields<WilderChangesLanes<true>>& fields, std::size_t symbol) noexcept {
        previous_ = fields[0][symbol];
        gain_ = fields[1][symbol];
        loss_ = fields[2][symbol];
    }
    WilderChangesLanes<true> lanes() const noexcept { return {kept_, period_real_}; }
    // Takes `length` present values once seeded, writing the RSI at each to `out`, as `add` then
    // `value` would; the previous value and both averages stay in registers.
    void add_seeded_run(const double* x, double* out, std::size_t length) noexcept {
        double previous = previous_, gain = gain_, loss = loss_;
        for (std::size_t i = 0; i < length; ++i) {
            const double change = x[i] - previous;
            previous = x[i];
            const double up = change > 0.0 ? change : 0.0;
            const double down = change < 0.0 ? -change : 0.0;
            gain = (gain * kept_ + up) / period_real_;
            loss = (loss * kept_ + down) / period_real_;
            const double total = gain + loss;
            out[i] = total == 0.0 ? 50.0 : 100.0 * (gain / total);
        }
        previous_ = previous;
        gain_ = gain;
        loss_ = loss;
    }
    // The RSI after the last value taken; meaningful once `add` returned true.
    double value() const noexcept {
        const double total = gain_ + loss_;
        return total == 0.0 ? 50.0 : 100.0 * (gain_ / total);
    }
    // Forgets the values taken before the seed is complete (a missing sample inside it); once
    // seeded, nothing changes, so the next change spans the gap.
    void restart_seed() noexcept {
        if (run_ < period_) {
            has_previous_ = false;
            run_ = 0;
            gain_ = 0.0;
            loss_ = 0.0;
        }
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.count(run_);
        w.real(previous_);
        w.real(gain_);
        w.real(loss_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.count(run_) || run_ > period_) return false;
        if (has_previous == 0 && run_ != 0) return false;
        has_previous_ = has_previous == 1;
        return r.real(previous_) && r.real(gain_) && r.real(loss_);
    }

private:
    std::uint64_t period_;
    double period_real_, kept_;
    bool has_previous_ = false;
    std::uint64_t run_ = 0;  // changes in the seed so far; `period_` once seeded
    double previous_ = missing_value;
    double gain_ = 0.0, loss_ = 0.0;  // the seed sums, then the smoothed averages
};

// A missing sample is skipped once the seed is complete (the next change spans the gap) and
// restarts the seed before that. Positions without a value hold the missing marker.
class RsiState {
public:
    static constexpr const char* name = "rsi";
    static constexpr const char* class_name = "RsiState";
    static constexpr std::size_t inputs = 1, outputs = 1;
    // Its batch run waits on a divide every bar: tables step their symbols side by side, in vector
    // lanes once all of a block's symbols are seeded.
    static constexpr bool table_lockstep = true;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit RsiState(const Parameters& p) noexcept : rsi_(p.counts[0]) {}

    bool lanes_ready() const noexcept { return rsi_.seeded(); }
    static void run_lanes(RsiState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<WilderChangesLanes<true>> fields = {};
        for (std::size_t s = 0; s < count; ++s) states[s].rsi_.to_lanes(fields, s);
        run_lane_steps(states[0].rsi_.lanes(), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) states[s].rsi_.from_lanes(fields, s);
    }

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            rsi_.restart_seed();
            out[0] = missing_value;
            return;
        }
        out[0] = rsi_.add(x) ? rsi_.value() : missing_value;
    }

    // Seeds by stepping, then the smoothing in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !rsi_.seeded(); ++i) step_bars(*this, in, out, i, i + 1);
        if (i < length) rsi_.add_seeded_run(in[0] + i, out[0] + i, length - i);
    }

    void save(StateWriter& w) const { rsi_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return rsi_.load(r); }

private:
    RsiPart rsi_;
};

}  // namespace quillora::indicators
