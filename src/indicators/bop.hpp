// Balance of power (BOP): how far the bar closed from its open, as a share of its range.
#pragma once

#include <cstdint>

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

    void save(StateWriter&) const {}
    [[nodiscard]] bool load(StateReader&) noexcept { return true; }
};

}  // namespace quillora::indicators
