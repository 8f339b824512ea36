// Chaikin's accumulation/distribution line (AD) and its oscillator (ADOSC): the running total of
// each bar's money flow volume, and the gap between a fast and a slow exponential average of it.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// Order of operations: ad = 0.0; per present bar ad = ad + flow, flow = ((close - low) - (high -
// close)) / (high - low) * volume, left to right, and flow = 0 where high <= low. A bar with a
// missing input is skipped (ad unchanged) and holds the missing marker.
class AdState {
public:
    static constexpr const char* name = "ad";
    static constexpr const char* class_name = "AdState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    // Row-major tables step their symbols side by side in vector lanes, reading the rows in place;
    // tables by columns keep the batch runs, which read each column in place.
    static constexpr bool table_lanes_by_rows = true;

    explicit AdState(const Parameters&) noexcept {}

    bool lanes_ready() const noexcept { return true; }
    static void run_lanes(AdState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<AdLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) fields[0][s] = states[s].ad_;
        run_lane_steps(AdLanes{}, fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) states[s].ad_ = fields[0][s];
    }

    void step(const double* in, double* out) noexcept {
        if (!present_bar<4>(in)) {
            out[0] = missing_value;
            return;
        }
        ad_ = ad_ + money_flow_volume(in[0], in[1], in[2], in[3]);
        out[0] = ad_;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline), where a scan
    // ahead would read the inputs twice. Two bars' flows at a time: their divides vectorize and
    // run beside the total's chain of adds, the total in a register.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2], *volume = in[3];
        double* result = out[0];
        double ad = ad_;
        for (; i + 2 <= length; i += 2) {
            const Lanes h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i),
                        v = lanes_at(volume + i);
            if (!pairs_present(h, l, c, v)) break;
            const Lanes flow = money_flow_volume_pair(h, l, c, v);
            ad = ad + flow[0];
            result[i] = ad;
            ad = ad + flow[1];
            result[i + 1] = ad;
        }
        for (; i < length && samples_present(high[i], low[i], close[i], volume[i]); ++i) {
            ad = ad + money_flow_volume(high[i], low[i], close[i], volume[i]);
            result[i] = ad;
        }
        ad_ = ad;
        return i;
    }

    void save(StateWriter& w) const { w.real(ad_); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return r.real(ad_); }

private:
    double ad_ = 0.0;
};

// Order of operations: ad as in AdState; both averages start at the first bar's ad, then each bar
// average = average * keep + ad * alpha, alpha = 2 / (period + 1) and keep = 1 - alpha, each
// rounded once; the output is fast - slow from the slow-th bar on. A missing bar before that
// starts everything afresh at the next present bar (ad included); after it, the bar is skipped.
class AdoscState {
public:
    static constexpr const char* name = "adosc";
    static constexpr const char* class_name = "AdoscState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 2 && p.reals.empty() && p.counts[0] >= 1 && p.counts[1] > p.counts[0];
    }
    // Row-major tables step their symbols side by side, in vector lanes once a block's slow
    // averages have their first values; tables by columns keep the batch runs.
    static constexpr bool table_lanes_by_rows = true;

    explicit AdoscState(const Parameters& p) noexcept
        : slow_period_(p.counts[1]),
          fast_alpha_(2.0 / (static_cast<double>(p.counts[0]) + 1.0)),
          fast_keep_(1.0 - fast_alpha_),
          slow_alpha_(2.0 / (static_cast<double>(p.counts[1]) + 1.0)),
          slow_keep_(1.0 - slow_alpha_) {}

    bool lanes_ready() const noexcept { return run_ == slow_period_; }
    static void run_lanes(AdoscState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        LaneFields<AdoscLanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].ad_;
            fields[1][s] = states[s].fast_;
            fields[2][s] = states[s].slow_;
        }
        const AdoscState& first = states[0];
        run_lane_steps(AdoscLanes(first.fast_keep_, first.fast_alpha_, first.slow_keep_, first.slow_alpha_), fields,
                       count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            states[s].ad_ = fields[0][s];
            states[s].fast_ = fields[1][s];
            states[s].slow_ = fields[2][s];
        }
    }

    void step(const double* in, double* out) noexcept {
        if (!present_bar<4>(in)) {
            if (run_ < slow_period_) restart();
            out[0] = missing_value;
            return;
        }
        ad_ = ad_ + money_flow_volume(in[0], in[1], in[2], in[3]);
        if (run_ == 0) {
            fast_ = ad_;
            slow_ = ad_;
        } else {
            fast_ = fast_ * fast_keep_ + ad_ * fast_alpha_;
            slow_ = slow_ * slow_keep_ + ad_ * slow_alpha_;
        }
        if (run_ < slow_period_ && ++run_ < slow_period_) {
            out[0] = missing_value;
            return;
        }
        out[0] = fast_ - slow_;
    }

    // As AD's batch runs, once the slow average has its first value: the total and both
    // averages in registers.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        for (; i < length && run_ < slow_period_; ++i) {
            if (!present_at<4>(in, i)) return i;
            step_bars(*this, in, out, i, i + 1);
        }
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2], *volume = in[3];
        double* result = out[0];
        const double fast_keep = fast_keep_, fast_alpha = fast_alpha_, slow_keep = slow_keep_, slow_alpha = slow_alpha_;
        double ad = ad_, fast = fast_, slow = slow_;
        const auto take = [&](double flow) noexcept {
            ad = ad + flow;
            fast = fast * fast_keep + ad * fast_alpha;
            slow = slow * slow_keep + ad * slow_alpha;
            return fast - slow;
        };
        for (; i + 2 <= length; i += 2) {
            const Lanes h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i),
                        v = lanes_at(volume + i);
            if (!pairs_present(h, l, c, v)) break;
            const Lanes flow = money_flow_volume_pair(h, l, c, v);
            result[i] = take(flow[0]);
            result[i + 1] = take(flow[1]);
        }
        for (; i < length && samples_present(high[i], low[i], close[i], volume[i]); ++i)
            result[i] = take(money_flow_volume(high[i], low[i], close[i], volume[i]));
        ad_ = ad;
        fast_ = fast;
        slow_ = slow;
        return i;
    }

    void save(StateWriter& w) const {
        w.count(run_);
        w.real(ad_);
        w.real(fast_);
        w.real(slow_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return r.count(run_) && run_ <= slow_period_ && r.real(ad_) && r.real(fast_) && r.real(slow_);
    }

private:
    void restart() noexcept {
        run_ = 0;
        ad_ = 0.0;
        fast_ = missing_value;
        slow_ = missing_value;
    }

    std::uint64_t slow_period_;
    double fast_alpha_, fast_keep_, slow_alpha_, slow_keep_;
    std::uint64_t run_ = 0;  // present bars since the start, up to the slow period
    double ad_ = 0.0;
    double fast_ = missing_value, slow_ = missing_value;
};

}  // namespace quillora::indicators
