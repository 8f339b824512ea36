// Balance of power (BOP): how far the bar closed from its open, as a share of its range.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: bop = (close - open) / (high - low), and 0 where high <= low (a bar
// without a range shows no balance either way). A bar with a missing input holds the missing
// marker; no state is kept.
class BopState {
public:
    static constexpr const char* name = "bop";
    static constexpr const char* class_name = "BopState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    // Row-major tables step their symbols side by side in vector lanes, reading the rows in place;
    // tables by columns keep the batch runs, which read each column in place.
    static constexpr bool table_lanes_by_rows = true;

    explicit BopState(const Parameters&) noexcept {}

    bool lanes_ready() const noexcept { return true; }
    static void run_lanes(BopState*, std::size_t count, const BlockLanes* in, const BlockLanes* out, std::size_t bar,
                          std::size_t bars) noexcept {
        LaneFields<BopLanes> fields = {};
        run_lane_steps(BopLanes{}, fields, count, in, out[0], bar, bars);
    }

    void step(const double* in, double* out) noexcept {
        if (!present_bar<4>(in)) {
            out[0] = missing_value;
            return;
        }
        const double range = in[1] - in[2];
        out[0] = range > 0.0 ? (in[3] - in[0]) / range : 0.0;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline), where a scan
    // ahead would read the inputs twice. Two bars at a time, the range tested after the divide;
    // the bits are the step's.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *open = in[0], *high = in[1], *low = in[2], *close = in[3];
        double* result = out[0];
        for (; i + 2 <= length; i += 2) {
            const Lanes o = lanes_at(open + i), h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i);
            if (!pairs_present(o, h, l, c)) break;
            const Lanes range = h - l;
            put(result + i, blend(range > 0.0, (c - o) / range, splat(0.0)));
        }
        for (; i < length && samples_present(open[i], high[i], low[i], close[i]); ++i) {
            const double range = high[i] - low[i];
            result[i] = range > 0.0 ? (close[i] - open[i]) / range : 0.0;
        }
        return i;
    }

    void save(StateWriter&) const {}
    [[nodiscard]] bool load(StateReader&) noexcept { return true; }
};

}  // namespace quillora::indicators
