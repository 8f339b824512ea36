// Chaikin money flow (CMF): the money flow volume of the last `period` bars over their volume.
#pragma once

#include <cstdint>
#include <vector>

#include "flows_parts.hpp"
#include "indicator.hpp"

namespace quillora::indicators {

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
