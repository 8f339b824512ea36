// Price oscillators: the fast exponential average less the slow one (APO), and that difference
// as a percentage of the slow average (PPO).
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "parts.hpp"

namespace quillora::indicators {

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
    double fast() const noexcept { return fast_.value(); }
    double slow() const noexcept { return slow_.value(); }

    void save(StateWriter& w) const {
        fast_.save(w);
        slow_.save(w);
    }
    // The slower average cannot be seeded before the faster one.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return fast_.load(r) && slow_.load(r) && (fast_.seeded() || !slow_.seeded());
    }

private:
    EmaPart fast_, slow_;
};

// Order of operations: apo = fast - slow.
class ApoState {
public:
    static constexpr const char* name = "apo";
    static constexpr const char* class_name = "ApoState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return EmaPairPart::valid(p); }
    explicit ApoState(const Parameters& p) noexcept : averages_(p) {}

    void step(const double* in, double* out) noexcept {
        out[0] = averages_.add(in[0]) ? averages_.fast() - averages_.slow() : missing_value;
    }

    void save(StateWriter& w) const { averages_.save(w); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return averages_.load(r); }

private:
    EmaPairPart averages_;
};

// Order of operations: ppo = ((fast - slow) / slow) * 100, and 0 where slow is zero.
class PpoState {
public:
    static constexpr const char* name = "ppo";
    static constexpr const char* class_name = "PpoState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return EmaPairPart::valid(p); }
    explicit PpoState(const Parameters& p) noexcept : averages_(p) {}

    void step(const double* in, double* out) noexcept {
        if (!averages_.add(in[0])) {
            out[0] = missing_value;
            return;
        }
        const double slow = averages_.slow();
        out[0] = slow == 0.0 ? 0.0 : (averages_.fast() - slow) / slow * 100.0;
    }

    void save(StateWriter& w) const { averages_.save(w); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return averages_.load(r); }

private:
    EmaPairPart averages_;
};

}  // namespace quillora::indicators
