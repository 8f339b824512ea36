// True range: the bar's range widened to take in the previous close.
#pragma once

#include <cmath>
#include <cstdint>

#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: greatest = high - low; then |high - previous close| and |low - previous
// close|, each taken instead when strictly greater. Needs the bar before: the first bar, and the
// first after a missing one, have none. Takes present bars; `clear` forgets the previous close (a
// missing bar).
class TrueRangePart {
public:
    // Takes a present bar; true once `value()` holds its true range.
    bool add(double high, double low, double close) noexcept {
        const bool had_previous = has_previous_;
        if (had_previous) {
            double greatest = high - low;
            const double high_gap = std::fabs(high - previous_close_);
            if (high_gap > greatest) greatest = high_gap;
            const double low_gap = std::fabs(low - previous_close_);
            if (low_gap > greatest) greatest = low_gap;
            range_ = greatest;
        }
        previous_close_ = close;
        has_previous_ = true;
        return had_previous;
    }
    double value() const noexcept { return range_; }
    void clear() noexcept { has_previous_ = false; }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_close_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.real(previous_close_)) return false;
        has_previous_ = has_previous == 1;
        return true;
    }

private:
    bool has_previous_ = false;
    double previous_close_ = missing_value;
    double range_ = missing_value;
};

// A bar with a missing input has no true range, nor has the bar after it (its previous close is
// unknown); the one after that has one again.
class TrangeState {
public:
    static constexpr const char* name = "trange";
    static constexpr const char* class_name = "TrangeState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return p.counts.empty() && p.reals.empty(); }
    explicit TrangeState(const Parameters&) noexcept {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<3>(in)) {
            range_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = range_.add(in[0], in[1], in[2]) ? range_.value() : missing_value;
    }

    void save(StateWriter& w) const { range_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return range_.load(r); }

private:
    TrueRangePart range_;
};

}  // namespace quillora::indicators
