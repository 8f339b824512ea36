// Linearly weighted moving average: the newest of the last `period` samples weighs `period`, the
// oldest 1, over the sum of the weights.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

class HmaState;

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

    // Batch runs test for missing samples inside the loop, beside the sums' chain, instead of
    // scanning ahead for them.
    // The running sums of a full window, in registers during a batch run.
    struct Sums {
        double total, weighted;
        std::uint64_t since_build;
    };
    // The sums after the sample at `newest`, the window being the `period` samples ending there and
    // the one before them the oldest dropped: the same operations as `step` on a full window.
    static Sums next(Sums s, const double* newest, std::uint64_t period, double period_real) noexcept {
        if (++s.since_build == period) {
            s.since_build = 0;
            double k = 0.0;
            s.total = -0.0;
            s.weighted = -0.0;
            for (const double* v = newest + 1 - period; v <= newest; ++v) {
                k = k + 1.0;
                s.total = s.total + *v;
                s.weighted = s.weighted + *v * k;
            }
        } else {
            s.weighted = (s.weighted - s.total) + newest[0] * period_real;
            s.total = (s.total - *(newest - period)) + newest[0];
        }
        return s;
    }

    // Takes bars from `i` on while their samples are present and returns the first it did not
    // take. Steps the first `period` of them (the window holds their oldest samples), then reads
    // the oldest sample and every rebuild's window from the caller's array, with both sums in
    // registers; the window is brought up to date in one copy at the end.
    std::size_t run_present_from(const double* x, double* result, std::size_t i, std::size_t length) {
        const std::size_t from = i, period = static_cast<std::size_t>(period_);
        for (; i < length && i - from < period; ++i) {
            if (!present(x[i])) return i;
            step(x + i, result + i);
        }
        if (i == length) return i;
        const std::size_t fast = i;
        const double p = period_real_, divisor = divisor_;
        Sums sums{total_, weighted_, since_build_};
        for (; i < length; ++i) {
            if (!present(x[i])) break;
            sums = next(sums, x + i, period_, p);
            result[i] = sums.weighted / divisor;
        }
        total_ = sums.total;
        weighted_ = sums.weighted;
        since_build_ = sums.since_build;
        window_.push_run(x + fast, i - fast);
        return i;
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
    friend class HmaState;  // runs three of these side by side in one loop

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
