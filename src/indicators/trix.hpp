// TRIX: the one-bar rate of change, in percent, of a triple exponential average.
#pragma once

#include <algorithm>
#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"
#include "price_oscillator.hpp"

namespace quillora::indicators {

// Order of operations: e1 = ema(x), e2 = ema(e1), e3 = ema(e2), the chain of quillora's ema that
// TEMA reads (each seeded with the mean of its first `period` inputs); then
// trix = ((e3 - previous e3) / previous e3) * 100, and 0 where the previous e3 is zero. The first
// e3 has no value (it has nothing to compare with). A missing sample is skipped: it restarts the
// seed of every average still seeding and leaves the rest unchanged, so the next change is taken
// from the last e3 before it.
class TrixState {
public:
    static constexpr const char* name = "trix";
    static constexpr const char* class_name = "TrixState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    // Tables step their symbols side by side, in vector lanes once a block's chains are seeded and
    // each has a previous e3.
    static constexpr bool table_lockstep = true;

    explicit TrixState(const Parameters& p) noexcept
        : averages_{averages_detail::OpenEma(p.counts[0]), averages_detail::OpenEma(p.counts[0]),
                    averages_detail::OpenEma(p.counts[0])} {}

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            for (averages_detail::OpenEma& average : averages_) average.restart_seed();
            out[0] = missing_value;
            return;
        }
        if (!add(x)) {
            out[0] = missing_value;
            return;
        }
        const double previous = previous_;
        previous_ = averages_[2].average;
        if (!has_previous_) {
            has_previous_ = true;
            out[0] = missing_value;
            return;
        }
        out[0] = change(previous_, previous);
    }

    // Batch runs test for missing samples inside the loop, beside the averages' chain, instead of
    // scanning ahead for them.
    // Takes bars from `i` on while their samples are present and returns the first it did not
    // take. Steps until the third average has a previous value, then runs the three recursions in
    // registers; the change divides on every bar and then selects 0 where the previous e3 is zero,
    // the same value as the branch.
    std::size_t run_present_from(const double* x, double* result, std::size_t i, std::size_t length) noexcept {
        for (; i < length && !(has_previous_ && averages_[2].seeded()); ++i) {
            if (!present(x[i])) return i;
            step(x + i, result + i);
        }
        if (i == length) return i;
        const double alpha = averages_[0].alpha, keep = averages_[0].keep;
        double first = averages_[0].average, second = averages_[1].average, third = averages_[2].average;
        double previous = previous_;
        for (; i < length; ++i) {
            if (!present(x[i])) break;
            first = first * keep + x[i] * alpha;
            second = second * keep + first * alpha;
            third = third * keep + second * alpha;
            const double percent = (third - previous) / previous * 100.0;
            result[i] = previous == 0.0 ? 0.0 : percent;
            previous = third;
        }
        averages_[0].average = first;
        averages_[1].average = second;
        averages_[2].average = third;
        previous_ = previous;
        return i;
    }

    bool lanes_ready() const noexcept { return has_previous_; }
    static void run_lanes(TrixState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        using Lanes = EmaChainLanes<ChainValue::trix>;
        LaneFields<Lanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            for (std::size_t k = 0; k < 3; ++k) fields[k][s] = states[s].averages_[k].average;
            fields[3][s] = states[s].previous_;
        }
        const averages_detail::OpenEma& first = states[0].averages_[0];
        run_lane_steps(Lanes(first.keep, first.alpha), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            for (std::size_t k = 0; k < 3; ++k) states[s].averages_[k].average = fields[k][s];
            states[s].previous_ = fields[3][s];
        }
    }

    void save(StateWriter& w) const {
        for (const averages_detail::OpenEma& average : averages_) average.save(w);
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
    }
    // Refuses a form where an average holds inputs while the one before it is not seeded: it gets
    // none until then. An average's form begins with the count of inputs in its seed, read ahead.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        for (std::size_t k = 0; k < 3; ++k) {
            StateReader ahead = r;
            std::uint64_t run = 0;
            if (!ahead.count(run)) return false;
            if (k > 0 && run != 0 && !averages_[k - 1].seeded()) return false;
            if (!averages_[k].load(r)) return false;
        }
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.real(previous_)) return false;
        has_previous_ = has_previous == 1;
        return true;
    }

private:
    // Each average takes the values of the one before it from that one's first value on (the first
    // takes the samples); true once all three hold a value.
    bool add(double x) noexcept {
        double value = x;
        for (averages_detail::OpenEma& average : averages_) {
            if (!average.add(value)) return false;
            value = average.average;
        }
        return true;
    }

    static double change(double e3, double previous) noexcept {
        return previous == 0.0 ? 0.0 : (e3 - previous) / previous * 100.0;
    }

    averages_detail::OpenEma averages_[3];
    bool has_previous_ = false;  // whether e3 has had a value
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
