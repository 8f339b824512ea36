// Chande momentum oscillator (CMO) in TA-Lib's form: the smoothed upward less the smoothed
// downward changes over their sum, in percent, with RSI's Wilder smoothing.
#pragma once

#include <cstdint>

#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: as RSI's: each change is d = x - previous x; gain = d if d > 0 else 0.0,
// loss = -d if d < 0 else 0.0. The seed sums start at 0.0 and add the gains and losses of the
// first `period` changes in order, then average = sum / period; after it,
// average = (average * (period - 1) + gain) / period, the same for losses, both periods converted
// to double once. cmo = 100 * ((gain - loss) / (gain + loss)), and 0 when gain + loss is exactly
// zero (no movement at all). A missing sample restarts the seed before it is complete and is
// skipped after, so the next change spans the gap.
class CmoState {
public:
    static constexpr const char* name = "cmo";
    static constexpr const char* class_name = "CmoState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit CmoState(const Parameters& p) noexcept
        : period_(p.counts[0]),
          period_real_(static_cast<double>(p.counts[0])),
          kept_(static_cast<double>(p.counts[0] - 1)) {}

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            if (run_ < period_) restart();
            out[0] = missing_value;
            return;
        }
        if (!has_previous_) {
            previous_ = x;
            has_previous_ = true;
            out[0] = missing_value;
            return;
        }
        const double change = x - previous_;
        previous_ = x;
        const double gain = change > 0.0 ? change : 0.0;
        const double loss = change < 0.0 ? -change : 0.0;
        if (run_ < period_) {
            gain_ = gain_ + gain;
            loss_ = loss_ + loss;
            if (++run_ < period_) {
                out[0] = missing_value;
                return;
            }
            gain_ = gain_ / period_real_;
            loss_ = loss_ / period_real_;
        } else {
            gain_ = (gain_ * kept_ + gain) / period_real_;
            loss_ = (loss_ * kept_ + loss) / period_real_;
        }
        const double total = gain_ + loss_;
        out[0] = total == 0.0 ? 0.0 : 100.0 * ((gain_ - loss_) / total);
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.count(run_);
        w.real(previous_);
        w.real(gain_);
        w.real(loss_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.count(run_) || run_ > period_) return false;
        if (has_previous == 0 && run_ != 0) return false;
        has_previous_ = has_previous == 1;
        return r.real(previous_) && r.real(gain_) && r.real(loss_);
    }

private:
    void restart() noexcept {
        has_previous_ = false;
        run_ = 0;
        gain_ = 0.0;
        loss_ = 0.0;
    }

    std::uint64_t period_;
    double period_real_, kept_;
    bool has_previous_ = false;
    std::uint64_t run_ = 0;  // changes in the seed so far; `period_` once seeded
    double previous_ = missing_value;
    double gain_ = 0.0, loss_ = 0.0;  // the seed sums, then the smoothed averages
};

}  // namespace quillora::indicators
