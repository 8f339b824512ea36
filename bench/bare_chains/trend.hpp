// Bare chains of the trend family.
#pragma once

#include "chain.hpp"
#include "indicators/vector_pair.hpp"

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

// The parabolic stop's recurrence, stop = stop + factor * (extreme - stop) bounded by the last two
// lows (long) or highs (short), with its new extremes, its factor's steps and its reversals, in
// locals on clean bars (no missing samples, no state kept): the stop's subtract, multiply, add and
// bound wait on one another every bar, and a reversal comes as randomly as the prices. A new
// extreme comes as randomly, and scalar code compiles its selects to branches, so the values run
// in both lanes of a register, where a comparison is a mask.
inline void sar(const Bars& bars, const indicators::Parameters& p, double* out) {
    using Lanes = indicators::vector_pair::Pair;
    const auto both = [](double x) { return Lanes{x, x}; };
    const auto lower_of = [](Lanes a, Lanes b) { return b < a ? b : a; };
    const auto higher_of = [](Lanes a, Lanes b) { return a < b ? b : a; };
    const double* high = bars[0].data();
    const double* low = bars[1].data();
    const std::size_t length = bars[0].size();
    const Lanes maximum = both(p.reals[1]), step = both(p.reals[0] > p.reals[1] ? p.reals[1] : p.reals[0]);
    bool is_long = true;
    Lanes stop = both(low[0]), extreme = both(high[1]), factor = step;
    out[0] = low[0];
    std::size_t i = 1;
    while (i < length) {
        if (is_long) {
            for (; i < length && low[i] > stop[0]; ++i) {
                const Lanes h = both(high[i]);
                const auto higher = h > extreme;
                out[i] = stop[0];
                factor = higher ? lower_of(factor + step, maximum) : factor;
                extreme = higher ? h : extreme;
                stop = lower_of(stop + factor * (extreme - stop), lower_of(both(low[i - 1]), both(low[i])));
            }
        } else {
            for (; i < length && high[i] < stop[0]; ++i) {
                const Lanes l = both(low[i]);
                const auto lower = l < extreme;
                out[i] = stop[0];
                factor = lower ? lower_of(factor + step, maximum) : factor;
                extreme = lower ? l : extreme;
                stop = higher_of(stop + factor * (extreme - stop), higher_of(both(high[i - 1]), both(high[i])));
            }
        }
        if (i == length) break;
        const Lanes h = both(high[i]), l = both(low[i]);
        const Lanes bound = is_long ? higher_of(both(high[i - 1]), h) : lower_of(both(low[i - 1]), l);
        const Lanes turn = is_long ? higher_of(extreme, bound) : lower_of(extreme, bound);
        out[i] = turn[0];
        factor = step;
        extreme = is_long ? l : h;
        stop = turn + factor * (extreme - turn);
        stop = is_long ? higher_of(stop, bound) : lower_of(stop, bound);
        is_long = !is_long;
        ++i;
    }
}

}  // namespace trend_chain

inline const std::vector<BareChain> trend_chains = {
    {"plus_di", trend_chain::smooth_three},
    {"minus_di", trend_chain::smooth_three},
    {"sar", trend_chain::sar},
};

}  // namespace quillora::bench
