// Kaufman's adaptive moving average (KAMA): an exponential average whose factor follows how
// efficiently the price travelled over the last `period` bars, between the 2-bar and the 30-bar
// factor.
#pragma once

#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// Order of operations: the window holds the last period + 1 prices and their period steps
// |x[j] - x[j - 1]|. net = |x - oldest price|; path = path + |x - previous price| as a price comes
// in, path = path - |second oldest - oldest| once its bar is done (left to right, so path carries
// the running sum's rounding). efficiency = 1 when every step in the window is zero or path <= net,
// else net / path; factor = efficiency * (2/3 - 2/31) + 2/31 (the constants rounded once);
// kama = kama + (factor * factor) * (x - kama). The first kama starts from the price before the
// first full window. A missing sample empties the window (no value until it is full again); the
// average keeps its value across it and resumes from there.
class KamaState {
public:
    static constexpr const char* name = "kama";
    static constexpr const char* class_name = "KamaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit KamaState(const Parameters& p) noexcept : prices_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            clear_window();
            out[0] = missing_value;
            return;
        }
        if (prices_.size() == 0) {
            prices_.push(x);
            out[0] = missing_value;
            return;
        }
        const double step_in = std::fabs(x - prices_.newest());
        path_ = path_ + step_in;
        moving_steps_ += step_in != 0.0;
        if (!prices_.full()) {
            prices_.push(x);
            out[0] = missing_value;
            return;
        }
        if (!seeded_) {
            kama_ = prices_.newest();
            seeded_ = true;
        }
        const double net = std::fabs(x - prices_.oldest());
        const double efficiency = moving_steps_ == 0 || path_ <= net ? 1.0 : net / path_;
        const double factor = efficiency * span + slowest;
        kama_ = kama_ + factor * factor * (x - kama_);
        out[0] = kama_;

        const double step_out = std::fabs(prices_.at(1) - prices_.oldest());
        path_ = path_ - step_out;
        moving_steps_ -= step_out != 0.0;
        prices_.push(x);
    }

    // Batch runs test for missing samples inside the loop, beside the average's chain, instead of
    // scanning ahead for them.
    // Takes bars from `i` on while their samples are present and returns the first it did not
    // take. Steps the first `period` of them (their oldest prices are in the window) and until the
    // average has started, then reads the window's prices from the caller's array with the
    // average, the path and the count of moving steps in registers.
    std::size_t run_present_from(const double* x, double* result, std::size_t i, std::size_t length) {
        const std::size_t from = i, period = static_cast<std::size_t>(prices_.capacity());
        for (; i < length && (i - from < period || !seeded_); ++i) {
            if (!present(x[i])) return i;
            step(x + i, result + i);
        }
        if (i == length) return i;
        const std::size_t first = i;
        double kama = kama_, path = path_;
        std::uint64_t moving_steps = moving_steps_;
        for (; i < length; ++i) {
            if (!present(x[i])) break;
            const double step_in = std::fabs(x[i] - x[i - 1]);
            path = path + step_in;
            moving_steps += step_in != 0.0;
            const double net = std::fabs(x[i] - x[i - period]);
            const double efficiency = moving_steps == 0 || path <= net ? 1.0 : net / path;
            const double factor = efficiency * span + slowest;
            kama = kama + factor * factor * (x[i] - kama);
            result[i] = kama;
            const double step_out = std::fabs(x[i - period + 1] - x[i - period]);
            path = path - step_out;
            moving_steps -= step_out != 0.0;
        }
        kama_ = kama;
        path_ = path;
        moving_steps_ = moving_steps;
        prices_.push_run(x + first, i - first);
        return i;
    }

    void save(StateWriter& w) const {
        prices_.save(w);
        w.real(path_);
        w.count(seeded_ ? 1 : 0);
        w.real(kama_);
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t seeded = 0;
        if (!prices_.load(r) || !r.real(path_) || !r.count(seeded) || seeded > 1 || !r.real(kama_)) return false;
        seeded_ = seeded == 1;
        // The count of moving steps follows from the prices, so it is not saved.
        moving_steps_ = 0;
        for (std::uint64_t j = 1; j < prices_.size(); ++j)
            moving_steps_ += std::fabs(prices_.at(j) - prices_.at(j - 1)) != 0.0;
        return true;
    }

private:
    static constexpr double fastest = 2.0 / 3.0, slowest = 2.0 / 31.0, span = fastest - slowest;

    void clear_window() noexcept {
        prices_.clear();
        path_ = 0.0;
        moving_steps_ = 0;
    }

    Window prices_;  // the last `period` prices before the bar being stepped
    double path_ = 0.0;
    std::uint64_t moving_steps_ = 0;  // steps in the window that are not zero
    bool seeded_ = false;
    double kama_ = missing_value;
};

}  // namespace quillora::indicators
