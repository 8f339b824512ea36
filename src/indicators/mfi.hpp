// Money flow index: the share of the money that flowed on rising typical prices in all the money
// that flowed over a window, in percent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// Order of operations: typical price tp = (high + low + close) / 3.0; each bar after the first has
// the flow f = tp * volume, positive when tp - previous tp > 0, negative when it is < 0, neither
// when it is 0. The positive and negative sums run over the last `period` flows as WindowSums says
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
        const TwoLanes entry = flow(typical, previous_, in[3]);
        previous_ = typical;
        if (flows_.full()) sums_.remove(lanes(flows_.front()));
        sums_.add(entry);
        flows_.push(pair(entry));
        if (!flows_.full()) {
            out[0] = missing_value;
            return;
        }
        const TwoLanes sums = sums_.value();
        const double total = sums[0] + sums[1];
        out[0] = total == 0.0 ? 50.0 : 100.0 * (sums[0] / total);
    }

    // Steps until the window is full, then runs blocks: the block's typical prices and flows
    // first (independent bars, so they vectorize), then the sums' chain with the leaving flows
    // read from a scratch that holds the window's flows before the block's, then the block's
    // values two at a time. A window longer than the scratch holds is stepped.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && !flows_.full(); ++i) step_bar<4, 1>(*this, in, out, i);
        const std::uint64_t period = flows_.capacity();
        if (period > most_history) {
            for (; i < length; ++i) step_bar<4, 1>(*this, in, out, i);
            return;
        }
        const std::size_t history = static_cast<std::size_t>(period);
        TwoLanes flows[most_history + block];
        double typical[block], positive[block], negative[block];
        double previous = previous_;
        WindowSums sums = sums_;
        while (i < length) {
            const std::size_t n = std::min(block, length - i);
            const double *high = in[0] + i, *low = in[1] + i, *close = in[2] + i, *volume = in[3] + i;
            for (std::size_t k = 0; k < history; ++k) flows[k] = lanes(flows_.at(k));
            for (std::size_t j = 0; j < n; ++j) typical[j] = (high[j] + low[j] + close[j]) / 3.0;
            TwoLanes* entering = flows + history;
            entering[0] = flow(typical[0], previous, volume[0]);
            for (std::size_t j = 1; j < n; ++j) entering[j] = flow(typical[j], typical[j - 1], volume[j]);
            previous = typical[n - 1];
            for (std::size_t j = 0; j < n; ++j) {
                sums.remove(flows[j]);
                sums.add(entering[j]);
                const TwoLanes v = sums.value();
                positive[j] = v[0];
                negative[j] = v[1];
            }
            double* result = out[0] + i;
            std::size_t j = 0;
            for (; j + 2 <= n; j += 2) {
                TwoLanes up, down;
                std::memcpy(&up, positive + j, sizeof up);
                std::memcpy(&down, negative + j, sizeof down);
                const TwoLanes total = up + down;
                const TwoLanes value = total == TwoLanes{0.0, 0.0} ? TwoLanes{50.0, 50.0} : 100.0 * (up / total);
                std::memcpy(result + j, &value, sizeof value);
            }
            if (j < n) {
                const double total = positive[j] + negative[j];
                result[j] = total == 0.0 ? 50.0 : 100.0 * (positive[j] / total);
            }
            flows_.push_run(entering, n, pair);
            i += n;
        }
        previous_ = previous;
        sums_ = sums;
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
        flows_.save(w);
        w.real(sums_.value()[0]);
        w.real(sums_.value()[1]);
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
        return sums_.restore(positive, negative, up, down);
    }

private:
    static constexpr std::size_t block = 256, most_history = 512;

    // A bar's (positive, negative) flow: both lanes test the change, one for > 0, one for < 0.
    static TwoLanes flow(double typical, double previous, double volume) noexcept {
        const double f = typical * volume;
        const double change = typical - previous;
        return where(TwoLanes{change, -change} > TwoLanes{0.0, 0.0}, TwoLanes{f, f});
    }

    void clear() noexcept {
        has_previous_ = false;
        flows_.clear();
        sums_.clear();
    }

    Ring<Pair> flows_;  // the last `period` flows: (positive, negative)
    WindowSums sums_;
    bool has_previous_ = false;
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
