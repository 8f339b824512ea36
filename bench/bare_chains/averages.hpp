// Bare chains of the averages family.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "chain.hpp"

namespace quillora::bench {

inline const std::vector<BareChain> averages_chains = {
    // path = path + |x - previous x| - |second oldest - oldest| and
    // kama = kama + (factor * factor) * (x - kama) with factor = (net / path) * span + slowest: the
    // average's subtract, multiply and add follow one another every bar.
    {"kama",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const std::size_t n = bars[2].size(), period = static_cast<std::size_t>(p.counts[0]);
         const double fastest = 2.0 / 3.0, slowest = 2.0 / 31.0, span = fastest - slowest;
         double path = 0.0;
         for (std::size_t i = 1; i < period; ++i) path = path + std::fabs(x[i] - x[i - 1]);
         double kama = x[period - 1];
         for (std::size_t i = period; i < n; ++i) {
             path = path + std::fabs(x[i] - x[i - 1]);
             const double factor = std::fabs(x[i] - x[i - period]) / path * span + slowest;
             kama = kama + factor * factor * (x[i] - kama);
             out[i] = kama;
             path = path - std::fabs(x[i - period + 1] - x[i - period]);
         }
     }},
    // e1 = e1 * keep + x * alpha, e2 and e3 the same over e1 and e2: three multiply-adds in a row.
    {"trix",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double alpha = 2.0 / (static_cast<double>(p.counts[0]) + 1.0), keep = 1.0 - alpha;
         double first = x[0], second = x[0], third = x[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             first = first * keep + x[i] * alpha;
             second = second * keep + first * alpha;
             third = third * keep + second * alpha;
             out[i] = third;
         }
     }},
    // inner = inner + x - x[i - inner length], mean = inner / inner length, outer = outer + mean -
    // the mean an outer length before (kept in `out`).
    {"trima",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const std::size_t n = bars[2].size(),
                           inner_length = static_cast<std::size_t>(p.counts[0] / 2 + p.counts[0] % 2),
                           outer_length = static_cast<std::size_t>(p.counts[0] / 2 + 1);
         const double inner_real = static_cast<double>(inner_length);
         const std::size_t first = inner_length + outer_length;
         double inner = 0.0, outer = 0.0;
         for (std::size_t i = 0; i < first; ++i) out[i] = x[i];
         for (std::size_t i = first; i < n; ++i) {
             inner = inner + x[i] - x[i - inner_length];
             const double mean = inner / inner_real;
             outer = outer + mean - out[i - outer_length];
             out[i] = mean;
         }
         out[n - 1] = outer;
     }},
    // HMA: three of WMA's running sums side by side (over period / 2, period and its whole square
    // root), each rebuilt from its window every length-th bar, and each bar's three divides;
    // d = 2 * half - full feeds the outer sums.
    {"hma",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const std::size_t n = bars[2].size(), full_length = static_cast<std::size_t>(p.counts[0]);
         std::size_t root_length = 1;
         while ((root_length + 1) * (root_length + 1) <= full_length) ++root_length;
         const std::size_t lengths[3] = {full_length / 2, full_length, root_length};
         double reals[3], divisors[3], total[3] = {0.0, 0.0, 0.0}, weighted[3] = {0.0, 0.0, 0.0};
         std::size_t since_build[3] = {0, 0, 0};
         for (int k = 0; k < 3; ++k) {
             reals[k] = static_cast<double>(lengths[k]);
             divisors[k] = reals[k] * (reals[k] + 1.0) / 2.0;
         }
         std::vector<double> d(n, 0.0);
         // One WMA step of sums k over the samples ending at `newest`.
         const auto next = [&](int k, const double* newest) {
             const std::size_t length = lengths[k];
             if (++since_build[k] == length) {
                 since_build[k] = 0;
                 double w = 0.0;
                 total[k] = -0.0;
                 weighted[k] = -0.0;
                 for (const double* v = newest + 1 - length; v <= newest; ++v) {
                     w = w + 1.0;
                     total[k] = total[k] + *v;
                     weighted[k] = weighted[k] + *v * w;
                 }
             } else {
                 weighted[k] = (weighted[k] - total[k]) + newest[0] * reals[k];
                 total[k] = (total[k] - *(newest - length)) + newest[0];
             }
             return weighted[k] / divisors[k];
         };
         const std::size_t first = full_length + root_length;
         for (std::size_t i = first; i < n; ++i) {
             const double half = next(0, x + i), full = next(1, x + i);
             d[i] = 2.0 * half - full;
             out[i] = next(2, d.data() + i);
         }
     }},
    {"zlema",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const std::size_t lag = static_cast<std::size_t>((p.counts[0] - 1) / 2);
         const double alpha = 2.0 / (static_cast<double>(p.counts[0]) + 1.0), keep = 1.0 - alpha;
         double average = x[0];
         for (std::size_t i = lag; i < bars[2].size(); ++i) {
             average = average * keep + (2.0 * x[i] - x[i - lag]) * alpha;
             out[i] = average;
         }
     }},
};

}  // namespace quillora::bench
