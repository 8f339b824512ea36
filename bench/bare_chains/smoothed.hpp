// Bare chains of the smoothed family.
#pragma once

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> smoothed_chains = {
    // average = (average * (period - 1) + x) / period: a multiply, an add and a divide per bar.
    {"rma",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double period = static_cast<double>(p.counts[0]), kept = period - 1.0;
         double average = x[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             average = (average * kept + x[i]) / period;
             out[i] = average;
         }
     }},
};

}  // namespace quillora::bench
