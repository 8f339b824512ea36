// Volume-weighted average price (VWAP) from the first bar: the typical prices weighted by volume.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: typical = (high + low + close) / 3, left to right; from 0.0, priced =
// priced + typical * volume and volume = volume + bar's volume; vwap = priced / volume. Until some
// volume has traded (the volumes so far sum to 0) there is no average price: the missing marker.
// A bar with a missing input is skipped (sums unchanged) and holds the missing marker.
class VwapState {
public:
    static constexpr const char* name = "vwap";
    static constexpr const char* class_name = "VwapState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    // Row-major tables step their symbols side by side in vector lanes, reading the rows in place;
    // tables by columns keep the batch runs, which read each column in place.
    static constexpr bool table_lanes_by_rows = true;

    explicit VwapState(const Parameters&) noexcept {}

    bool lanes_ready() const noexcept { return true; }
    static void run_lanes(VwapState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<VwapLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].priced_;
            fields[1][s] = states[s].volume_;
        }
        run_lane_steps(VwapLanes{}, fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            states[s].priced_ = fields[0][s];
            states[s].volume_ = fields[1][s];
        }
    }

    void step(const double* in, double* out) noexcept {
        if (!present_bar<4>(in)) {
            out[0] = missing_value;
            return;
        }
        const double typical = (in[0] + in[1] + in[2]) / 3.0;
        priced_ = priced_ + typical * in[3];
        volume_ = volume_ + in[3];
        out[0] = volume_ == 0.0 ? missing_value : priced_ / volume_;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline), where a scan
    // ahead would read the inputs twice. Two bars at a time: their typical prices, priced
    // volumes and averages vectorize around the two chains of adds, the sums in registers.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2], *volume = in[3];
        double* result = out[0];
        Lanes sums = {priced_, volume_};  // {priced volume, volume}
        for (; i + 2 <= length; i += 2) {
            const Lanes h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i),
                        v = lanes_at(volume + i);
            if (!pairs_present(h, l, c, v)) break;
            const Lanes priced_volumes = (h + l + c) / 3.0 * v;
            const Lanes first_sums = sums + __builtin_shufflevector(priced_volumes, v, 0, 2);
            sums = first_sums + __builtin_shufflevector(priced_volumes, v, 1, 3);
            const Lanes traded = __builtin_shufflevector(first_sums, sums, 1, 3);
            const Lanes average = __builtin_shufflevector(first_sums, sums, 0, 2) / traded;
            put(result + i, blend(traded == 0.0, splat(missing_value), average));
        }
        for (; i < length && samples_present(high[i], low[i], close[i], volume[i]); ++i) {
            sums = sums + Lanes{(high[i] + low[i] + close[i]) / 3.0 * volume[i], volume[i]};
            result[i] = sums[1] == 0.0 ? missing_value : sums[0] / sums[1];
        }
        priced_ = sums[0];
        volume_ = sums[1];
        return i;
    }

    void save(StateWriter& w) const {
        w.real(priced_);
        w.real(volume_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept { return r.real(priced_) && r.real(volume_); }

private:
    double priced_ = 0.0, volume_ = 0.0;
};

}  // namespace quillora::indicators
