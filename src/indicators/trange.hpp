// True range: the bar's range widened to take in the previous close.
#pragma once

#include <cmath>
#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: greatest = high - low; then |high - previous close| and |low - previous
// close|, each taken instead when strictly greater. Needs the bar before: the first bar, and the
// first after a missing one, have none. Takes present bars; `clear` forgets the previous close (a
// missing bar).
class TrueRangePart {
public:
    // Takes a present bar; true once `value()` holds its true range.
    bool add(double high, double low, double close) noexcept {
        const bool had_previous = has_previous_;
        if (had_previous) range_ = of(high, low, previous_close_);
        previous_close_ = close;
        has_previous_ = true;
        return had_previous;
    }
    double value() const noexcept { return range_; }
    // Takes `length` present bars, writing each one's true range to `out` (missing for the first
    // when there is no bar before it), as `add` then `value` would. Past the first bar the previous
    // close is read from the run, and the strict comparisons are selects.
    void add_run(const double* high, const double* low, const double* close, double* out, std::size_t length) noexcept {
        if (length == 0) return;
        out[0] = add(high[0], low[0], close[0]) ? range_ : missing_value;
        if (length == 1) return;
        for (std::size_t i = 1; i < length; ++i) out[i] = of(high[i], low[i], close[i - 1]);
        range_ = out[length - 1];
        previous_close_ = close[length - 1];
    }
    void clear() noexcept { has_previous_ = false; }
    bool has_previous() const noexcept { return has_previous_; }
    double previous_close() const noexcept { return previous_close_; }
    // Continues after a caller's own loop over present bars: the last bar's true range and close.
    void resume(double range, double close) noexcept {
        range_ = range;
        previous_close_ = close;
        has_previous_ = true;
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_close_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.real(previous_close_)) return false;
        has_previous_ = has_previous == 1;
        return true;
    }

    // The true range of a bar after the bar closing at `previous_close`.
    static double of(double high, double low, double previous_close) noexcept {
        double greatest = high - low;
        const double high_gap = std::fabs(high - previous_close);
        greatest = high_gap > greatest ? high_gap : greatest;
        const double low_gap = std::fabs(low - previous_close);
        greatest = low_gap > greatest ? low_gap : greatest;
        return greatest;
    }

private:
    bool has_previous_ = false;
    double previous_close_ = missing_value;
    double range_ = missing_value;
};

// A bar with a missing input has no true range, nor has the bar after it (its previous close is
// unknown); the one after that has one again.
class TrangeState {
public:
    static constexpr const char* name = "trange";
    static constexpr const char* class_name = "TrangeState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    // Row-major tables step their symbols side by side in vector lanes, reading the rows in place;
    // tables by columns keep the batch runs, which read each column in place.
    static constexpr bool table_lanes_by_rows = true;

    explicit TrangeState(const Parameters&) noexcept {}

    bool lanes_ready() const noexcept { return true; }
    static void run_lanes(TrangeState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<TrueRangeLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].range_.previous_close();
            fields[1][s] = states[s].range_.has_previous() ? 1.0 : 0.0;
        }
        run_lane_steps(TrueRangeLanes{}, fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            TrueRangePart& range = states[s].range_;
            range.resume(range.value(), fields[0][s]);
            if (fields[1][s] == 0.0) range.clear();
        }
    }

    void step(const double* in, double* out) noexcept {
        if (!present_bar<3>(in)) {
            range_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = range_.add(in[0], in[1], in[2]) ? range_.value() : missing_value;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline): a true range is
    // a few operations on three loads, so a scan ahead reading the inputs again would cost as much.
    // Two bars at a time, the previous closes read from the run (the first from the state), the
    // strict comparisons as selects lane by lane.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2];
        double* result = out[0];
        if (i == length || !samples_present(high[i], low[i], close[i])) return i;
        if (!range_.has_previous()) {
            step_bars(*this, in, out, i, i + 1);
            if (++i == length || !samples_present(high[i], low[i], close[i])) return i;
        }
        result[i] = TrueRangePart::of(high[i], low[i], range_.previous_close());
        ++i;
        const Mask magnitude = {0x7fffffffffffffff, 0x7fffffffffffffff};
        for (; i + 2 <= length; i += 2) {
            const Lanes h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i);
            if (!pairs_present(h, l, c)) break;
            const Lanes previous = lanes_at(close + i - 1);
            Lanes greatest = h - l;
            const Lanes high_gap = reinterpret_cast<Lanes>(reinterpret_cast<Mask>(h - previous) & magnitude);
            greatest = blend(high_gap > greatest, high_gap, greatest);
            const Lanes low_gap = reinterpret_cast<Lanes>(reinterpret_cast<Mask>(l - previous) & magnitude);
            put(result + i, blend(low_gap > greatest, low_gap, greatest));
        }
        for (; i < length && samples_present(high[i], low[i], close[i]); ++i)
            result[i] = TrueRangePart::of(high[i], low[i], close[i - 1]);
        range_.resume(result[i - 1], close[i - 1]);
        return i;
    }

    void save(StateWriter& w) const { range_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return range_.load(r); }

private:
    TrueRangePart range_;
};

}  // namespace quillora::indicators
