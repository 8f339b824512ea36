// Money flow index: the share of the money that flowed on rising typical prices in all the money
// that flowed over a window, in percent.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// Order of operations: typical price tp = (high + low + close) / 3.0; each bar after the first has
// the flow f = tp * volume, positive when tp - previous tp > 0, negative when it is < 0, neither
// when it is 0. The positive and negative sums run over the last `period` flows as WindowSum says
// (the leaving flow removed before the new one is added). The value is 100 * (positive / total),
// total = positive + negative, and 50 when the total is exactly zero (no flow either way).
// A missing bar clears the window and the previous typical price, so the next value comes
// `period` bars after the next present one.
class MfiState {
public:
    static constexpr const char* name = "mfi";
    static constexpr const char* class_name = "MfiState";
    static constexpr std::size_t inputs = 4, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit MfiState(const Parameters& p) noexcept : flows_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<4>(in)) {
            clear();
            out[0] = missing_value;
            return;
        }
        flows_.make_room();
        const double typical = (in[0] + in[1] + in[2]) / 3.0;
        if (!has_previous_) {
            previous_ = typical;
            has_previous_ = true;
            out[0] = missing_value;
            return;
        }
        const double flow = typical * in[3];
        const double change = typical - previous_;
        previous_ = typical;
        const Pair entry{change > 0.0 ? flow : 0.0, change < 0.0 ? flow : 0.0};
        if (flows_.full()) {
            positive_.remove(flows_.front().first);
            negative_.remove(flows_.front().second);
        }
        positive_.add(entry.first);
        negative_.add(entry.second);
        flows_.push(entry);
        if (!flows_.full()) {
            out[0] = missing_value;
            return;
        }
        const double total = positive_.value() + negative_.value();
        out[0] = total == 0.0 ? 50.0 : 100.0 * (positive_.value() / total);
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
        flows_.save(w);
        w.real(positive_.value());
        w.real(negative_.value());
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t has_previous = 0;
        double positive = 0.0, negative = 0.0;
        if (!r.count(has_previous) || has_previous > 1 || !r.real(previous_) || !flows_.load(r) || !r.real(positive) ||
            !r.real(negative))
            return false;
        has_previous_ = has_previous == 1;
        if (!has_previous_ && !flows_.empty()) return false;
        std::uint64_t up = 0, down = 0;
        for (std::uint64_t i = 0; i < flows_.size(); ++i) {
            up += flows_.at(i).first != 0.0;
            down += flows_.at(i).second != 0.0;
        }
        return positive_.restore(positive, up) && negative_.restore(negative, down);
    }

private:
    void clear() noexcept {
        has_previous_ = false;
        flows_.clear();
        positive_.clear();
        negative_.clear();
    }

    Ring<Pair> flows_;  // the last `period` flows: (positive, negative)
    WindowSum positive_, negative_;
    bool has_previous_ = false;
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
