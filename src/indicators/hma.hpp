// Hull moving average (HMA): a weighted average over sqrt(period) bars of twice the weighted
// average over half the period minus the one over the whole period.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "indicator.hpp"
#include "wma.hpp"

namespace quillora::indicators {

// The whole part of the square root, exact for every 64-bit count.
inline std::uint64_t whole_square_root(std::uint64_t n) noexcept {
    std::uint64_t root = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
    while (root > 0 && root > n / root) --root;
    while (root + 1 <= n / (root + 1)) ++root;
    return root;
}

// Order of operations: half = wma(x, period / 2) and full = wma(x, period), quillora's WMA (its
// running sums, rebuilt from the window every period samples); d = 2 * half - full;
// hma = wma(d, whole sqrt(period)), where d is missing wherever full has no value. A missing
// sample is missing for all three averages, each of which empties its window, so the next value
// comes `period + sqrt(period) - 1` present samples later.
class HmaState {
public:
    static constexpr const char* name = "hma";
    static constexpr const char* class_name = "HmaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit HmaState(const Parameters& p) noexcept
        : half_(period(p.counts[0] / 2)), full_(period(p.counts[0])), root_(period(whole_square_root(p.counts[0]))) {}

    void step(const double* in, double* out) {
        double half = missing_value, full = missing_value;
        half_.step(in, &half);
        full_.step(in, &full);
        // Without a full average (warming up, or a missing sample) d is missing too, which the
        // outer average takes as a gap.
        const double d = present(full) ? 2.0 * half - full : missing_value;
        root_.step(&d, out);
    }

    // In blocks: both inner averages run over the block into stack scratch, d is formed there, and
    // the outer average takes d's present runs in one call each and steps its missing values (the
    // full average's warm-up, or a d that overflowed), as `step` would on each bar.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        constexpr std::size_t block = 512;
        double half[block], full[block];
        for (std::size_t first = 0; first < length; first += block) {
            const std::size_t n = std::min(block, length - first);
            const double* x = in[0] + first;
            double* result = out[0] + first;
            double* half_out = half;
            double* full_out = full;
            half_.run_present(&x, &half_out, n);
            full_.run_present(&x, &full_out, n);
            for (std::size_t j = 0; j < n; ++j) full[j] = present(full[j]) ? 2.0 * half[j] - full[j] : missing_value;
            std::size_t j = 0;
            while (j < n) {
                if (!present(full[j])) {
                    root_.step(full + j, result + j);
                    ++j;
                    continue;
                }
                std::size_t end = j + 1;
                while (end < n && present(full[end])) ++end;
                const double* d = full + j;
                double* r = result + j;
                root_.run_present(&d, &r, end - j);
                j = end;
            }
        }
    }

    void save(StateWriter& w) const {
        half_.save(w);
        full_.save(w);
        root_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return half_.load(r) && full_.load(r) && root_.load(r); }

private:
    static WmaState period(std::uint64_t n) noexcept {
        const std::uint64_t counts[] = {n};
        return WmaState(Parameters{counts, {}});
    }

    WmaState half_, full_, root_;
};

}  // namespace quillora::indicators
