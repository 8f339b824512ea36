// Chaikin money flow (CMF): the money flow volume of the last `period` bars over their volume.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// CMF's step for a block's symbols side by side, from empty windows: the bar leaving is read
// `period` bars back in the table and its flow computed again (the same bits). Fields: the two
// sums, the bars of the window with a nonzero volume and the bars held (up to period), counts
// as doubles (exact).
struct CmfLanes {
    static constexpr std::size_t fields = 4, inputs = 4;
    enum Field { flows, volumes, trading, held };

    explicit CmfLanes(std::size_t period) noexcept : lag(period), n(static_cast<double>(period)) {}
    std::size_t lag;
    double n;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[4], oldest[4];
        LaneMask present;
        lanes_present<4>(rows, symbol, bar, present);
        for (std::size_t k = 0; k < 4; ++k) lane_load(oldest[k], rows[4 + k] + symbol);
        LaneVector flow, oldest_flow;
        lanes_money_flow(bar, flow);
        lanes_money_flow(oldest, oldest_flow);
        const LaneVector zero = {}, one = {1.0, 1.0, 1.0, 1.0};
        const LaneMask full = field[held] >= n;
        LaneVector flow_sum = full ? (field[flows] - oldest_flow) + flow : field[flows] + flow;
        LaneVector volume_sum = full ? (field[volumes] - oldest[3]) + bar[3] : field[volumes] + bar[3];
        const LaneVector left_trading = full & (oldest[3] != zero) ? field[trading] - one : field[trading];
        const LaneVector now_trading = bar[3] != zero ? left_trading + one : left_trading;
        const LaneMask quiet = now_trading == zero;
        flow_sum = quiet ? zero : flow_sum;
        volume_sum = quiet ? zero : volume_sum;
        const LaneVector count = full ? field[held] : field[held] + one;
        const LaneVector result = volume_sum == zero ? zero : flow_sum / volume_sum;
        value = present & (count >= n) ? result : lanes_missing;
        field[flows] = present ? flow_sum : zero;
        field[volumes] = present ? volume_sum : zero;
        field[trading] = present ? now_trading : zero;
        field[held] = present ? count : zero;
    }
};

// Order of operations: flow = ((close - low) - (high - close)) / (high - low) * volume, left to
// right, 0 where high <= low. Running sums from 0.0: sum = sum + flow while the window fills,
// sum = sum - oldest + flow once full (the same for volume); cmf = flows / volumes, and 0 where
// the volumes sum to 0. While every bar of the window has zero volume both sums are set to 0.0, so
// no rounding left over from earlier bars survives a quiet stretch. A missing bar empties the
// window: its position and the next period - 1 hold the missing marker.
class CmfState {
public:
    static constexpr const char* name = "cmf";
    static constexpr const char* class_name = "CmfState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit CmfState(const Parameters& p) noexcept : bars_(p.counts[0]) {}

    // Row-major tables step their symbols side by side in vector lanes, read in place; tables by
    // columns keep the batch runs (eight streams through tiles cost more than the lanes save).
    static constexpr bool table_lanes_by_rows = true;
    // From an empty window only: the bars before the block's first are not in the table.
    bool lanes_ready() const noexcept { return bars_.size() == 0; }
    // Leaves the states spent (their windows are not refilled), as table blocks discard them.
    static void run_lanes(CmfState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<CmfLanes> fields = {};
        run_lane_steps(CmfLanes(static_cast<std::size_t>(states[0].bars_.capacity())), fields, count, in, out[0], bar,
                       bars);
    }

    void step(const double* in, double* out) {
        if (!present_bar<4>(in)) {
            clear();
            out[0] = missing_value;
            return;
        }
        const double volume = in[3];
        const double flow = money_flow_volume(in[0], in[1], in[2], volume);
        bars_.reserve_one();
        if (bars_.full()) {
            const Bar oldest = bars_.front();
            bars_.pop_front();
            flows_ = flows_ - oldest.flow + flow;
            volumes_ = volumes_ - oldest.volume + volume;
            if (oldest.volume != 0.0) --trading_;
        } else {
            flows_ = flows_ + flow;
            volumes_ = volumes_ + volume;
        }
        bars_.push_back({flow, volume});
        if (volume != 0.0) ++trading_;
        if (trading_ == 0) {
            flows_ = 0.0;
            volumes_ = 0.0;
        }
        if (!bars_.full()) {
            out[0] = missing_value;
            return;
        }
        out[0] = volumes_ == 0.0 ? 0.0 : flows_ / volumes_;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline), where a scan
    // ahead would read the inputs twice.
    // Steps until the window is full, then walks its ring in place, segment by segment between
    // the wrap-arounds: each bar's flow and volume replace the oldest's, both sums kept as one
    // pair in a register and two bars' flows and ratios divided at once.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i, std::size_t length) {
        for (; i < length && !bars_.full(); ++i) {
            if (!present_at<4>(in, i)) return i;
            step_bars(*this, in, out, i, i + 1);
        }
        if (i == length) return i;
        Bar* const store = bars_.full_store();
        const std::size_t capacity = static_cast<std::size_t>(bars_.capacity());
        std::size_t slot = bars_.oldest_slot();
        Sums sums{flow_lanes::Lanes{flows_, volumes_}, trading_};
        while (i < length) {
            const std::size_t count = std::min(length - i, capacity - slot);
            const std::size_t taken = run_segment(in, out[0], i, count, store + slot, sums);
            i += taken;
            slot += taken;
            if (slot == capacity) slot = 0;
            if (taken < count) break;
        }
        bars_.move_oldest_slot(slot);
        flows_ = sums.both[0];
        volumes_ = sums.both[1];
        trading_ = sums.trading;
        return i;
    }

    // Saved as the window's length, its flows and its volumes (oldest first), then both sums.
    void save(StateWriter& w) const {
        w.count(bars_.size());
        for (std::uint64_t i = 0; i < bars_.size(); ++i) w.real(bars_.at(i).flow);
        for (std::uint64_t i = 0; i < bars_.size(); ++i) w.real(bars_.at(i).volume);
        w.real(flows_);
        w.real(volumes_);
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t length = 0;
        std::vector<double> flows, volumes;
        if (!r.count(length) || length > bars_.capacity() || !r.real_run(length, flows) || !r.real_run(length, volumes))
            return false;
        double flow_sum = 0.0, volume_sum = 0.0;
        if (!r.real(flow_sum) || !r.real(volume_sum)) return false;
        std::vector<Bar> bars(static_cast<std::size_t>(length));
        std::uint64_t trading = 0;
        for (std::size_t i = 0; i < bars.size(); ++i) {
            if (!present(flows[i]) || !present(volumes[i])) return false;
            bars[i] = {flows[i], volumes[i]};
            if (volumes[i] != 0.0) ++trading;
        }
        if (trading == 0 && (flow_sum != 0.0 || volume_sum != 0.0)) return false;
        bars_.assign(std::move(bars));
        trading_ = trading;
        flows_ = flow_sum;
        volumes_ = volume_sum;
        return true;
    }

