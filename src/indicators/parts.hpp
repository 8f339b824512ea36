// Building blocks that several indicators chain: each takes one present value at a time and says
// whether it has a value yet. Missing samples are the caller's to handle (skip for recursive
// chains, restart for windows), so every indicator states its own rule once.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// The exponential average of quillora's ema: seeded with the mean of the first `period` values
// (s = -0.0, s = s + x in order, s / period), then average = average * keep + x * alpha with
// alpha = 2 / (period + 1) and keep = 1 - alpha, both rounded once. A custom alpha (e.g. 1 / period
// for Wilder's form) keeps the same order.
class EmaPart {
public:
    explicit EmaPart(std::uint64_t period) noexcept : EmaPart(period, 2.0 / (static_cast<double>(period) + 1.0)) {}
    EmaPart(std::uint64_t period, double alpha) noexcept : period_(period), alpha_(alpha), keep_(1.0 - alpha) {}

    // Takes a present value; true once `value()` holds the average.
    bool add(double x) noexcept {
        if (run_ < period_) {
            sum_ = sum_ + x;
            if (++run_ < period_) return false;
            average_ = sum_ / static_cast<double>(period_);
            return true;
        }
        average_ = next(average_, x);
        return true;
    }
    bool seeded() const noexcept { return run_ == period_; }
    double value() const noexcept { return average_; }
    // The value that follows `average` once x is taken (seeded), and the average a batch run ends
    // at: a batch run keeps the average in a local, where a copy of the part carried through its
    // loop would be carried as fields packed in pairs and the average would wait on the packing.
    double next(double average, double x) const noexcept { return average * keep_ + x * alpha_; }
    void resume(double average) noexcept { average_ = average; }
    // Forgets the values taken before the seed (a missing sample inside the seed window).
    void restart_seed() noexcept {
        if (run_ < period_) {
            run_ = 0;
            sum_ = -0.0;
        }
    }

    void save(StateWriter& w) const {
        w.count(run_);
        w.real(sum_);
        w.real(average_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return r.count(run_) && run_ <= period_ && r.real(sum_) && r.real(average_);
    }

private:
    std::uint64_t period_;
    double alpha_, keep_;
    std::uint64_t run_ = 0;
    double sum_ = -0.0;
    double average_ = missing_value;
};

// The mean of the last `period` values: a running sum updated as sum = sum + x - oldest (one
// rounding per operation, left to right) once the window is full, sum / period. `clear` restarts
// it (a missing sample entered the window).
class SmaPart {
public:
    explicit SmaPart(std::uint64_t period) noexcept : window_(period), period_real_(static_cast<double>(period)) {}

    // Takes a present value; true once `value()` holds the mean of a full window.
    bool add(double x) {
        if (window_.full()) {
            sum_ = sum_ + x - window_.oldest();
        } else {
            sum_ = sum_ + x;
        }
        window_.push(x);
        return window_.full();
    }
    double value() const noexcept { return sum_ / period_real_; }
    void clear() noexcept {
        window_.clear();
        sum_ = -0.0;
    }

    // Adds v[0, count) in order, writing means[i] wherever add(v[i]) leaves the window full, and
    // returns the first such i (count if none). The oldest values come from the window for the
    // first `period` values after it is full, then from v itself, the sum in a register.
    std::size_t add_run(const double* v, std::size_t count, double* means) {
        std::size_t i = 0;
        while (i < count && !window_.full()) add(v[i++]);
        if (!window_.full()) return count;
        const std::size_t first = i == 0 ? 0 : i - 1;
        if (i > 0) means[i - 1] = value();
        const std::size_t period = static_cast<std::size_t>(window_.capacity());
        const std::size_t head = count - i < period ? count : i + period;
        double sum = sum_;
        std::size_t j = i;
        for (; j < head; ++j) {
            sum = sum + v[j] - window_.at(j - i);
            means[j] = sum / period_real_;
        }
        for (; j < count; ++j) {
            sum = sum + v[j] - v[j - period];
            means[j] = sum / period_real_;
        }
        sum_ = sum;
        window_.push_run(v + i, count - i);
        return first;
    }

    void save(StateWriter& w) const {
        window_.save(w);
        w.real(sum_);
    }
    [[nodiscard]] bool load(StateReader& r) { return window_.load(r) && r.real(sum_); }

private:
    Window window_;
    double period_real_;
    double sum_ = -0.0;
};

}  // namespace quillora::indicators
