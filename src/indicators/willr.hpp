// Williams' %R: where the close sits below the highest high of the last bars, as a percent of
// their range (0 at the top, -100 at the bottom).
#pragma once

#include <algorithm>
#include <cstdint>

#include "indicator.hpp"
#include "stochastic.hpp"

namespace quillora::indicators {

// Order of operations: ((close - highest) / (highest - lowest)) * 100.0 over the last `period`
// bars' highs and lows, and -50.0 where the range is flat (highest == lowest, so the close is at
// both ends). (close - highest first, so the top gives 0.0, not -0.0, and the bottom exactly
// -100.0.) A missing bar (any input missing) clears the window; the next value comes `period`
// present bars later.
class WillrState {
public:
    static constexpr const char* name = "willr";
    static constexpr const char* class_name = "WillrState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit WillrState(const Parameters& p) noexcept : period_(p.counts[0]), range_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            range_.clear();
            out[0] = missing_value;
            return;
        }
        if (!range_.add(in[0], in[1])) {
            out[0] = missing_value;
            return;
        }
        out[0] = of(in[2], range_.highest(), range_.lowest());
    }

    // Whole series: stretches of present bars step the bars whose range reaches back before them,
    // then take the ranges from the arrays, `block` bars at a time through scratch on the stack,
    // %R two bars to a vector (run_stretches).
    void run(const double* const* in, double* const* out, std::size_t length) {
        run_stretches(*this, range_, in, out, length,
                      [this](const double* const* in_at, double* const* out_at, std::size_t count) {
                          return stretch(in_at, out_at, count);
                      });
    }

    void save(StateWriter& w) const { range_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return range_.load(r); }

private:
    std::size_t stretch(const double* const* in, double* const* out, std::size_t length) {
        namespace lanes = stochastic_detail;
        using lanes::block;
        range_.reserve_run();
        const std::size_t head = static_cast<std::size_t>(period_ - 1);
        step_bars(*this, in, out, 0, head);
        const std::uint64_t filled = range_.filled();
        RangePart::Run ranges(range_, in[0], in[1]);
        double highest[block], lowest[block];
        std::size_t bar = head;
        bool present_all = true;
        while (bar < length && present_all) {
            const std::size_t count = std::min(block, length - bar);
            ranges.values(count, highest, lowest);
            const double *high = in[0] + bar, *low = in[1] + bar, *close = in[2] + bar;
            double* result = out[0] + bar;
            lanes::PairMask seen = {0, 0};
            std::size_t i = 0;
            for (; i + 2 <= count; i += 2) {
                const lanes::Pair c = lanes::load(close + i);
                lanes::store(result + i, of(c, lanes::load(highest + i), lanes::load(lowest + i)));
                seen |= missing_bits(lanes::load(high + i)) | missing_bits(lanes::load(low + i)) | missing_bits(c);
            }
            present_all = none_missing(seen);
            for (; i < count; ++i) {
                result[i] = of(close[i], highest[i], lowest[i]);
                present_all = present_all && present(high[i]) && present(low[i]) && present(close[i]);
            }
            // The values from the first missing bar on are not the bars'.
            bar = present_all ? bar + count : first_missing_bar<3>(in, bar, bar + count);
        }
        range_.finish_run(in[0], in[1], bar, filled);
        return bar;
    }

    // For doubles and for pairs of them.
    template <typename T>
    static T of(T close, T highest, T lowest) noexcept {
        const T range = highest - lowest;
        return stochastic_detail::unless(range == 0.0, -50.0, ((close - highest) / range) * 100.0);
    }

    std::uint64_t period_;
    RangePart range_;
};

}  // namespace quillora::indicators
