// Exponential averages of exponential averages, for DEMA and TEMA.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "indicator.hpp"
#include "parts.hpp"

namespace quillora::indicators {

// N EmaParts of one period, each fed the values of the one before it from that one's first value
// on (the first takes the samples), so each is seeded with the mean of its first `period` inputs.
// A missing sample is missing for every average: each one still in its seed restarts it, a seeded
// one skips it.
template <std::size_t N>
class EmaChain {
public:
    explicit EmaChain(std::uint64_t period) noexcept : EmaChain(period, std::make_index_sequence<N>{}) {}

    // Takes a present value; true once every average holds a value.
    bool add(double x) noexcept {
        double value = x;
        for (EmaPart& part : parts_) {
            if (!part.add(value)) return false;
            value = part.value();
        }
        return true;
    }
    // Whether every average is seeded (the last one is only once those before it are).
    bool seeded() const noexcept { return parts_[N - 1].seeded(); }
    // Takes `length` present values once seeded, calling `emit(i, averages)` after the i-th. The
    // averages are a local copy while it runs, so stores through the caller's output cannot alias
    // them and they stay in registers.
    template <class Emit>
    void add_seeded_run(const double* x, std::size_t length, Emit&& emit) noexcept {
        std::array<EmaPart, N> parts = parts_;
        for (std::size_t i = 0; i < length; ++i) {
            double value = x[i];
            for (EmaPart& part : parts) {
                part.add(value);
                value = part.value();
            }
            emit(i, parts);
        }
        parts_ = parts;
    }
    void restart_seed() noexcept {
        for (EmaPart& part : parts_) part.restart_seed();
    }
    // The k-th average (0: the average of the samples).
    double value(std::size_t k) const noexcept { return parts_[k].value(); }

    void save(StateWriter& w) const {
        for (const EmaPart& part : parts_) part.save(w);
    }
    // Refuses a form where an average holds inputs while the one before it is not seeded: it gets
    // none until then. An EmaPart's form begins with the count of inputs in its seed, read ahead.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        for (std::size_t k = 0; k < N; ++k) {
            StateReader ahead = r;
            std::uint64_t run = 0;
            if (!ahead.count(run)) return false;
            if (k > 0 && run != 0 && !parts_[k - 1].seeded()) return false;
            if (!parts_[k].load(r)) return false;
        }
        return true;
    }

private:
    template <std::size_t... K>
    EmaChain(std::uint64_t period, std::index_sequence<K...>) noexcept : parts_{((void)K, EmaPart(period))...} {}

    std::array<EmaPart, N> parts_;
};

}  // namespace quillora::indicators
