// Bollinger bands: the simple moving average with bands a number of population standard
// deviations above and below it (BBANDS with a simple average).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "variance.hpp"

namespace quillora::indicators {

// Order of operations: middle = sum / period with sum kept as in SmaPart (sum = sum + x before the
// window fills, then sum = sum + x - oldest, left to right; sum starts at -0.0); sd =
// sqrt(variance), the variance as in VAR over the same window; upper = middle + nbdev_up * sd;
// lower = middle - nbdev_down * sd. The running sum and the variance share one window. A missing
// sample clears both; the next values come `period` present samples later.
class BbandsState {
public:
    static constexpr const char* name = "bbands";
    static constexpr const char* class_name = "BbandsState";
    static constexpr std::size_t inputs = 1, outputs = 3;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.size() == 2 && p.counts[0] >= 2 && present(p.reals[0]) &&
               present(p.reals[1]);
    }
    explicit BbandsState(const Parameters& p) noexcept
        : variance_(p.counts[0]), period_real_(static_cast<double>(p.counts[0])), up_(p.reals[0]), down_(p.reals[1]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            variance_.clear();
            sum_ = -0.0;
            missing_bar<3>(out);
            return;
        }
        const bool was_full = variance_.full();
        const double oldest = was_full ? variance_.oldest() : 0.0;
        // The window grows first: if that throws, nothing has changed.
        const bool full = variance_.add(x);
        sum_ = was_full ? sum_ + x - oldest : sum_ + x;
        if (!full) {
            missing_bar<3>(out);
            return;
        }
        const double middle = sum_ / period_real_;
        const double sd = std::sqrt(variance_.value());
        out[0] = middle + up_ * sd;
        out[1] = middle;
        out[2] = middle - down_ * sd;
    }

    // The first `period` bars are stepped (their window is the state's); the rest read it from x,
    // the running sum in the variance's loop. The upper output holds M2 and the middle the sum
    // until the bands are made from them, two bars to a vector.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::size_t period = static_cast<std::size_t>(variance_.period());
        const std::size_t head = std::min(period, length);
        step_bars(*this, in, out, 0, head);
        if (head == length) return;
        const double* x = in[0];
        double *upper = out[0], *middle = out[1], *lower = out[2];
        double sum = sum_;
        const double n = period_real_;
        variance_.run_full<false>(x, head, length, [&](std::size_t i, double m2) {
            sum = sum + x[i] - x[i - period];
            middle[i] = sum;
            upper[i] = m2;
        });
        sum_ = sum;
        using variance_detail::Pair;
        const double up = up_, down = down_;
        const Pair count = {n, n}, up_pair = {up, up}, down_pair = {down, down};
        std::size_t i = head;
        for (; i + 2 <= length; i += 2) {
            const Pair mean = variance_detail::load(middle + i) / count;
            const Pair sd = variance_detail::sqrt(variance_detail::variance(variance_detail::load(upper + i), count));
            variance_detail::store(upper + i, mean + up_pair * sd);
            variance_detail::store(middle + i, mean);
            variance_detail::store(lower + i, mean - down_pair * sd);
        }
        for (; i < length; ++i) {
            const double mean = middle[i] / n;
            const double variance = upper[i] / n;
            const double sd = std::sqrt(variance < 0.0 ? 0.0 : variance);
            upper[i] = mean + up * sd;
            middle[i] = mean;
            lower[i] = mean - down * sd;
        }
    }

    void save(StateWriter& w) const {
        variance_.save(w);
        w.real(sum_);
    }
    [[nodiscard]] bool load(StateReader& r) { return variance_.load(r) && r.real(sum_); }

private:
    VariancePart variance_;
    double period_real_, up_, down_;
    double sum_ = -0.0;
};

}  // namespace quillora::indicators
