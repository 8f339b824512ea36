// Window extremes: MAX, MIN, MIDPOINT (the middle of a window's highest and lowest sample) and
// MIDPRICE (the middle of the highest high and the lowest low).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicator.hpp"

namespace quillora::indicators::regression {

// The candidates for a window's highest (or lowest) sample: each sample that no later sample
// reaches, oldest first, so the front is the extreme. Every sample enters once and leaves once
// (amortized O(1) a bar). Of equal samples only the latest is kept, so the extreme of a window
// is its latest sample of that value. The store grows with the candidates, never beyond the
// period, so a huge period costs nothing up front.
template <bool Highest>
class ExtremeCandidates {
public:
    explicit ExtremeCandidates(std::uint64_t period) noexcept : period_(period) {}

    // Makes room for one more candidate; may throw std::bad_alloc, and then nothing has changed.
    // A store of `period` candidates needs none: its oldest leaves as the next sample comes.
    void reserve_next() {
        if (size_ == slots_.size() && size_ < period_) grow();
    }
    // Takes the sample of position `index` (positions count up by one per sample since the last
    // clear), after reserve_next().
    void push(std::uint64_t index, double x) noexcept {
        if (size_ > 0 && index - at(0).index >= period_) {
            start_ = wrap(start_ + 1);
            --size_;
        }
        while (size_ > 0 && beaten(at(size_ - 1).value, x)) --size_;
        slots_[wrap(start_ + size_)] = Candidate{index, x};
        ++size_;
    }
    double extreme() const noexcept { return at(0).value; }
    void clear() noexcept {
        start_ = 0;
        size_ = 0;
    }

    // Saved as the count of candidates, then for each, oldest first, its age (bars before the
    // newest position `newest`) and its value.
    void save(StateWriter& w, std::uint64_t newest) const {
        w.count(size_);
        for (std::uint64_t i = 0; i < size_; ++i) {
            w.count(newest - at(i).index);
            w.real(at(i).value);
        }
    }
    // Reads what `save` wrote for a window of `filled` samples (at most the period), whose newest
    // position is filled - 1: ages below `filled`, strictly falling to 0, values present and
    // strictly monotone (no candidate beaten by a later one); an empty list only for an empty
    // window.
    [[nodiscard]] bool load(StateReader& r, std::uint64_t filled) {
        std::uint64_t size = 0;
        if (!r.count(size) || size > filled || (filled > 0 && size == 0)) return false;
        std::vector<Candidate> candidates;
        candidates.reserve(static_cast<std::size_t>(size));
        std::uint64_t older_age = filled;
        for (std::uint64_t i = 0; i < size; ++i) {
            std::uint64_t age = 0;
            double value = 0.0;
            if (!r.count(age) || !r.real(value) || age >= older_age || !present(value)) return false;
            if (i > 0 && beaten(candidates.back().value, value)) return false;
            candidates.push_back(Candidate{filled - 1 - age, value});
            older_age = age;
        }
        if (size > 0 && candidates.back().index != filled - 1) return false;
        slots_ = std::move(candidates);
        start_ = 0;
        size_ = size;
        return true;
    }

    // Candidate i, oldest first, as (position, value).
    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t index_at(std::uint64_t i) const noexcept { return at(i).index; }
    double value_at(std::uint64_t i) const noexcept { return at(i).value; }

private:
    struct Candidate {
        std::uint64_t index;
        double value;
    };
    // Whether an older candidate `kept` can never again be the extreme once `x` has arrived.
    static bool beaten(double kept, double x) noexcept { return Highest ? kept <= x : kept >= x; }

    const Candidate& at(std::uint64_t i) const noexcept { return slots_[wrap(start_ + i)]; }
    std::size_t wrap(std::uint64_t slot) const noexcept {
        return static_cast<std::size_t>(slot >= slots_.size() ? slot - slots_.size() : slot);
    }
    void grow() {
        const std::uint64_t wanted = std::min<std::uint64_t>(period_, std::max<std::uint64_t>(8, 2 * size_));
        std::vector<Candidate> larger(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) larger[i] = at(i);
        slots_ = std::move(larger);
        start_ = 0;
    }

    std::uint64_t period_;
    std::vector<Candidate> slots_;
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
};

// Counts the present samples since the last clear and says when a window of `period` is full.
// Saved as min(count, period): only differences of positions matter, so the saved form of a
// window is the same however long it has run.
class ExtremeRun {
public:
    explicit ExtremeRun(std::uint64_t period) noexcept : period_(period) {}
    std::uint64_t next() const noexcept { return next_; }
    void advance() noexcept { ++next_; }
    bool full() const noexcept { return next_ >= period_; }
    void clear() noexcept { next_ = 0; }
    std::uint64_t filled() const noexcept { return std::min(next_, period_); }
    // The newest position, for ages (only asked of a non-empty window).
    std::uint64_t newest() const noexcept { return next_ - 1; }

