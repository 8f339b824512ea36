// TRIX: the one-bar rate of change, in percent, of a triple exponential average.
#pragma once

#include <cstdint>

#include "ema_chain.hpp"
#include "indicator.hpp"

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
    explicit TrixState(const Parameters& p) noexcept : averages_(p.counts[0]) {}

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            averages_.restart_seed();
            out[0] = missing_value;
            return;
        }
        if (!averages_.add(x)) {
            out[0] = missing_value;
            return;
        }
        const double previous = previous_;
        previous_ = averages_.value(2);
        if (!has_previous_) {
            has_previous_ = true;
            out[0] = missing_value;
            return;
        }
        out[0] = previous == 0.0 ? 0.0 : (previous_ - previous) / previous * 100.0;
    }

    void save(StateWriter& w) const {
        averages_.save(w);
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t has_previous = 0;
        if (!averages_.load(r) || !r.count(has_previous) || has_previous > 1 || !r.real(previous_)) return false;
        has_previous_ = has_previous == 1;
        return true;
    }

private:
    EmaChain<3> averages_;
    bool has_previous_ = false;  // whether e3 has had a value
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
