// Triangular moving average (TRIMA): the mean of a window's means, which weighs the middle of
// the window most.
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "parts.hpp"

namespace quillora::indicators {

// Order of operations: an odd period takes the mean over (period + 1) / 2 samples of the means
// over (period + 1) / 2 samples; an even one the mean over period / 2 + 1 of the means over
// period / 2 (weights 1, 2, ..., 2, 1 over the period either way). Each mean is quillora's running
// one: sum = sum + x - oldest, left to right, then sum / its length. A missing sample empties both
// windows, so the next value comes `period` present samples later.
class TrimaState {
public:
    static constexpr const char* name = "trima";
    static constexpr const char* class_name = "TrimaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit TrimaState(const Parameters& p) noexcept
        : inner_(p.counts[0] / 2 + p.counts[0] % 2), outer_(p.counts[0] / 2 + 1) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            inner_.clear();
            outer_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = inner_.add(x) && outer_.add(inner_.value()) ? outer_.value() : missing_value;
    }

    void save(StateWriter& w) const {
        inner_.save(w);
        outer_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return inner_.load(r) && outer_.load(r); }

private:
    SmaPart inner_, outer_;
};

}  // namespace quillora::indicators
