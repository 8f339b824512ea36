// Hull moving average (HMA): a weighted average over sqrt(period) bars of twice the weighted
// average over half the period minus the one over the whole period.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

    // Batch runs test for missing samples inside the loop. The three averages run side by side in
    // one loop, each bar's d kept in stack scratch for the outer one's oldest sample and rebuilds;
    // an outer length too long for that scratch runs the averages one after another over blocks.
    void run(const double* const* in, double* const* out, std::size_t length) {
        if (root_.period_ > carry) {
            run_in_blocks(in[0], out[0], length);
            return;
        }
        run_testing_inline(*this, in, out, length);
    }

    void save(StateWriter& w) const {
        half_.save(w);
        full_.save(w);
        root_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return half_.load(r) && full_.load(r) && root_.load(r); }

private:
    template <typename S>
    friend void run_testing_inline(S&, const double* const*, double* const*, std::size_t);
    static constexpr std::size_t carry = 512, block = 1024;

    // Takes bars from `i` on while their samples (and their d) are present and returns the first it
    // did not take. Steps until the full average has `period` samples of this run in its window and
    // the outer average is full, then runs the three averages' sums in registers, reading the inner
    // ones' windows from the caller's array and the outer one's from the scratch of d; the windows
    // are brought up to date in one copy each at the end. A d that is not a number (an overflow)
    // stops the run before its bar, which `step` then takes.
    std::size_t run_present_from(const double* x, double* result, std::size_t i, std::size_t length) {
        const std::size_t from = i, full_length = static_cast<std::size_t>(full_.period_);
        for (; i < length && (i - from < full_length || !root_.window_.full()); ++i) {
            if (!present(x[i])) return i;
            step(x + i, result + i);
        }
        if (i == length) return i;
        const std::size_t fast = i, r = static_cast<std::size_t>(root_.period_);
        // d[r + j] is the d of bar i + j of the current sub-block; the r before it are the outer
        // average's window.
        double d[carry + block];
        for (std::size_t j = 0; j < r; ++j) d[j] = root_.window_.at(j);
        const std::uint64_t half_period = half_.period_, full_period = full_.period_, root_period = root_.period_;
        const double half_p = half_.period_real_, half_divisor = half_.divisor_;
        const double full_p = full_.period_real_, full_divisor = full_.divisor_;
        const double root_p = root_.period_real_, root_divisor = root_.divisor_;
        WmaState::Sums half{half_.total_, half_.weighted_, half_.since_build_};
        WmaState::Sums full{full_.total_, full_.weighted_, full_.since_build_};
        WmaState::Sums root{root_.total_, root_.weighted_, root_.since_build_};
        std::size_t tail = 0;  // where the outer average's last r samples start in d
        while (i < length) {
            const std::size_t n = std::min(block, length - i);
            std::size_t j = 0;
            for (; j < n; ++j) {
                const double* v = x + i + j;
                if (!present(*v)) break;
                const WmaState::Sums h = WmaState::next(half, v, half_period, half_p);
                const WmaState::Sums f = WmaState::next(full, v, full_period, full_p);
                const double dv = 2.0 * (h.weighted / half_divisor) - f.weighted / full_divisor;
                if (!present(dv)) break;
                half = h;
                full = f;
                d[r + j] = dv;
                root = WmaState::next(root, d + r + j, root_period, root_p);
                result[i + j] = root.weighted / root_divisor;
            }
            i += j;
            if (j < n) {
                tail = j;
                break;
            }
            std::memmove(d, d + n, r * sizeof(double));
        }
        put_back(half_, half, x + fast, i - fast);
        put_back(full_, full, x + fast, i - fast);
        put_back(root_, root, d + tail, r);
        return i;
    }
    static void put_back(WmaState& average, const WmaState::Sums& sums, const double* pushed, std::size_t count) {
        average.total_ = sums.total;
        average.weighted_ = sums.weighted;
        average.since_build_ = sums.since_build;
        average.window_.push_run(pushed, count);
    }

    // Both inner averages run over a block into stack scratch, d is formed there, and the outer
    // average runs over it, as `step` would on each bar.
    void run_in_blocks(const double* x, double* result, std::size_t length) {
        double half[block], full[block];
        for (std::size_t first = 0; first < length; first += block) {
            const std::size_t n = std::min(block, length - first);
            const double* in = x + first;
            double* half_out = half;
            double* full_out = full;
            run_series(half_, &in, &half_out, n);
            run_series(full_, &in, &full_out, n);
            for (std::size_t j = 0; j < n; ++j) full[j] = present(full[j]) ? 2.0 * half[j] - full[j] : missing_value;
            const double* d = full;
            double* out = result + first;
            run_series(root_, &d, &out, n);
        }
    }

    static WmaState period(std::uint64_t n) noexcept {
        const std::uint64_t counts[] = {n};
        return WmaState(Parameters{counts, {}});
    }

    WmaState half_, full_, root_;
};

}  // namespace quillora::indicators