    void save(StateWriter& w) const { w.count(filled()); }
    [[nodiscard]] bool load(StateReader& r) noexcept { return r.count(next_) && next_ <= period_; }

private:
    std::uint64_t period_;
    std::uint64_t next_ = 0;
};

// Whether the highest and lowest candidates of one window can come from one run of samples. A
// sample in both lists would be above and below every later sample, so only the newest is: it
// ends both lists with one value, and no other position is in both. (Each list being monotone,
// any such pair comes from some run.)
inline bool consistent(const ExtremeCandidates<true>& highest, const ExtremeCandidates<false>& lowest) noexcept {
    const std::uint64_t nh = highest.size(), nl = lowest.size();
    if (nh == 0 || nl == 0) return nh == nl;
    if (highest.value_at(nh - 1) != lowest.value_at(nl - 1)) return false;
    std::uint64_t i = 0, j = 0;
    while (i < nh - 1 && j < nl - 1) {
        const std::uint64_t a = highest.index_at(i), b = lowest.index_at(j);
        if (a == b) return false;
        if (a < b) ++i; else ++j;
    }
    return true;
}

}  // namespace quillora::indicators::regression

namespace quillora::indicators {

// Order of operations: none for MAX and MIN (the output is a kept sample: the window's highest,
// resp. lowest, the latest of equal ones). A missing sample clears the window: the next value
// comes `period` present samples later.
template <bool Highest>
class ExtremeState {
public:
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit ExtremeState(const Parameters& p) noexcept : run_(p.counts[0]), candidates_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            run_.clear();
            candidates_.clear();
            out[0] = missing_value;
            return;
        }
        candidates_.reserve_next();
        candidates_.push(run_.next(), x);
        run_.advance();
        out[0] = run_.full() ? candidates_.extreme() : missing_value;
    }

    void save(StateWriter& w) const {
        run_.save(w);
        candidates_.save(w, run_.newest());
    }
    [[nodiscard]] bool load(StateReader& r) { return run_.load(r) && candidates_.load(r, run_.next()); }

private:
    regression::ExtremeRun run_;
    regression::ExtremeCandidates<Highest> candidates_;
};

class MaxState : public ExtremeState<true> {
public:
    static constexpr const char* name = "max";
    static constexpr const char* class_name = "MaxState";
    using ExtremeState::ExtremeState;
};

class MinState : public ExtremeState<false> {
public:
    static constexpr const char* name = "min";
    static constexpr const char* class_name = "MinState";
    using ExtremeState::ExtremeState;
};

// Order of operations: highest * 0.5 + lowest * 0.5 over the window of x (each half exact for
// normal doubles, one rounding in the sum; no overflow where (highest + lowest) / 2 would).
// A missing sample clears the window: the next value comes `period` present samples later.
class MidpointState {
public:
    static constexpr const char* name = "midpoint";
    static constexpr const char* class_name = "MidpointState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit MidpointState(const Parameters& p) noexcept
        : run_(p.counts[0]), highest_(p.counts[0]), lowest_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            run_.clear();
            highest_.clear();
            lowest_.clear();
            out[0] = missing_value;
            return;
        }
        highest_.reserve_next();
        lowest_.reserve_next();
        highest_.push(run_.next(), x);
        lowest_.push(run_.next(), x);
        run_.advance();
        out[0] = run_.full() ? highest_.extreme() * 0.5 + lowest_.extreme() * 0.5 : missing_value;
    }

    void save(StateWriter& w) const {
        run_.save(w);
        highest_.save(w, run_.newest());
        lowest_.save(w, run_.newest());
    }
    [[nodiscard]] bool load(StateReader& r) {
        return run_.load(r) && highest_.load(r, run_.next()) && lowest_.load(r, run_.next()) &&
               regression::consistent(highest_, lowest_);
    }

private:
    regression::ExtremeRun run_;
    regression::ExtremeCandidates<true> highest_;
    regression::ExtremeCandidates<false> lowest_;
};

// Order of operations: highest_high * 0.5 + lowest_low * 0.5 over the window of bars, as
// MIDPOINT. A bar with a missing high or low clears the window: the next value comes `period`
// present bars later.
class MidpriceState {
public:
    static constexpr const char* name = "midprice";
    static constexpr const char* class_name = "MidpriceState";
    static constexpr std::size_t inputs = 2, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit MidpriceState(const Parameters& p) noexcept
        : run_(p.counts[0]), highest_(p.counts[0]), lowest_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            run_.clear();
            highest_.clear();
            lowest_.clear();
            out[0] = missing_value;
            return;
        }
        highest_.reserve_next();
        lowest_.reserve_next();
        highest_.push(run_.next(), in[0]);
        lowest_.push(run_.next(), in[1]);
        run_.advance();
        out[0] = run_.full() ? highest_.extreme() * 0.5 + lowest_.extreme() * 0.5 : missing_value;
    }

    void save(StateWriter& w) const {
        run_.save(w);
        highest_.save(w, run_.newest());
        lowest_.save(w, run_.newest());
    }
    [[nodiscard]] bool load(StateReader& r) {
        return run_.load(r) && highest_.load(r, run_.next()) && lowest_.load(r, run_.next());
    }

private:
    regression::ExtremeRun run_;
    regression::ExtremeCandidates<true> highest_;
    regression::ExtremeCandidates<false> lowest_;
};

}  // namespace quillora::indicators
