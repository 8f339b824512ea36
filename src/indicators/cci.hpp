// Commodity channel index: how far the typical price is from its mean over the window, in units
// of 0.015 times the window's mean absolute deviation.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "vector_pair.hpp"
#include "window.hpp"

namespace quillora::indicators {

namespace cci_detail {

using vector_pair::load;
using vector_pair::Pair;
using vector_pair::store;
using PairBits = vector_pair::PairMask;
// |v| lane by lane, as std::fabs: the sign bit cleared.
inline Pair magnitude(Pair v) noexcept {
    const PairBits clear = {0x7FFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF};
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(v) & clear);
}

// The CCI of one bar from its window w[0, n) of typical prices, oldest first, in the order the
// state's step measures it.
inline double measure(const double* w, std::size_t n, double period) noexcept {
    const double shift = w[n - 1];
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + (w[i] - shift);
    const double mean = s / period;
    double a = 0.0;
    for (std::size_t i = 0; i < n; ++i) a = a + std::fabs((w[i] - shift) - mean);
    const double deviation = a / period;
    return deviation == 0.0 ? 0.0 : (0.0 - mean) / (0.015 * deviation);
}

// The CCIs of 8 consecutive bars, bar j's window w[j, j + n): each lane runs one bar's sums in
// their order (oldest first), so the bits are `measure`'s, and the 8 chains of additions overlap
// where one bar's chain alone would wait on every add.
inline void measure_8(const double* w, std::size_t n, double period, double* out) noexcept {
    const Pair k0 = load(w + n - 1), k1 = load(w + n + 1), k2 = load(w + n + 3), k3 = load(w + n + 5);
    Pair s0 = {0.0, 0.0}, s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t i = 0; i < n; ++i) {
        s0 = s0 + (load(w + i) - k0);
        s1 = s1 + (load(w + i + 2) - k1);
        s2 = s2 + (load(w + i + 4) - k2);
        s3 = s3 + (load(w + i + 6) - k3);
    }
    const Pair m0 = s0 / period, m1 = s1 / period, m2 = s2 / period, m3 = s3 / period;
    Pair a0 = {0.0, 0.0}, a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < n; ++i) {
        a0 = a0 + magnitude((load(w + i) - k0) - m0);
        a1 = a1 + magnitude((load(w + i + 2) - k1) - m1);
        a2 = a2 + magnitude((load(w + i + 4) - k2) - m2);
        a3 = a3 + magnitude((load(w + i + 6) - k3) - m3);
    }
    const Pair zero = {0.0, 0.0};
    const Pair means[4] = {m0, m1, m2, m3}, sums[4] = {a0, a1, a2, a3};
    for (int q = 0; q < 4; ++q) {
        const Pair deviation = sums[q] / period;
        const Pair value = (0.0 - means[q]) / (0.015 * deviation);
        store(out + 2 * q, deviation == 0.0 ? zero : value);
    }
}

}  // namespace cci_detail

