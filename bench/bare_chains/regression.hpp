// Bare chains of the regression family.
#pragma once

#include "chain.hpp"
#include "indicators/compensated_sum.hpp"

namespace quillora::bench {

namespace regression_detail {

using indicators::regression::CompensatedSum;

// SUM's recurrence: a compensated sum takes the new sample and gives back the one leaving, two
// two-sums a bar (seven additions each) where a plain running sum has two additions.
inline void sum_chain(const Bars& bars, const indicators::Parameters& p, double* out) {
    const double* x = bars[2].data();
    const std::size_t n = bars[2].size(), lag = static_cast<std::size_t>(p.counts[0]);
    CompensatedSum sum;
    for (std::size_t i = 0; i < lag; ++i) sum.add(x[i]);
    for (std::size_t i = lag; i < n; ++i) {
        sum.add(x[i]);
        sum.add(-x[i - lag]);
        out[i] = sum.value();
    }
}

// The least-squares line's recurrence: the sum of the samples S and the sum of each sample times
// its age A, both compensated; a bar adds S to A, takes period * oldest (with Dekker's exact
// product) from A, and moves S on by the new and the leaving sample. The line's value is read
// from s and a outside the chain; a's value is what is kept here.
inline void line_chain(const Bars& bars, const indicators::Parameters& p, double* out) {
    const double* x = bars[2].data();
    const std::size_t n = bars[2].size(), lag = static_cast<std::size_t>(p.counts[0]);
    const double period = static_cast<double>(p.counts[0]);
    const indicators::regression::Halves halves = indicators::regression::split(period);
    CompensatedSum samples, aged;
    for (std::size_t i = 0; i < lag; ++i) {
        aged.add(samples);
        samples.add(x[i]);
    }
    for (std::size_t i = lag; i < n; ++i) {
        const double oldest = x[i - lag];
        aged.add(samples);
        aged.subtract_product(period, halves, oldest);
        samples.add(x[i]);
        samples.add(-oldest);
        out[i] = aged.value();
    }
}

}  // namespace regression_detail

inline const std::vector<BareChain> regression_chains = {
    {"sum", regression_detail::sum_chain},
    {"linearreg", regression_detail::line_chain},
    {"linearreg_slope", regression_detail::line_chain},
    {"linearreg_intercept", regression_detail::line_chain},
    {"linearreg_angle", regression_detail::line_chain},
    {"tsf", regression_detail::line_chain},
};

}  // namespace quillora::bench
