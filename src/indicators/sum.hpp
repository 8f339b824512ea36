// SUM: the sum of the last `period` samples, kept as a compensated running sum.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "compensated_sum.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"
#include "window.hpp"

namespace quillora::indicators {

// SUM's step for a block's symbols side by side, from empty windows: the sample leaving is read
// `period` bars back in the table. Fields: the sum, its error and the samples held (up to period).
// A lane whose total leaves the double range is rebuilt from its window in the table, as the step
// rebuilds it.
struct SumLanes {
    static constexpr std::size_t fields = 3, inputs = 1;
    enum Field { sum, error, held };

    explicit SumLanes(std::size_t period) noexcept : lag(period), n(static_cast<double>(period)) {}
    std::size_t lag;
    double n;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value, LaneMask& broken) const noexcept {
        LaneVector x, oldest;
        lane_load(x, rows[0] + symbol);
        lane_load(oldest, rows[1] + symbol);
        LaneMask present, finite;
        lanes_finite(x, present);
        const LaneMask full = field[held] >= n;
        LaneVector total = field[sum], lost = field[error];
        lanes_add(total, lost, x);
        LaneVector left = total, left_lost = lost;
        lanes_add(left, left_lost, -oldest);
        total = full ? left : total;
        lost = full ? left_lost : lost;
        const LaneVector count = full ? field[held] : field[held] + 1.0;
        const LaneVector result = total + lost;
        lanes_finite(result, finite);
        const LaneVector empty = {-0.0, -0.0, -0.0, -0.0}, none = {};
        broken = present & ~finite;
        value = present & finite & (count >= n) ? result : lanes_missing;
        field[sum] = present ? total : empty;
        field[error] = present ? lost : empty;
        field[held] = present ? count : none;
    }

    // The step's rebuild, for the lanes `broken` marks at `bar`: the sum of the samples held,
    // oldest first, read from the table.
    [[gnu::noinline]] void repair(LaneVector* field, const BlockLanes* in, std::size_t symbol, std::size_t bar,
                                  const LaneMask& broken, LaneVector& value) const noexcept {
        for (std::size_t l = 0; l < vector_lanes; ++l) {
            if (broken[l] == 0) continue;
            const Lane lane = in[0].lanes[symbol + l];
            const std::size_t count = lanes_window_bars(field[held][l], bar, n);
            regression::CompensatedSum rebuilt;
            for (std::size_t k = bar + 1 - count; k <= bar; ++k) rebuilt.add(lane.first[k * lane.stride]);
            field[sum][l] = rebuilt.sum();
            field[error][l] = rebuilt.error();
            const double total = rebuilt.value();
            value[l] = static_cast<double>(count) >= n && present(total) ? total : missing_value;
        }
    }
};

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

    // Tables step their symbols side by side in vector lanes, in either layout: each symbol's
    // batch run waits on its sum from bar to bar.
    static constexpr bool table_lockstep = true;
    // From an empty window only: the samples before the block's first bar are not in the table.
    bool lanes_ready() const noexcept { return window_.size() == 0; }
    // Leaves the states spent (their windows are not refilled), as table blocks discard them.
    static void run_lanes(SumState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<SumLanes> fields = {};
        for (std::size_t s = 0; s < symbols_per_block; ++s)
            fields[SumLanes::sum][s] = fields[SumLanes::error][s] = -0.0;
        run_lane_steps(SumLanes(static_cast<std::size_t>(states[0].window_.capacity())), fields, count, in, out[0], bar,
                       bars);
    }

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
