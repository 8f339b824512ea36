// Volume-weighted average price (VWAP) from the first bar: the typical prices weighted by volume.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"

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
    explicit VwapState(const Parameters&) noexcept {}

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

    // Two bars at a time: their typical prices, priced volumes and averages vectorize around
    // the two chains of adds, the sums in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *high = in[0], *low = in[1], *close = in[2], *volume = in[3];
        double* result = out[0];
        double priced = priced_, traded = volume_;
        std::size_t i = 0;
        for (; i + 2 <= length; i += 2) {
            const Lanes volumes = lanes_at(volume + i);
            const Lanes priced_volumes = (lanes_at(high + i) + lanes_at(low + i) + lanes_at(close + i)) / 3.0 * volumes;
            const double priced_first = priced + priced_volumes[0], traded_first = traded + volumes[0];
            priced = priced_first + priced_volumes[1];
            traded = traded_first + volumes[1];
            const Lanes sums = Lanes{traded_first, traded};
            const Lanes average = Lanes{priced_first, priced} / sums;
            put(result + i, blend(sums == 0.0, splat(missing_value), average));
        }
        priced_ = priced;
        volume_ = traded;
        if (i < length) step_bars(*this, in, out, i, length);
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
