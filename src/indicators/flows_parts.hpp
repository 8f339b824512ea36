// Pieces the volume-flow and channel indicators share: where a close sits in its bar's range, the
// true range, Wilder's and the exponential average as parts, a growing ring of bars, the extreme
// of a trailing window kept in a monotonic queue, and what their batch runs share (two lanes at a
// time, the test for missing samples inside the loop).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "indicator.hpp"
#include "vector_pair.hpp"

namespace quillora::indicators {

// The money flow volume of a bar: ((close - low) - (high - close)) / (high - low) * volume, left
// to right. A bar without a positive range (high <= low) says nothing about where its close sits
// and moves no money: 0.
inline double money_flow_volume(double high, double low, double close, double volume) noexcept {
    const double range = high - low;
    if (!(range > 0.0)) return 0.0;
    return ((close - low) - (high - close)) / range * volume;
}

// Two doubles at a time, for the batch loops whose divides the compiler would leave scalar: it
// may not divide ahead of a test that could have skipped the divide. Each lane does the scalar
// operations in their order, so every value keeps its bits.
namespace flow_lanes {

using Lanes = vector_pair::Pair;
using Mask = vector_pair::PairMask;

inline Lanes lanes_at(const double* x) noexcept { return vector_pair::load(x); }
inline void put(double* x, Lanes v) noexcept { vector_pair::store(x, v); }
inline Lanes splat(double x) noexcept { return Lanes{x, x}; }
// `a` where `keep` holds, else `b`.
inline Lanes blend(Mask keep, Lanes a, Lanes b) noexcept {
    return reinterpret_cast<Lanes>((reinterpret_cast<Mask>(a) & keep) | (reinterpret_cast<Mask>(b) & ~keep));
}

}  // namespace flow_lanes

// Whether every input of bar i is present.
template <std::size_t Inputs>
bool present_at(const double* const* in, std::size_t i) noexcept {
    for (std::size_t k = 0; k < Inputs; ++k)
        if (!present(in[k][i])) return false;
    return true;
}

// Whether all of the samples of a bar are present, in one test: x - x is 0 for a present sample
// and NaN for a missing one, and a NaN survives the sum.
template <typename... Samples>
bool samples_present(Samples... x) noexcept {
    return (0.0 + ... + (x - x)) == 0.0;
}
// The same for the samples of two bars, a pair of lanes each.
template <typename... Pairs>
bool pairs_present(Pairs... x) noexcept {
    const flow_lanes::Lanes zeros = (flow_lanes::splat(0.0) + ... + (x - x));
    return zeros[0] + zeros[1] == 0.0;
}

// money_flow_volume of two bars at once, from their samples in pairs of lanes.
inline flow_lanes::Lanes money_flow_volume_pair(flow_lanes::Lanes high, flow_lanes::Lanes low, flow_lanes::Lanes close,
                                                flow_lanes::Lanes volume) noexcept {
    using namespace flow_lanes;
    const Lanes range = high - low;
    const Lanes flow = ((close - low) - (high - close)) / range * volume;
    return blend(range > 0.0, flow, splat(0.0));
}
// The largest of high - low, |high - previous close| and |low - previous close|: a maximum, so
// exact whatever the order of the comparisons.
inline double true_range(double high, double low, double previous_close) noexcept {
    double range = high - low;
    const double up = std::fabs(high - previous_close);
    const double down = std::fabs(low - previous_close);
    if (up > range) range = up;
    if (down > range) range = down;
    return range;
}

// Wilder's average of present values, in rma's order: s = -0.0, s = s + x over the first `period`
// values, s / period; then (average * (period - 1) + x) / period.
class WilderPart {
public:
    explicit WilderPart(std::uint64_t period) noexcept
        : period_(period), period_real_(static_cast<double>(period)), kept_(static_cast<double>(period - 1)) {}

    // Takes a present value; true once `value()` holds the average.
    bool add(double x) noexcept {
        if (run_ < period_) {
            sum_ = sum_ + x;
            if (++run_ < period_) return false;
            average_ = sum_ / period_real_;
            return true;
        }
        average_ = next(average_, x);
        return true;
    }
    bool seeded() const noexcept { return run_ == period_; }
    std::uint64_t run() const noexcept { return run_; }
    double value() const noexcept { return average_; }
    // The value that follows `average` once x is taken (seeded), and the average a batch run ends
    // at: a batch run keeps the average in a local (see EmaPart).
    double next(double average, double x) const noexcept { return (average * kept_ + x) / period_real_; }
    void resume(double average) noexcept { average_ = average; }
    void restart() noexcept {
        run_ = 0;
        sum_ = -0.0;
        average_ = missing_value;
    }

    void save(StateWriter& w) const {
        w.count(run_);
        w.real(sum_);
        w.real(average_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return r.count(run_) && run_ <= period_ && r.real(sum_) && r.real(average_);
    }

private:
    std::uint64_t period_;
    double period_real_, kept_;
    std::uint64_t run_ = 0;
    double sum_ = -0.0;
    double average_ = missing_value;
};

// A queue of at most `capacity` elements, oldest first, whose store grows with its elements (a
// period of 2**40 costs nothing up front). Room is made before anything changes, so a state that
// holds several of them stays whole when growing fails.
template <typename T>
class FlowRing {
public:
    explicit FlowRing(std::uint64_t capacity) noexcept : capacity_(capacity) {}

    std::uint64_t capacity() const noexcept { return capacity_; }
    std::uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == capacity_; }

