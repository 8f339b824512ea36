// The last samples of a series, for indicators over a trailing window.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicator.hpp"

namespace quillora::indicators {

// Holds the last `capacity` samples pushed. The store grows with the samples and never beyond
// `capacity`, so a period of 2**40 costs nothing until that many samples arrive.
class Window {
public:
    explicit Window(std::uint64_t capacity) noexcept : capacity_(capacity) {}

    std::uint64_t capacity() const noexcept { return capacity_; }
    std::uint64_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == capacity_; }

    // Adds the newest sample, dropping the oldest when full. May throw std::bad_alloc while the
    // store grows, and then nothing has changed.
    void push(double x) {
        if (size_ < capacity_) {
            if (size_ == slots_.size()) grow();
            slots_[wrap(start_ + size_)] = x;
            ++size_;
            return;
        }
        slots_[start_] = x;
        start_ = wrap(start_ + 1);
    }

    // As if each of `count` samples were pushed in order: a batch run that read its window from
    // the caller's array brings the state up to date in one copy.
    void push_run(const double* samples, std::uint64_t count) {
        if (count < capacity_) {
            for (std::uint64_t i = 0; i < count; ++i) push(samples[i]);
            return;
        }
        if (slots_.size() != capacity_) slots_.resize(static_cast<std::size_t>(capacity_));
        std::copy(samples + (count - capacity_), samples + count, slots_.begin());
        start_ = 0;
        size_ = capacity_;
    }

    // The i-th kept sample, oldest first (i < size()).
    double at(std::uint64_t i) const noexcept { return slots_[wrap(start_ + i)]; }
    // The oldest and the newest kept sample.
    double oldest() const noexcept { return slots_[start_]; }
    double newest() const noexcept { return at(size_ - 1); }

    void clear() noexcept {
        size_ = 0;
        start_ = 0;
    }

    // Saved as its size and its samples, oldest first.
    void save(StateWriter& writer) const {
        writer.count(size_);
        for (std::uint64_t i = 0; i < size_; ++i) writer.real(at(i));
    }
    [[nodiscard]] bool load(StateReader& reader) {
        std::uint64_t size = 0;
        std::vector<double> samples;
        if (!reader.count(size) || size > capacity_ || !reader.real_run(size, samples)) return false;
        slots_ = std::move(samples);
        start_ = 0;
        size_ = size;
        return true;
    }

private:
    std::size_t wrap(std::uint64_t slot) const noexcept {
        return static_cast<std::size_t>(slot >= slots_.size() ? slot - slots_.size() : slot);
    }
    void grow() {
        const std::uint64_t wanted = std::min<std::uint64_t>(capacity_, std::max<std::uint64_t>(8, 2 * size_));
        std::vector<double> larger(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) larger[i] = at(i);
        slots_ = std::move(larger);
        start_ = 0;
    }

    std::uint64_t capacity_;
    std::vector<double> slots_;
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
};

}  // namespace quillora::indicators
