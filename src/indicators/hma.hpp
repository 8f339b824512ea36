// Hull moving average (HMA): a weighted average over sqrt(period) bars of twice the weighted
// average over half the period minus the one over the whole period.
#pragma once

#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// The running sums of a linearly weighted average (weights 1 for the oldest up to n for the
// newest): plain = sum of the samples, weighted = sum of weight * sample.
struct WeightedSums {
    double plain = -0.0, weighted = -0.0;

    // A sample taking weight `weight` in a window that is still filling.
    void grow(double x, double weight) noexcept {
        weighted = weighted + x * weight;
        plain = plain + x;
    }
    // A sample entering a full window of length `length` as `leaving` drops out of it: every kept
    // sample loses one weight step (minus the old plain sum), the new one takes the top weight.
    void slide(double x, double leaving, double length) noexcept {
        weighted = weighted - plain + x * length;
        plain = plain + x - leaving;
    }

    void save(StateWriter& w) const {
        w.real(plain);
        w.real(weighted);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept { return r.real(plain) && r.real(weighted); }
};

// The whole part of the square root, exact for every 64-bit count.
inline std::uint64_t whole_square_root(std::uint64_t n) noexcept {
    std::uint64_t root = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
    while (root > 0 && root > n / root) --root;
    while (root + 1 <= n / (root + 1)) ++root;
    return root;
}

// Order of operations: each weighted average is weighted / (n * (n + 1) / 2), the divisor
// computed in doubles from n; its sums advance as WeightedSums says (weighted first, from the
// plain sum before this sample). half = wma(x, period / 2), full = wma(x, period) over one window
// of the last `period` samples; d = 2 * half - full; hma = wma(d, whole sqrt(period)). A missing
// sample empties every window, so the next value comes `period + sqrt(period) - 1` present samples
// later.
class HmaState {
public:
    static constexpr const char* name = "hma";
    static constexpr const char* class_name = "HmaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit HmaState(const Parameters& p) noexcept
        : samples_(p.counts[0]),
          differences_(whole_square_root(p.counts[0])),
          half_(p.counts[0] / 2),
          half_real_(static_cast<double>(half_)),
          full_real_(static_cast<double>(p.counts[0])),
          root_real_(static_cast<double>(differences_.capacity())),
          half_divisor_(divisor(half_real_)),
          full_divisor_(divisor(full_real_)),
          root_divisor_(divisor(root_real_)) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            samples_.clear();
            half_sums_ = full_sums_ = root_sums_ = WeightedSums{};
            differences_.clear();
            out[0] = missing_value;
            return;
        }
        const std::uint64_t seen = samples_.size();
        if (seen >= half_)
            half_sums_.slide(x, samples_.at(seen - half_), half_real_);
        else
            half_sums_.grow(x, static_cast<double>(seen + 1));
        if (!samples_.full()) {
            full_sums_.grow(x, static_cast<double>(seen + 1));
            samples_.push(x);
            if (!samples_.full()) {
                out[0] = missing_value;
                return;
            }
        } else {
            full_sums_.slide(x, samples_.oldest(), full_real_);
            samples_.push(x);
        }
        const double d = 2.0 * (half_sums_.weighted / half_divisor_) - full_sums_.weighted / full_divisor_;
        if (!differences_.full()) {
            root_sums_.grow(d, static_cast<double>(differences_.size() + 1));
            differences_.push(d);
            if (!differences_.full()) {
                out[0] = missing_value;
                return;
            }
        } else {
            root_sums_.slide(d, differences_.oldest(), root_real_);
            differences_.push(d);
        }
        out[0] = root_sums_.weighted / root_divisor_;
    }

    void save(StateWriter& w) const {
        samples_.save(w);
        half_sums_.save(w);
        full_sums_.save(w);
        differences_.save(w);
        root_sums_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        // Differences only come once the sample window is full.
        return samples_.load(r) && half_sums_.load(r) && full_sums_.load(r) && differences_.load(r) &&
               root_sums_.load(r) && (samples_.full() || differences_.size() == 0);
    }

private:
    static double divisor(double n) noexcept { return n * (n + 1.0) / 2.0; }

    Window samples_;      // the last `period` samples; the half average reads its newest period / 2
    Window differences_;  // the last sqrt(period) values of d
    std::uint64_t half_;
    double half_real_, full_real_, root_real_;
    double half_divisor_, full_divisor_, root_divisor_;
    WeightedSums half_sums_, full_sums_, root_sums_;
};

}  // namespace quillora::indicators