    // Makes room for one more element below the capacity. May throw std::bad_alloc, and then
    // nothing has changed.
    void reserve_one() {
        if (size_ == slots_.size() && size_ < capacity_) grow();
    }
    // Appends; needs size() < capacity() and reserve_one() since the last append.
    void push_back(const T& item) noexcept {
        slots_[wrap(start_ + size_)] = item;
        ++size_;
    }
    void pop_front() noexcept {
        start_ = wrap(start_ + 1);
        --size_;
    }
    void pop_back() noexcept { --size_; }
    const T& front() const noexcept { return slots_[start_]; }
    const T& back() const noexcept { return at(size_ - 1); }
    const T& at(std::uint64_t i) const noexcept { return slots_[wrap(start_ + i)]; }
    void clear() noexcept {
        start_ = 0;
        size_ = 0;
    }
    // For a batch run that walks a full ring in place: its store of capacity() elements, the
    // oldest at oldest_slot() and the others after it, wrapping around. Overwriting the oldest and
    // moving the start one slot on is a pop_front and a push_back.
    T* full_store() noexcept { return slots_.data(); }
    std::size_t oldest_slot() const noexcept { return start_; }
    void move_oldest_slot(std::size_t slot) noexcept { start_ = slot; }
    // Replaces the contents by `items`, oldest first (at most the capacity: the caller checks).
    void assign(std::vector<T>&& items) noexcept {
        slots_ = std::move(items);
        start_ = 0;
        size_ = slots_.size();
    }

private:
    std::size_t wrap(std::uint64_t slot) const noexcept {
        return static_cast<std::size_t>(slot >= slots_.size() ? slot - slots_.size() : slot);
    }
    void grow() {
        const std::uint64_t wanted = std::min<std::uint64_t>(capacity_, std::max<std::uint64_t>(8, 2 * size_));
        std::vector<T> larger(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) larger[i] = at(i);
        slots_ = std::move(larger);
        start_ = 0;
    }

    std::uint64_t capacity_;
    std::vector<T> slots_;
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
};

// The highest (or lowest) of the last `period` present samples. The queue keeps the samples that
// no later one beats, oldest first, so its front is the extreme; each sample enters and leaves
// once, O(1) amortized per sample. Comparisons only: the extreme is exact.
template <bool Highest>
class WindowExtreme {
public:
    explicit WindowExtreme(std::uint64_t period) noexcept : period_(period), kept_(period) {}

    // Room for the next sample; may throw std::bad_alloc, and then nothing has changed.
    void reserve() { kept_.reserve_one(); }
    // Takes a present sample (after reserve()).
    void push(double x) noexcept {
        if (!kept_.empty() && seen_ - kept_.front().position >= period_) kept_.pop_front();
        while (!kept_.empty() && !beats(kept_.back().value, x)) kept_.pop_back();
        kept_.push_back({seen_, x});
        ++seen_;
    }
    // The extreme of an older and a newer sample as the queue keeps it: of equal ones (0.0 and
    // -0.0 included), the newer.
    static double prevailing(double older, double newer) noexcept { return beats(older, newer) ? older : newer; }
    std::uint64_t period() const noexcept { return period_; }
    // As if cleared, then given the `count` present samples from `x` (count <= period): the queue
    // depends on the samples of the window only.
    void refill(const double* x, std::size_t count) {
        clear();
        for (std::size_t i = 0; i < count; ++i) {
            reserve();
            push(x[i]);
        }
    }
    // Whether `period` samples have been taken since the last clear.
    bool full() const noexcept { return seen_ >= period_; }
    // The samples in the window so far (at most `period`).
    std::uint64_t filled() const noexcept { return seen_ < period_ ? seen_ : period_; }
    // The extreme of the window; needs a sample taken.
    double value() const noexcept { return kept_.front().value; }
    void clear() noexcept {
        kept_.clear();
        seen_ = 0;
    }

    // Saved as the samples in the window, the queue's length, then each kept sample's age (0 for
    // the newest) and value, oldest first.
    void save(StateWriter& w) const {
        w.count(filled());
        w.count(kept_.size());
        for (std::uint64_t i = 0; i < kept_.size(); ++i) {
            w.count(seen_ - 1 - kept_.at(i).position);
            w.real(kept_.at(i).value);
        }
    }
    // Accepts only a queue the samples could have left: ages strictly falling to 0 inside the
    // window, values present and each beating every later one.
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t filled = 0, length = 0;
        if (!r.count(filled) || filled > period_ || !r.count(length) || length > filled) return false;
        if ((filled == 0) != (length == 0)) return false;
        std::vector<Entry> entries;
        for (std::uint64_t i = 0; i < length; ++i) {
            std::uint64_t age = 0;
            double value = 0.0;
            if (!r.count(age) || !r.real(value) || age >= filled || !present(value)) return false;
            if (!entries.empty()) {
                const Entry& before = entries.back();
                if (filled - 1 - age <= before.position || !beats(before.value, value)) return false;
            }
            entries.push_back({filled - 1 - age, value});
        }
        if (length > 0 && entries.back().position != filled - 1) return false;
        kept_.assign(std::move(entries));
        seen_ = filled;
        return true;
    }

private:
    struct Entry {
        std::uint64_t position;  // samples taken before this one since the last clear
        double value;
    };
    static bool beats(double kept, double x) noexcept { return Highest ? kept > x : kept < x; }

    std::uint64_t period_;
    FlowRing<Entry> kept_;
    std::uint64_t seen_ = 0;
};

}  // namespace quillora::indicators