private:
    struct Bar {
        double flow, volume;
    };
    struct Sums {
        flow_lanes::Lanes both;  // the flows' and the volumes' sums
        std::uint64_t trading;
    };

    // One bar {flow, volume} of a full window, taking over the oldest's slot, as the step does.
    static void take(flow_lanes::Lanes bar, Bar* oldest, Sums& sums) noexcept {
        using namespace flow_lanes;
        const Lanes old = lanes_at(&oldest->flow);
        put(&oldest->flow, bar);
        sums.trading += bar[1] != 0.0 ? 1 : 0;
        sums.trading -= old[1] != 0.0 ? 1 : 0;
        sums.both = sums.both - old + bar;
        if (sums.trading == 0) sums.both = splat(0.0);
    }
    static double ratio(flow_lanes::Lanes both) noexcept { return both[1] == 0.0 ? 0.0 : both[0] / both[1]; }

    // Bars [first, first + count) over the slots from `oldest` on, no wrap-around between them,
    // up to the first with a missing sample; returns how many it took.
    // Two bars at a time: their flows and ratios are divided at once, and their trading counts
    // are tested together (a window without volume is rare), then the sums' chain runs alone.
    static std::size_t run_segment(const double* const* in, double* result, std::size_t first, std::size_t count,
                                   Bar* oldest, Sums& sums) noexcept {
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2], *volume = in[3];
        Lanes both = sums.both;
        std::uint64_t trading = sums.trading;
        std::size_t k = 0;
        for (; k + 2 <= count; k += 2) {
            const std::size_t bar = first + k;
            const Lanes h = lanes_at(high + bar), l = lanes_at(low + bar), c = lanes_at(close + bar);
            const Lanes volumes = lanes_at(volume + bar);
            if (!pairs_present(h, l, c, volumes)) break;
            const Lanes flows = money_flow_volume_pair(h, l, c, volumes);
            const Lanes first_bar = __builtin_shufflevector(flows, volumes, 0, 2);
            const Lanes second_bar = __builtin_shufflevector(flows, volumes, 1, 3);
            const Lanes first_old = lanes_at(&oldest[k].flow), second_old = lanes_at(&oldest[k + 1].flow);
            put(&oldest[k].flow, first_bar);
            put(&oldest[k + 1].flow, second_bar);
            const Mask entering = volumes != 0.0;
            const Mask leaving = __builtin_shufflevector(first_old, second_old, 1, 3) != 0.0;
            const Mask change = leaving - entering;  // +1 for a trading bar in, -1 for one out
            const std::uint64_t after_first = trading + static_cast<std::uint64_t>(change[0]);
            trading = after_first + static_cast<std::uint64_t>(change[1]);
            Lanes first_sums = both - first_old + first_bar;
            if (after_first == 0) first_sums = splat(0.0);
            both = first_sums - second_old + second_bar;
            if (trading == 0) both = splat(0.0);
            const Lanes flow_sums = __builtin_shufflevector(first_sums, both, 0, 2);
            const Lanes volume_sums = __builtin_shufflevector(first_sums, both, 1, 3);
            put(result + bar, blend(volume_sums == 0.0, splat(0.0), flow_sums / volume_sums));
        }
        sums.both = both;
        sums.trading = trading;
        for (; k < count && samples_present(high[first + k], low[first + k], close[first + k], volume[first + k]);
             ++k) {
            const std::size_t bar = first + k;
            const double v = volume[bar];
            take(Lanes{money_flow_volume(high[bar], low[bar], close[bar], v), v}, oldest + k, sums);
            result[bar] = ratio(sums.both);
        }
        return k;
    }

    void clear() noexcept {
        bars_.clear();
        trading_ = 0;
        flows_ = 0.0;
        volumes_ = 0.0;
    }

    FlowRing<Bar> bars_;
    std::uint64_t trading_ = 0;  // bars of the window with a nonzero volume
    double flows_ = 0.0, volumes_ = 0.0;
};

}  // namespace quillora::indicators
