// Chande momentum oscillator (CMO) in TA-Lib's form: the smoothed upward less the smoothed
// downward changes over their sum, in percent, with RSI's Wilder smoothing.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

namespace averages_detail {

// RSI's smoothed gains and losses, as RsiPart defines them and with RsiPart's saved form, open to
// a batch run. Each change is d = x - previous x; gain = d if d > 0 else 0.0, loss = -d if d < 0
// else 0.0. The seed sums start at 0.0 and add the gains and losses of the first `period` changes
// in order, then average = sum / period; after it, average = (average * (period - 1) + gain) /
// period, the same for losses, both periods converted to double once.
struct OpenWilderChanges {
    explicit OpenWilderChanges(std::uint64_t period_) noexcept
        : period(period_), period_real(static_cast<double>(period_)), kept(static_cast<double>(period_ - 1)) {}

    // Takes a present value; true once `gain` and `loss` hold the averages at this value.
    bool add(double x) noexcept {
        if (!has_previous) {
            previous = x;
            has_previous = true;
            return false;
        }
        const double change = x - previous;
        previous = x;
        const double up = change > 0.0 ? change : 0.0;
        const double down = change < 0.0 ? -change : 0.0;
        if (run < period) {
            gain = gain + up;
            loss = loss + down;
            if (++run < period) return false;
            gain = gain / period_real;
            loss = loss / period_real;
            return true;
        }
        gain = (gain * kept + up) / period_real;
        loss = (loss * kept + down) / period_real;
        return true;
    }
    bool seeded() const noexcept { return run == period; }
    // Forgets the values taken before the seed is complete; once seeded nothing changes, so the
    // next change spans the gap.
    void restart_seed() noexcept {
        if (run < period) {
            has_previous = false;
            run = 0;
            gain = 0.0;
            loss = 0.0;
        }
    }

    // Takes `length` present samples once seeded: value(gain, loss) at each goes to `result`. The
    // gain and the loss ride in the two lanes of one vector, so the two recursions share one
    // multiply, add and divide per bar, each lane with its own operations in their order.
    template <typename Value>
    void run_seeded(const double* x, double* result, std::size_t length, Value value) noexcept {
        using Lanes = double __attribute__((vector_size(16)));
        const Lanes kept_lanes = {kept, kept}, period_lanes = {period_real, period_real}, zero = {0.0, 0.0};
        Lanes averages = {gain, loss};
        double last = previous;
        for (std::size_t i = 0; i < length; ++i) {
            const double change = x[i] - last;
            last = x[i];
            // -change > 0 exactly where change < 0: the change of two present samples is never NaN.
            const Lanes moves = {change, -change};
            averages = (averages * kept_lanes + (moves > zero ? moves : zero)) / period_lanes;
            result[i] = value(averages[0], averages[1]);
        }
        gain = averages[0];
        loss = averages[1];
        previous = last;
    }

    void save(StateWriter& w) const {
        w.count(has_previous ? 1 : 0);
        w.count(run);
        w.real(previous);
        w.real(gain);
        w.real(loss);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has = 0;
        if (!r.count(has) || has > 1 || !r.count(run) || run > period) return false;
        if (has == 0 && run != 0) return false;
        has_previous = has == 1;
        return r.real(previous) && r.real(gain) && r.real(loss);
    }

    std::uint64_t period;
    double period_real, kept;
    bool has_previous = false;
    std::uint64_t run = 0;  // changes in the seed so far; `period` once seeded
    double previous = missing_value;
    double gain = 0.0, loss = 0.0;  // the seed sums, then the smoothed averages
};

}  // namespace averages_detail

// Order of operations: the gains and losses as RSI smooths them (above); then
// cmo = 100 * ((gain - loss) / (gain + loss)), and 0 when gain + loss is exactly zero (no movement
// at all). A missing sample restarts the seed before it is complete and is skipped after, so the
// next change spans the gap.
class CmoState {
public:
    static constexpr const char* name = "cmo";
    static constexpr const char* class_name = "CmoState";
    static constexpr std::size_t inputs = 1, outputs = 1;
    // Its batch run waits on a divide every bar: tables step their symbols side by side, in vector
    // lanes once all of a block's symbols are seeded.
    static constexpr bool table_lockstep = true;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit CmoState(const Parameters& p) noexcept : changes_(p.counts[0]) {}

    bool lanes_ready() const noexcept { return changes_.seeded(); }
    static void run_lanes(CmoState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<WilderChangesLanes<false>> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            const auto& changes = states[s].changes_;
            fields[0][s] = changes.previous;
            fields[1][s] = changes.gain;
            fields[2][s] = changes.loss;
        }
        const auto& first = states[0].changes_;
        run_lane_steps(WilderChangesLanes<false>(first.kept, first.period_real), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            auto& changes = states[s].changes_;
            changes.previous = fields[0][s];
            changes.gain = fields[1][s];
            changes.loss = fields[2][s];
        }
    }

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            changes_.restart_seed();
            out[0] = missing_value;
            return;
        }
        out[0] = changes_.add(x) ? of(changes_.gain, changes_.loss) : missing_value;
    }

    // Steps until seeded, then runs both recursions in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !changes_.seeded(); ++i) step_bars(*this, in, out, i, i + 1);
        changes_.run_seeded(in[0] + i, out[0] + i, length - i, of);
    }

    void save(StateWriter& w) const { changes_.save(w); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return changes_.load(r); }

private:
    static double of(double gain, double loss) noexcept {
        const double total = gain + loss;
        return total == 0.0 ? 0.0 : 100.0 * ((gain - loss) / total);
    }

    averages_detail::OpenWilderChanges changes_;
};

}  // namespace quillora::indicators
