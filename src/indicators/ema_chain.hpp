// Exponential averages of exponential averages, for DEMA, TEMA and TRIX.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "indicator.hpp"
#include "lane_kernels.hpp"

namespace quillora::indicators {

// N exponential averages of one period (quillora's ema, as EmaPart computes it: the seed is
// s = -0.0, s = s + x over the first `period` inputs, s / period; then
// average = average * keep + x * alpha with alpha = 2 / (period + 1) and keep = 1 - alpha, both
// rounded once). Each is fed the values of the one before it from that one's first value on (the
// first takes the samples), so each is seeded with the mean of its first `period` inputs. A
// missing sample is missing for every average: each one still in its seed restarts it, a seeded
// one skips it. Each average is saved as EmaPart saves itself: its seed count, its sum, its value.
//
// The averages are plain doubles here rather than N EmaParts, so a run of seeded values can keep
// them in registers.
template <std::size_t N>
class EmaChain {
public:
    explicit EmaChain(std::uint64_t period) noexcept
        : period_(period), alpha_(2.0 / (static_cast<double>(period) + 1.0)), keep_(1.0 - alpha_) {
        run_.fill(0);
        sum_.fill(-0.0);
        average_.fill(missing_value);
    }

    // Takes a present value; true once every average holds a value.
    bool add(double x) noexcept {
        double value = x;
        for (std::size_t k = 0; k < N; ++k) {
            if (run_[k] < period_) {
                sum_[k] = sum_[k] + value;
                if (++run_[k] < period_) return false;
                average_[k] = sum_[k] / static_cast<double>(period_);
            } else {
                average_[k] = average_[k] * keep_ + value * alpha_;
            }
            value = average_[k];
        }
        return true;
    }
    // Whether every average is seeded (the last one is only once those before it are).
    bool seeded() const noexcept { return run_[N - 1] == period_; }
    // Takes `length` present values once seeded, calling `emit(i, averages)` after the i-th with
    // the N averages (a std::array<double, N>, the first the average of the samples). They are
    // locals while it runs, so stores through the caller's output cannot alias them.
    template <class Emit>
    void add_seeded_run(const double* x, std::size_t length, Emit&& emit) noexcept {
        std::array<double, N> e = average_;
        const double keep = keep_, alpha = alpha_;
        for (std::size_t i = 0; i < length; ++i) {
            blend_each(e, x[i], keep, alpha, std::make_index_sequence<N>{});
            emit(i, e);
        }
        average_ = e;
    }
    void restart_seed() noexcept {
        for (std::size_t k = 0; k < N; ++k) {
            if (run_[k] < period_) {
                run_[k] = 0;
                sum_[k] = -0.0;
            }
        }
    }
    // The k-th average (0: the average of the samples).
    double value(std::size_t k) const noexcept { return average_[k]; }
    // For tables stepping seeded symbols side by side: the k-th average goes on from `average`.
    void resume(std::size_t k, double average) noexcept { average_[k] = average; }
    double keep() const noexcept { return keep_; }
    double alpha() const noexcept { return alpha_; }

    void save(StateWriter& w) const {
        for (std::size_t k = 0; k < N; ++k) {
            w.count(run_[k]);
            w.real(sum_[k]);
            w.real(average_[k]);
        }
    }
    // Refuses a form where an average holds inputs while the one before it is not seeded: it gets
    // none until then.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        for (std::size_t k = 0; k < N; ++k) {
            if (!r.count(run_[k]) || run_[k] > period_) return false;
            if (k > 0 && run_[k] != 0 && run_[k - 1] != period_) return false;
            if (!r.real(sum_[k]) || !r.real(average_[k])) return false;
        }
        return true;
    }

private:
    // One value through every average, each written out by index: a loop over the array would
    // keep the averages in memory.
    template <std::size_t... K>
    static void blend_each(std::array<double, N>& e, double value, double keep, double alpha,
                           std::index_sequence<K...>) noexcept {
        ((e[K] = e[K] * keep + value * alpha, value = e[K]), ...);
    }

    std::uint64_t period_;
    double alpha_, keep_;
    std::array<std::uint64_t, N> run_;  // inputs in each seed so far; `period_` once seeded
    std::array<double, N> sum_;
    std::array<double, N> average_;
};

// Tables of DEMA or TEMA: `count` states whose chains (chain_of(state)) are seeded, stepped over
// bars [bar, bars) in vector lanes, each value as `Value` reads the averages.
template <ChainValue Value, typename State, typename ChainOf>
void run_chains_in_lanes(State* states, ChainOf chain_of, std::size_t count, const BlockLanes* in,
                         const BlockLanes* out, std::size_t bar, std::size_t bars) noexcept {
    using Lanes = EmaChainLanes<Value>;
    LaneFields<Lanes> fields = {};
    for (std::size_t s = 0; s < count; ++s)
        for (std::size_t k = 0; k < Lanes::fields; ++k) fields[k][s] = chain_of(states[s]).value(k);
    const auto& first = chain_of(states[0]);
    run_lane_steps(Lanes(first.keep(), first.alpha()), fields, count, in, out[0], bar, bars);
    for (std::size_t s = 0; s < count; ++s)
        for (std::size_t k = 0; k < Lanes::fields; ++k) chain_of(states[s]).resume(k, fields[k][s]);
}

}  // namespace quillora::indicators
