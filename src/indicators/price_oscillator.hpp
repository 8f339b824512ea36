// Price oscillators: the fast exponential average less the slow one (APO), and that difference
// as a percentage of the slow average (PPO).
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

namespace averages_detail {

// quillora's ema, as EmaPart defines it and with EmaPart's saved form: seeded with the mean of the
// first `period` values (s = -0.0, s = s + x in order, s / period), then
// average = average * keep + x * alpha with alpha = 2 / (period + 1) and keep = 1 - alpha, both
// rounded once. Its fields are open so that a batch run can carry the average in a register and
// write it back once.
struct OpenEma {
    explicit OpenEma(std::uint64_t period_) noexcept
        : period(period_), alpha(2.0 / (static_cast<double>(period_) + 1.0)), keep(1.0 - alpha) {}

    // Takes a present value; true once `average` holds the average.
    bool add(double x) noexcept {
        if (run < period) {
            sum = sum + x;
            if (++run < period) return false;
            average = sum / static_cast<double>(period);
            return true;
        }
        average = average * keep + x * alpha;
        return true;
    }
    bool seeded() const noexcept { return run == period; }
    // Forgets the values taken before the seed (a missing sample inside the seed window).
    void restart_seed() noexcept {
        if (run < period) {
            run = 0;
            sum = -0.0;
        }
    }

    void save(StateWriter& w) const {
        w.count(run);
        w.real(sum);
        w.real(average);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return r.count(run) && run <= period && r.real(sum) && r.real(average);
    }

    std::uint64_t period;
    double alpha, keep;
    std::uint64_t run = 0;
    double sum = -0.0;
    double average = missing_value;
};

}  // namespace averages_detail

// The two averages both oscillators read: quillora's ema of `fast` and of `slow` over the same
// samples, each seeded with the mean of its own first samples, so the pair has values from the
// slow seed on. A missing sample restarts a seed under way and is skipped by a seeded average.
class EmaPairPart {
public:
    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 2 && p.reals.empty() && p.counts[0] >= 1 && p.counts[0] < p.counts[1];
    }
    explicit EmaPairPart(const Parameters& p) noexcept : fast_(p.counts[0]), slow_(p.counts[1]) {}

    // Takes one sample; true when both averages hold a value for it.
    bool add(double x) noexcept {
        if (!present(x)) {
            fast_.restart_seed();
            slow_.restart_seed();
            return false;
        }
        const bool fast_ready = fast_.add(x);
        return slow_.add(x) && fast_ready;
    }
    double fast() const noexcept { return fast_.average; }
    double slow() const noexcept { return slow_.average; }
    // Both averages hold a value (the slow one is never seeded before the fast one).
    bool seeded() const noexcept { return slow_.seeded(); }
    // For tables stepping seeded symbols side by side.
    averages_detail::OpenEma& fast_average() noexcept { return fast_; }
    averages_detail::OpenEma& slow_average() noexcept { return slow_; }

    // Takes `length` present samples once seeded, both averages in registers; value(fast, slow)
    // gives each output.
    template <typename Value>
    void run_seeded(const double* x, double* result, std::size_t length, Value value) noexcept {
        const double fast_alpha = fast_.alpha, fast_keep = fast_.keep;
        const double slow_alpha = slow_.alpha, slow_keep = slow_.keep;
        double fast = fast_.average, slow = slow_.average;
        for (std::size_t i = 0; i < length; ++i) {
            fast = fast * fast_keep + x[i] * fast_alpha;
            slow = slow * slow_keep + x[i] * slow_alpha;
            result[i] = value(fast, slow);
        }
        fast_.average = fast;
        slow_.average = slow;
    }

    void save(StateWriter& w) const {
        fast_.save(w);
        slow_.save(w);
    }
    // The slower average cannot be seeded before the faster one.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return fast_.load(r) && slow_.load(r) && (fast_.seeded() || !slow_.seeded());
    }

private:
    averages_detail::OpenEma fast_, slow_;
};

// An oscillator over the pair: Oscillator::of(fast, slow) for every bar where both have a value.
template <typename Oscillator>
class PriceOscillatorState {
public:
    static constexpr const char* name = Oscillator::name;
    static constexpr const char* class_name = Oscillator::class_name;
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return EmaPairPart::valid(p); }
    // Tables step their symbols side by side, in vector lanes once a block's averages are seeded.
    static constexpr bool table_lockstep = true;

    explicit PriceOscillatorState(const Parameters& p) noexcept : averages_(p) {}

    bool lanes_ready() const noexcept { return averages_.seeded(); }
    template <typename Derived>
    static void run_lanes(Derived* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        using Lanes = EmaPairLanes<Oscillator::relative>;
        LaneFields<Lanes> fields = {};
        for (std::size_t s = 0; s < count; ++s) {
            fields[0][s] = states[s].averages_.fast();
            fields[1][s] = states[s].averages_.slow();
        }
        averages_detail::OpenEma &fast = states[0].averages_.fast_average(), &slow = states[0].averages_.slow_average();
        run_lane_steps(Lanes(fast.keep, fast.alpha, slow.keep, slow.alpha), fields, count, in, out[0], bar, bars);
        for (std::size_t s = 0; s < count; ++s) {
            states[s].averages_.fast_average().average = fields[0][s];
            states[s].averages_.slow_average().average = fields[1][s];
        }
    }

    void step(const double* in, double* out) noexcept {
        out[0] = averages_.add(in[0]) ? Oscillator::of(averages_.fast(), averages_.slow()) : missing_value;
    }

    // Steps until the slow average is seeded, then runs both recursions in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !averages_.seeded(); ++i) step_bars(*this, in, out, i, i + 1);
        averages_.run_seeded(in[0] + i, out[0] + i, length - i,
                             [](double fast, double slow) { return Oscillator::of(fast, slow); });
    }

    void save(StateWriter& w) const { averages_.save(w); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return averages_.load(r); }

private:
    EmaPairPart averages_;
};

// Order of operations: apo = fast - slow.
struct ApoOscillator {
    static constexpr const char* name = "apo";
    static constexpr const char* class_name = "ApoState";
    static constexpr bool relative = false;
    static double of(double fast, double slow) noexcept { return fast - slow; }
};
// Order of operations: ppo = ((fast - slow) / slow) * 100, and 0 where slow is zero.
struct PpoOscillator {
    static constexpr const char* name = "ppo";
    static constexpr const char* class_name = "PpoState";
    static constexpr bool relative = true;
    static double of(double fast, double slow) noexcept { return slow == 0.0 ? 0.0 : (fast - slow) / slow * 100.0; }
};

class ApoState : public PriceOscillatorState<ApoOscillator> {
public:
    using PriceOscillatorState::PriceOscillatorState;
};
class PpoState : public PriceOscillatorState<PpoOscillator> {
public:
    using PriceOscillatorState::PriceOscillatorState;
};

}  // namespace quillora::indicators
