// TRIX: the one-bar rate of change, in percent, of a triple exponential average.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "parts.hpp"

namespace quillora::indicators {

// Order of operations: e1 = ema(x), e2 = ema(e1), e3 = ema(e2), each one quillora's ema over the
// values of the one before (seeded with the mean of its first `period` values); then
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
    explicit TrixState(const Parameters& p) noexcept : first_(p.counts[0]), second_(p.counts[0]), third_(p.counts[0]) {}

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            first_.restart_seed();
            second_.restart_seed();
            third_.restart_seed();
            out[0] = missing_value;
            return;
        }
        const bool had_previous = third_.seeded();
        if (!first_.add(x) || !second_.add(first_.value()) || !third_.add(second_.value())) {
            out[0] = missing_value;
            return;
        }
        const double previous = previous_;
        previous_ = third_.value();
        if (!had_previous) {
            out[0] = missing_value;
            return;
        }
        out[0] = previous == 0.0 ? 0.0 : (previous_ - previous) / previous * 100.0;
    }

    void save(StateWriter& w) const {
        first_.save(w);
        second_.save(w);
        third_.save(w);
        w.real(previous_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        // A later average only ever takes values once the one before it is seeded.
        return first_.load(r) && second_.load(r) && third_.load(r) && r.real(previous_) &&
               (first_.seeded() || !second_.seeded()) && (second_.seeded() || !third_.seeded());
    }

private:
    EmaPart first_, second_, third_;
    double previous_ = missing_value;  // the last e3
};

}  // namespace quillora::indicators
