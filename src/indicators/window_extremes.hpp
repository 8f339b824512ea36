// The highest or the lowest of the last `period` samples, amortized O(1) per sample.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicator.hpp"

namespace quillora::indicators {

// A monotonic queue: it keeps only the samples that can still become the window's extreme (each
// one beats every sample taken after it), oldest first, so the front is the extreme. A sample
// enters once and leaves once. Ties keep the newest, which lives longest; the value is the same.
// The store grows with what is kept and never beyond `period`, so a huge period costs nothing up
// front.
template <bool Highest>
class ExtremeWindow {
public:
    explicit ExtremeWindow(std::uint64_t period) noexcept : period_(period) {}

    // Takes the next present sample. May throw std::bad_alloc while the store grows, and then
    // nothing has changed.
    void push(double x) {
        reserve();
        const std::uint64_t position = taken_;
        // The front leaves once it is `period` samples old; at most one leaves per sample.
        if (size_ > 0 && position - positions_[start_] >= period_) {
            start_ = wrap(start_ + 1);
            --size_;
        }
        while (size_ > 0 && !beats(values_[wrap(start_ + size_ - 1)], x)) --size_;
        const std::size_t slot = wrap(start_ + size_);
        values_[slot] = x;
        positions_[slot] = position;
        ++size_;
        ++taken_;
    }

    // Grows the store if the next push might need a slot, so that a caller pushing into several
    // windows can make every allocation before it changes any of them.
    void reserve() {
        if (size_ == values_.size() && size_ < period_) grow();
    }

    // The extreme of the last min(period, taken) samples; only after a push.
    double value() const noexcept { return values_[start_]; }
    // Samples taken since the last clear.
    std::uint64_t taken() const noexcept { return taken_; }

    void clear() noexcept {
        taken_ = 0;
        size_ = 0;
        start_ = 0;
    }

    // Saved as the samples taken, the number kept, then each kept sample's position and value,
    // oldest first.
    void save(StateWriter& w) const {
        w.count(taken_);
        w.count(size_);
        for (std::uint64_t i = 0; i < size_; ++i) w.count(positions_[wrap(start_ + i)]);
        for (std::uint64_t i = 0; i < size_; ++i) w.real(values_[wrap(start_ + i)]);
    }
    // Refuses what a push sequence cannot leave: a kept sample outside the window, positions not
    // increasing up to the newest, values that do not strictly beat every later one.
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t taken = 0, size = 0;
        if (!r.count(taken) || !r.count(size)) return false;
        if (size > period_ || size > taken || (taken > 0) != (size > 0)) return false;
        // The values first: a forged size is checked against the form's length before anything
        // is allocated.
        std::vector<double> values;
        if (!r.real_run(size, values)) return false;
        std::vector<std::uint64_t> positions(static_cast<std::size_t>(size));
        for (std::uint64_t i = 0; i < size; ++i) {
            if (!r.count(positions[i]) || !present(values[i])) return false;
            if (positions[i] >= taken || taken - 1 - positions[i] >= period_) return false;
            if (i > 0 && (positions[i] <= positions[i - 1] || !beats(values[i - 1], values[i]))) return false;
        }
        if (size > 0 && positions[size - 1] != taken - 1) return false;
        values_ = std::move(values);
        positions_ = std::move(positions);
        taken_ = taken;
        size_ = size;
        start_ = 0;
        return true;
    }

private:
    static bool beats(double kept, double x) noexcept { return Highest ? kept > x : kept < x; }
    std::size_t wrap(std::uint64_t slot) const noexcept {
        return static_cast<std::size_t>(slot >= values_.size() ? slot - values_.size() : slot);
    }
    void grow() {
        const std::uint64_t wanted = std::min<std::uint64_t>(period_, std::max<std::uint64_t>(8, 2 * size_));
        std::vector<double> values(static_cast<std::size_t>(wanted));
        std::vector<std::uint64_t> positions(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) {
            values[i] = values_[wrap(start_ + i)];
            positions[i] = positions_[wrap(start_ + i)];
        }
        values_ = std::move(values);
        positions_ = std::move(positions);
        start_ = 0;
    }

    std::uint64_t period_;
    std::vector<double> values_;
    std::vector<std::uint64_t> positions_;  // the index since the last clear of each kept sample
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t taken_ = 0;
};

using HighestWindow = ExtremeWindow<true>;
using LowestWindow = ExtremeWindow<false>;

}  // namespace quillora::indicators
