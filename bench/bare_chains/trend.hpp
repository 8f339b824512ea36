// Bare chains of the trend family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

namespace trend_chain {

// Wilder's smoothing of the three directional sums (+DM, -DM, true range), s = (s - s / period) + x
// each bar: a divide, a subtract and an add per sum, the three independent of one another. Each
// bar stores one; the others reach the last output so that they are kept.
inline void smooth_three(const Bars& bars, const indicators::Parameters& p, double* out) {
    const double* x = bars[0].data();
    const double* y = bars[1].data();
    const double* z = bars[2].data();
    const std::size_t length = bars[0].size();
    const double period = static_cast<double>(p.counts[0]);
    double a = x[0], b = y[0], c = z[0];
    for (std::size_t i = 0; i < length; ++i) {
        a = a - a / period + x[i];
        b = b - b / period + y[i];
        c = c - c / period + z[i];
        out[i] = a;
    }
    out[length - 1] = a + b + c;
}

}  // namespace trend_chain

inline const std::vector<BareChain> trend_chains = {
    {"plus_di", trend_chain::smooth_three},
    {"minus_di", trend_chain::smooth_three},
};

}  // namespace quillora::bench