// Order of operations: tp = ((high + low) + close) / 3.0 per bar, kept for the last `period`
// bars; n = period as a double. Each bar measures the window from its newest tp, K: s = 0.0,
// s = s + (tp_i - K) oldest first; m = s / n (the mean minus K); a = 0.0,
// a = a + |(tp_i - K) - m| oldest first; md = a / n; cci = (0.0 - m) / (0.015 * md) (the newest
// tp minus the mean), and 0.0 where md == 0.0. Measuring from K keeps every deviation exact of the
// price's magnitude, and a window of equal tp gives md == 0.0 exactly (and the newest tp is then
// its mean). O(period) per bar: the mean deviation needs the whole window. A missing bar (any
// input missing, or a typical price that overflows) clears the window; the next value comes
// `period` present bars later.
//
// Batch runs keep the typical prices of a stretch of bars, with the `period - 1` before it, in a
// scratch array on the stack and measure each bar's window there, 8 bars at a time; periods too
// long for the scratch step.
class CciState {
public:
    static constexpr const char* name = "cci";
    static constexpr const char* class_name = "CciState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit CciState(const Parameters& p) noexcept
        : typical_(p.counts[0]), period_real_(static_cast<double>(p.counts[0])) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            typical_.clear();
            out[0] = missing_value;
            return;
        }
        const double tp = ((in[0] + in[1]) + in[2]) / 3.0;
        if (!present(tp)) {  // the sum overflowed: no typical price to measure
            typical_.clear();
            out[0] = missing_value;
            return;
        }
        typical_.push(tp);
        if (!typical_.full()) {
            out[0] = missing_value;
            return;
        }
        const std::uint64_t size = typical_.size();
        const double shift = typical_.newest();
        double s = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) s = s + (typical_.at(i) - shift);
        const double mean = s / period_real_;
        double a = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) a = a + std::fabs((typical_.at(i) - shift) - mean);
        const double deviation = a / period_real_;
        out[0] = deviation == 0.0 ? 0.0 : (0.0 - mean) / (0.015 * deviation);
    }

    void run_present(const double* const* in, double* const* out, std::size_t length) {
        if (typical_.capacity() > scratch / 2) {
            step_bars(*this, in, out, 0, length);
            return;
        }
        std::size_t bar = 0;
        while (bar < length) {
            bar = run_typical(in, out, bar, length);
            // A typical price that overflows: stepping clears the window.
            if (bar < length) {
                step_bars(*this, in, out, bar, bar + 1);
                ++bar;
            }
        }
    }

    void save(StateWriter& w) const { typical_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!typical_.load(r)) return false;
        for (std::uint64_t i = 0; i < typical_.size(); ++i)
            if (!present(typical_.at(i))) return false;
        return true;
    }

private:
    static constexpr std::size_t scratch = 1024;

    // Runs bars [first, last) up to the first whose typical price overflows, which it returns
    // (or `last`) unrun.
    std::size_t run_typical(const double* const* in, double* const* out, std::size_t first, std::size_t last) {
        const double *high = in[0], *low = in[1], *close = in[2];
        const std::size_t period = static_cast<std::size_t>(typical_.capacity());
        double tp[scratch];
        // The typical prices since the last clear (at most `period`, the window's) lead `tp`,
        // the new ones follow them.
        std::size_t held = static_cast<std::size_t>(typical_.size());
        for (std::size_t i = 0; i < held; ++i) tp[i] = typical_.at(i);
        std::size_t bar = first, added = 0, fill = held;
        bool overflow = false;
        while (bar < last && !overflow) {
            std::size_t count = std::min(last - bar, scratch - held);
            for (std::size_t i = 0; i < count; ++i)
                tp[held + i] = ((high[bar + i] + low[bar + i]) + close[bar + i]) / 3.0;
            for (std::size_t i = 0; i < count; ++i) {
                if (!present(tp[held + i])) {
                    count = i;
                    overflow = true;
                    break;
                }
            }
            // Positions from `full` on end a full window; bar `bar + i` is position held + i.
            double* result = out[0] + bar;
            const std::size_t end = held + count, full = std::min(end, std::max(held, period - 1));
            std::size_t t = held;
            for (; t < full; ++t) result[t - held] = missing_value;
            for (; t + 8 <= end; t += 8)
                cci_detail::measure_8(tp + t + 1 - period, period, period_real_, result + t - held);
            for (; t < end; ++t) result[t - held] = cci_detail::measure(tp + t + 1 - period, period, period_real_);
            bar += count;
            added += count;
            fill = end;
            if (bar < last && !overflow) {
                held = std::min(period, end);
                std::memmove(tp, tp + end - held, held * sizeof(double));
            }
        }
        // The window ends as the last `period` typical prices, or as it was with the new ones
        // pushed after it.
        if (fill >= period) {
            typical_.push_run(tp + fill - period, period);
        } else {
            typical_.push_run(tp + fill - added, added);
        }
        return bar;
    }

    Window typical_;
    double period_real_;
};

}  // namespace quillora::indicators
