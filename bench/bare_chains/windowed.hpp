// Bare chains of the windowed family.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "chain.hpp"

namespace quillora::bench {

namespace windowed_detail {

// The variance's recurrence: the mean and M2 measured from a shift K, each new sample replacing
// the oldest with the sliding Welford update (a divide, five adds, a multiply, |u| into the noise),
// the window re-measured from its samples every `period` replacements or early where the noise
// outweighs M2 (two passes of `period` adds and a divide). Writes M2 for every bar.
inline void variance_chain(const Bars& bars, const indicators::Parameters& p, double* out) {
    const double* x = bars[2].data();
    const std::size_t length = bars[2].size();
    const std::size_t period = static_cast<std::size_t>(p.counts[0]);
    const std::size_t early = std::max<std::size_t>(1, period / 8);
    const double n = static_cast<double>(period);
    double shift = 0.0, mean = 0.0, m2 = 0.0, noise = 0.0;
    std::size_t replaced = 0;
    const auto measure = [&](std::size_t t) {
        const double* w = x + (t + 1 - period);
        shift = x[t];
        double s = 0.0;
        for (std::size_t j = 0; j < period; ++j) s = s + (w[j] - shift);
        mean = s / n;
        double q = 0.0;
        for (std::size_t j = 0; j < period; ++j) {
            const double e = (w[j] - shift) - mean;
            q = q + e * e;
        }
        m2 = q;
        noise = 0.0;
        replaced = 0;
    };
    measure(period - 1);
    for (std::size_t i = period; i < length; ++i) {
        const double a = x[i] - shift;
        const double b = x[i - period] - shift;
        const double d = a - b;
        const double next = mean + d / n;
        const double u = d * ((a - next) + (b - mean));
        m2 = m2 + u;
        noise = noise + std::fabs(u);
        mean = next;
        ++replaced;
        if (replaced == period || (replaced >= early && noise > 16.0 * m2)) measure(i);
        out[i] = m2;
    }
}

}  // namespace windowed_detail

inline const std::vector<BareChain> windowed_chains = {
    {"var", windowed_detail::variance_chain},
    {"stddev", windowed_detail::variance_chain},
};

}  // namespace quillora::bench
