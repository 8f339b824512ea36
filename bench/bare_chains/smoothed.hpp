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
    // NATR's average of the true range: rma's recurrence, fed the bar's true range (its high-low
    // part, the gaps to the previous close left out), and the percentage of the close.
    {"natr",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double *high = bars[0].data(), *low = bars[1].data(), *close = bars[2].data();
         const double period = static_cast<double>(p.counts[0]), kept = period - 1.0;
         double average = high[0] - low[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             average = (average * kept + (high[i] - low[i])) / period;
             out[i] = (average / close[i]) * 100.0;
         }
     }},
    // RSI: two Wilder averages, of the gains and of the losses, each a multiply, an add and a
    // divide per bar; the value divides once more.
    {"rsi",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double period = static_cast<double>(p.counts[0]), kept = period - 1.0;
         double gain = 1.0, loss = 1.0;
         for (std::size_t i = 1; i < bars[2].size(); ++i) {
             const double change = x[i] - x[i - 1];
             gain = (gain * kept + (change > 0.0 ? change : 0.0)) / period;
             loss = (loss * kept + (change < 0.0 ? -change : 0.0)) / period;
             out[i] = 100.0 * (gain / (gain + loss));
         }
     }},
    // WMA's running sums: weighted = (weighted - total) + x * period, total = (total - oldest) + x,
    // two adds in a row on the weighted sum per bar, then its divide; every period-th bar both
    // sums are rebuilt from the window instead, `period` adds in a row.
    {"wma",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const std::size_t n = static_cast<std::size_t>(p.counts[0]);
         const double period = static_cast<double>(p.counts[0]), divisor = period * (period + 1.0) / 2.0;
         double total = 0.0, weighted = 0.0;
         std::size_t since_build = 0;
         for (std::size_t i = n; i < bars[2].size(); ++i) {
             if (++since_build == n) {
                 since_build = 0;
                 double k = 0.0;
                 total = -0.0;
                 weighted = -0.0;
                 for (std::size_t j = i + 1 - n; j <= i; ++j) {
                     k = k + 1.0;
                     total = total + x[j];
                     weighted = weighted + x[j] * k;
                 }
             } else {
                 weighted = (weighted - total) + x[i] * period;
                 total = (total - x[i - n]) + x[i];
             }
             out[i] = weighted / divisor;
         }
     }},
    // DEMA and TEMA: two and three exponential averages one after another, e = e * keep + v * alpha.
    {"dema",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double alpha = 2.0 / (static_cast<double>(p.counts[0]) + 1.0), keep = 1.0 - alpha;
         double e1 = x[0], e2 = x[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             e1 = e1 * keep + x[i] * alpha;
             e2 = e2 * keep + e1 * alpha;
             out[i] = 2.0 * e1 - e2;
         }
     }},
    {"tema",
     [](const Bars& bars, const indicators::Parameters& p, double* out) {
         const double* x = bars[2].data();
         const double alpha = 2.0 / (static_cast<double>(p.counts[0]) + 1.0), keep = 1.0 - alpha;
         double e1 = x[0], e2 = x[0], e3 = x[0];
         for (std::size_t i = 0; i < bars[2].size(); ++i) {
             e1 = e1 * keep + x[i] * alpha;
             e2 = e2 * keep + e1 * alpha;
             e3 = e3 * keep + e2 * alpha;
             out[i] = (3.0 * e1 - 3.0 * e2) + e3;
         }
     }},
};

}  // namespace quillora::bench
