// Bare chains of the flows family.
#pragma once

#include <cstddef>

#include "chain.hpp"

namespace quillora::bench {

namespace flows_chain {

// Wilder's average = (average * (period - 1) + x) / period: a multiply, an add and a divide per
// bar. The average true range of KC and SUPERTREND carries this from bar to bar; their other
// recurrences (KC's exponential average, SUPERTREND's bands and trend) are shorter and run beside it.
inline void wilder(const Bars& bars, double period_count, double* out) {
    const double* x = bars[2].data();
    const double period = period_count, kept = period - 1.0;
    double average = x[0];
    for (std::size_t i = 0; i < bars[2].size(); ++i) {
        average = (average * kept + x[i]) / period;
        out[i] = average;
    }
}

}  // namespace flows_chain

inline const std::vector<BareChain> flows_chains = {
    // ad = ad + flow, then fast = fast * keep + ad * alpha and the same for slow: an add, then a
    // multiply and an add on each average's chain.
    {"adosc",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double fast_alpha = 2.0 / (static_cast<double>(p.counts[0]) + 1.0), fast_keep = 1.0 - fast_alpha;
         const double slow_alpha = 2.0 / (static_cast<double>(p.counts[1]) + 1.0), slow_keep = 1.0 - slow_alpha;
         double ad = 0.0, fast = x[0], slow = x[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             ad = ad + x[i];
             fast = fast * fast_keep + ad * fast_alpha;
             slow = slow * slow_keep + ad * slow_alpha;
             out[i] = fast - slow;
         }
     }},
    // flows = flows - oldest flow + flow, and the same for the volumes: two adds on each sum's chain.
    {"cmf",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double *flow = bars[2].data(), *volume = bars[3].data();
         const std::size_t period = static_cast<std::size_t>(p.counts[0]), length = bars[2].size();
         double flows = 0.0, volumes = 0.0;
         for (std::size_t i = 0; i < period && i < length; ++i) {
             flows = flows + flow[i];
             volumes = volumes + volume[i];
             out[i] = flows;
         }
         for (std::size_t i = period; i < length; ++i) {
             flows = flows - flow[i - period] + flow[i];
             volumes = volumes - volume[i - period] + volume[i];
             out[i] = flows;
         }
         if (length > 0) out[0] = volumes;  // the volumes' chain is kept by its last value
     }},
    {"kc", [](const Bars& bars, const indicators::Parameters& p,
              double* out) { flows_chain::wilder(bars, static_cast<double>(p.counts[1]), out); }},
    {"supertrend", [](const Bars& bars, const indicators::Parameters& p,
                      double* out) { flows_chain::wilder(bars, static_cast<double>(p.counts[0]), out); }},
};

}  // namespace quillora::bench
