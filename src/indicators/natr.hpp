// Normalized average true range: Wilder's average of the true range as a percentage of the close.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"
#include "rma.hpp"
#include "trange.hpp"

namespace quillora::indicators {

// Order of operations: the true range of each bar (TrueRangePart, from the second bar on), averaged
// by RmaState(period): the mean of the first `period` true ranges, then (atr * (period - 1) + tr) /
// period; the value is (atr / close) * 100.0. A close of exactly zero has no percentage: missing.
// A bar without a true range (missing inputs, or the bar after those) is a missing sample for the
// average: it restarts the seed, and is skipped once seeded. An infinite true range (an overflowing
// difference) is missing for the average too.
class NatrState {
public:
    static constexpr const char* name = "natr";
    static constexpr const char* class_name = "NatrState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    // Its batch run waits on the average's divide every bar: tables step their symbols side by side,
    // in vector lanes once all of a block's averages are seeded.
    static constexpr bool table_lockstep = true;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit NatrState(const Parameters& p) noexcept : average_(p) {}

    bool lanes_ready() const noexcept { return average_.seeded(); }
    static void run_lanes(NatrState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<NatrLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].range_.previous_close();
            fields[1][s] = states[s].range_.has_previous() ? 1.0 : 0.0;
            fields[2][s] = states[s].average_.average();
        }
        const WilderAverageLanes average = states[0].average_.lanes();
        run_lane_steps(NatrLanes(average.kept[0], average.period[0]), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            TrueRangePart& range = states[s].range_;
            range.resume(range.value(), fields[0][s]);
            if (fields[1][s] == 0.0) range.clear();
            states[s].average_.resume(fields[2][s]);
        }
    }

    void step(const double* in, double* out) noexcept {
        double range = missing_value;
        if (present_bar<3>(in)) {
            if (range_.add(in[0], in[1], in[2])) range = range_.value();
        } else {
            range_.clear();
        }
        double atr;
        average_.step(&range, &atr);
        const double close = in[2];
        out[0] = present(atr) && close != 0.0 ? (atr / close) * 100.0 : missing_value;
    }

    // Steps until there is a previous close and the average is seeded, then one loop: the previous
    // close comes from the run, and a true range the average skips (infinite) is branched around. An
    // average that overflowed has no percentage, as in `step`.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !(range_.has_previous() && average_.seeded()); ++i) step_bars(*this, in, out, i, i + 1);
        if (i == length) return;
        const double* high = in[0];
        const double* low = in[1];
        const double* close = in[2];
        double* result = out[0];
        double previous = range_.previous_close(), range = range_.value(), atr = average_.average();
        for (; i < length; ++i) {
            range = TrueRangePart::of(high[i], low[i], previous);
            previous = close[i];
            // A branch, not a select: it goes one way but for an overflowing bar, and so stays out
            // of the average's chain from bar to bar.
            if (present(range)) {
                atr = average_.blended(atr, range);
                result[i] = present(atr) && previous != 0.0 ? (atr / previous) * 100.0 : missing_value;
            } else {
                result[i] = missing_value;
            }
        }
        range_.resume(range, previous);
        average_.resume(atr);
    }

    void save(StateWriter& w) const {
        range_.save(w);
        average_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return range_.load(r) && average_.load(r); }

private:
    TrueRangePart range_;
    RmaState average_;
};

}  // namespace quillora::indicators
