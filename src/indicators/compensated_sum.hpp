// A running sum that keeps the rounding error of every addition, so a sum updated bar after bar
// (a value in, the oldest out) stays within an ulp of the window's true sum instead of drifting
// with the history it has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators::regression {

// Dekker's split of a double into a high half of 26 significant bits and the exact rest, with
// 134217729 = 2**27 + 1. Exact unless |a| exceeds about 2**996, where it gives NaN.
struct Halves {
    double high, low;
};
inline Halves split(double a) noexcept {
    const double scaled = 134217729.0 * a;
    const double high = scaled - (scaled - a);
    return {high, a - high};
}

// Order of operations: the value is sum + error. add(x): total = sum + x, x_part = total - sum,
// lost = (sum - (total - x_part)) + (x - x_part) (Knuth's two-sum: total + lost == sum + x exactly),
// sum = total, error = error + lost. add(other): add(other.sum), then error = error + other.error.
// subtract_product(a, b) with a split as (ah, al) and b as (bh, bl): product = a * b,
// lost = (((ah * bh - product) + ah * bl) + al * bh) + al * bl (Dekker: product + lost == a * b
// exactly), add(-product), then error = error - lost. Empty: sum = -0.0, error = -0.0.
class CompensatedSum {
public:
    CompensatedSum() noexcept = default;
    CompensatedSum(double sum, double error) noexcept : sum_(sum), error_(error) {}

    void add(double x) noexcept {
        const double total = sum_ + x;
        const double x_part = total - sum_;
        const double lost = (sum_ - (total - x_part)) + (x - x_part);
        sum_ = total;
        error_ = error_ + lost;
    }
    void add(const CompensatedSum& other) noexcept {
        add(other.sum_);
        error_ = error_ + other.error_;
    }
    // Takes a * b away, `a` given with its halves (a constant, split once).
    void subtract_product(double a, Halves a_halves, double b) noexcept {
        const double product = a * b;
        const double lost = product_lost(a_halves, b, product);
        add(-product);
        error_ = error_ - lost;
    }
    // Dekker's a * b - product, exact, for product = a * b rounded.
    static double product_lost(Halves a_halves, double b, double product) noexcept {
        const Halves b_halves = split(b);
        return (((a_halves.high * b_halves.high - product) + a_halves.high * b_halves.low) +
                a_halves.low * b_halves.high) +
               a_halves.low * b_halves.low;
    }

    double sum() const noexcept { return sum_; }
    double error() const noexcept { return error_; }
    double value() const noexcept { return sum_ + error_; }
    void clear() noexcept {
        sum_ = -0.0;
        error_ = -0.0;
    }

    void save(StateWriter& w) const {
        w.real(sum_);
        w.real(error_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept { return r.real(sum_) && r.real(error_); }

private:
    double sum_ = -0.0;
    double error_ = -0.0;
};

// Two doubles in the lanes of one register: batch runs do two independent chains of the same
// operations at once, each lane rounding exactly as the scalar code does.
using Lanes = double __attribute__((vector_size(16)));

// What add() loses, in each lane: `before` + `x` rounded to `after`, Knuth's two-sum's lost part
// (before - (after - x_part)) + (x - x_part) with x_part = after - before.
inline Lanes lost_parts(Lanes before, Lanes x, Lanes after) noexcept {
    const Lanes x_part = after - before;
    return (before - (after - x_part)) + (x - x_part);
}

// present(x) on the integer units, for loops whose additions already fill the floating-point
// ones: x is NaN or infinite exactly when its exponent bits are all set.
inline bool present_bits(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    constexpr std::uint64_t exponent = 0x7ff0000000000000;
    return (bits & exponent) != exponent;
}

// Steps bars [first, last) one by one, as step_bars does, for the family's shared state templates
// (which are not yet declared indicators: their names come with the classes built on them).
template <typename S>
void step_each(S& state, const double* const* inputs, double* const* outputs, std::size_t first, std::size_t last) {
    double in[S::inputs];
    double out[S::outputs];
    for (std::size_t i = first; i < last; ++i) {
        for (std::size_t k = 0; k < S::inputs; ++k) in[k] = inputs[k][i];
        state.step(in, out);
        for (std::size_t k = 0; k < S::outputs; ++k) outputs[k][i] = out[k];
    }
}

// Whether every sample a window holds is present (windows of these states hold no other).
inline bool all_present(const Window& window) noexcept {
    for (std::uint64_t i = 0; i < window.size(); ++i)
        if (!present(window.at(i))) return false;
    return true;
}

}  // namespace quillora::indicators::regression
