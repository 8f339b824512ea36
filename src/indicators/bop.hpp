// Balance of power (BOP): how far the bar closed from its open, as a share of its range.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"

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
    explicit BopState(const Parameters&) noexcept {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<4>(in)) {
            out[0] = missing_value;
            return;
        }
        const double range = in[1] - in[2];
        out[0] = range > 0.0 ? (in[3] - in[0]) / range : 0.0;
    }

    // Two bars at a time (the range tested after the divide); the bits are the step's.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        using namespace flow_lanes;
        const double *open = in[0], *high = in[1], *low = in[2], *close = in[3];
        double* result = out[0];
        std::size_t i = 0;
        for (; i + 2 <= length; i += 2) {
            const Lanes range = lanes_at(high + i) - lanes_at(low + i);
            const Lanes balance = (lanes_at(close + i) - lanes_at(open + i)) / range;
            put(result + i, blend(range > 0.0, balance, splat(0.0)));
        }
        for (; i < length; ++i) step_bars(*this, in, out, i, i + 1);
    }

    void save(StateWriter&) const {}
    [[nodiscard]] bool load(StateReader&) noexcept { return true; }
};

}  // namespace quillora::indicators
