// Linearly weighted moving average: the newest of the last `period` samples weighs `period`, the
// oldest 1, over the sum of the weights.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

// Order of operations: the divisor is p * (p + 1) / 2 with p the period as a double. A build sums
// the window oldest first, the k-th sample x (k = 1, 2, ..., counted as a double) adding as
// total = total + x and weighted = weighted + x * k, both from -0.0; the window's first fill is
// one build. After it, each sample shifts every weight down by one and drops the oldest:
// weighted = (weighted - total) + x * p, then total = (total - oldest) + x; every `period`-th
// sample after the last build builds both sums afresh instead. The value is weighted / divisor.
// The rebuilds bound the rounding the running sums carry: without them the running total's error
// would add into the weighted sum at every bar and grow without limit over a long series. A
// missing sample clears the window and both sums, so the next value comes `period` present
// samples later.
class WmaState {
public:
    static constexpr const char* name = "wma";
    static constexpr const char* class_name = "WmaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit WmaState(const Parameters& p) noexcept
        : window_(p.counts[0]),
          period_(p.counts[0]),
          period_real_(static_cast<double>(p.counts[0])),
          divisor_(period_real_ * (period_real_ + 1.0) / 2.0) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            clear();
            out[0] = missing_value;
            return;
        }
        if (!window_.full()) {
            window_.push(x);  // the only step that can throw; nothing else has changed yet
            weight_ = weight_ + 1.0;
            total_ = total_ + x;
            weighted_ = weighted_ + x * weight_;
            if (!window_.full()) {
                out[0] = missing_value;
                return;
            }
        } else {
            const double oldest = window_.oldest();
            window_.push(x);
            if (++since_build_ == period_) {
                build();
            } else {
                weighted_ = (weighted_ - total_) + x * period_real_;
                total_ = (total_ - oldest) + x;
            }
        }
        out[0] = weighted_ / divisor_;
    }

    // Steps the first `period` bars (which fill the window or take their oldest from it), then
    // reads the oldest sample and every rebuild's window from the caller's array, with both sums
    // in registers; the window is brought up to date in one copy at the end.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        if (length <= period_) {
            step_bars(*this, in, out, 0, length);
            return;
        }
        const std::size_t period = static_cast<std::size_t>(period_);
        step_bars(*this, in, out, 0, period);
        const double* x = in[0];
        double* result = out[0];
        const double p = period_real_, divisor = divisor_;
        double total = total_, weighted = weighted_;
        std::uint64_t since_build = since_build_;
        std::size_t i = period;
        while (i < length) {
            // Bars up to the next build take the running update; the build's bar rebuilds.
            const std::size_t plain =
                std::min<std::size_t>(static_cast<std::size_t>(period_ - 1 - since_build), length - i);
            for (std::size_t end = i + plain; i < end; ++i) {
                weighted = (weighted - total) + x[i] * p;
                total = (total - x[i - period]) + x[i];
                result[i] = weighted / divisor;
            }
            since_build += plain;
            if (i == length) break;
            since_build = 0;
            double k = 0.0;
            total = -0.0;
            weighted = -0.0;
            for (std::size_t j = i + 1 - period; j <= i; ++j) {
                k = k + 1.0;
                total = total + x[j];
                weighted = weighted + x[j] * k;
            }
            result[i] = weighted / divisor;
            ++i;
        }
        total_ = total;
        weighted_ = weighted;
        since_build_ = since_build;
        window_.push_run(x + period, length - period);
    }

    void save(StateWriter& w) const {
        window_.save(w);
        w.count(since_build_);
        w.real(total_);
        w.real(weighted_);
    }
    [[nodiscard]] bool load(StateReader& r) {
        if (!window_.load(r) || !r.count(since_build_) || since_build_ >= period_) return false;
        if (since_build_ != 0 && !window_.full()) return false;
        if (!r.real(total_) || !r.real(weighted_)) return false;
        weight_ = static_cast<double>(window_.size());
        return true;
    }

private:
    void build() noexcept {
        since_build_ = 0;
        double k = 0.0;
        total_ = -0.0;
        weighted_ = -0.0;
        for (std::uint64_t i = 0; i < period_; ++i) {
            const double x = window_.at(i);
            k = k + 1.0;
            total_ = total_ + x;
            weighted_ = weighted_ + x * k;
        }
    }
    void clear() noexcept {
        window_.clear();
        since_build_ = 0;
        weight_ = 0.0;
        total_ = -0.0;
        weighted_ = -0.0;
    }

    Window window_;
    std::uint64_t period_;
    double period_real_, divisor_;
    std::uint64_t since_build_ = 0;  // samples since the last build, once the window is full
    double weight_ = 0.0;            // the weight of the newest sample while the window fills
    double total_ = -0.0, weighted_ = -0.0;
};

}  // namespace quillora::indicators
