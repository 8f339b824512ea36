// Triangular moving average (TRIMA): the mean of a window's means, which weighs the middle of
// the window most.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

namespace averages_detail {

// quillora's running mean, as SmaPart defines it and with SmaPart's saved form, its fields open
// to a batch run: sum = sum + x - oldest once the window is full (sum = sum + x while it fills,
// from -0.0), then sum / length.
struct OpenMean {
    explicit OpenMean(std::uint64_t length) noexcept : window(length), length_real(static_cast<double>(length)) {}

    // Takes a present value; true once `value()` holds the mean of a full window.
    bool add(double x) {
        if (window.full()) {
            sum = sum + x - window.oldest();
        } else {
            sum = sum + x;
        }
        window.push(x);
        return window.full();
    }
    double value() const noexcept { return sum / length_real; }
    void clear() noexcept {
        window.clear();
        sum = -0.0;
    }

    void save(StateWriter& w) const {
        window.save(w);
        w.real(sum);
    }
    [[nodiscard]] bool load(StateReader& r) { return window.load(r) && r.real(sum); }

    Window window;
    double length_real;
    double sum = -0.0;
};

}  // namespace averages_detail

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

    // Steps until both windows are full and the inner one's oldest sample lies in the run, then
    // reads the samples leaving the inner window from the run and the means leaving the outer one
    // from a scratch row that carries the last outer-length means from block to block. Outer
    // windows longer than half the row are stepped.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::size_t inner_length = static_cast<std::size_t>(inner_.window.capacity());
        const std::uint64_t outer_capacity = outer_.window.capacity();
        std::size_t i = 0;
        for (; i < length && (i < inner_length || !inner_.window.full() || !outer_.window.full()); ++i)
            step_bars(*this, in, out, i, i + 1);
        if (i == length) return;
        if (outer_capacity > scratch_size / 2) {
            step_bars(*this, in, out, i, length);
            return;
        }
        const std::size_t outer_length = static_cast<std::size_t>(outer_capacity);
        const std::size_t first = i, block = scratch_size - outer_length;
        const double* x = in[0];
        double* result = out[0];
        double scratch[scratch_size];  // the means before the block, then the block's
        for (std::size_t k = 0; k < outer_length; ++k) scratch[k] = outer_.window.at(k);
        double* means = scratch + outer_length;
        const double inner_real = inner_.length_real, outer_real = outer_.length_real;
        double inner_sum = inner_.sum, outer_sum = outer_.sum;
        std::size_t count = 0;
        while (i < length) {
            count = std::min(block, length - i);
            for (std::size_t j = 0; j < count; ++j) {
                inner_sum = inner_sum + x[i + j] - x[i + j - inner_length];
                const double mean = inner_sum / inner_real;
                means[j] = mean;
                outer_sum = outer_sum + mean - scratch[j];
                result[i + j] = outer_sum;
            }
            for (std::size_t j = 0; j < count; ++j) result[i + j] = result[i + j] / outer_real;
            i += count;
            if (i < length) std::memmove(scratch, scratch + count, outer_length * sizeof(double));
        }
        inner_.sum = inner_sum;
        outer_.sum = outer_sum;
        inner_.window.push_run(x + first, length - first);
        outer_.window.push_run(scratch + count, outer_length);
    }

    void save(StateWriter& w) const {
        inner_.save(w);
        outer_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) { return inner_.load(r) && outer_.load(r); }

private:
    static constexpr std::size_t scratch_size = 1024;

    averages_detail::OpenMean inner_, outer_;
};

}  // namespace quillora::indicators
