// Pieces the directional, money-flow, ultimate-oscillator and Aroon states share: a growing ring
// that can also serve as a double-ended queue, and a window sum that is exactly zero when every
// term in its window is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "indicator.hpp"
#include "vector_pair.hpp"

namespace quillora::indicators {

// Steps bar i of a run: for a state's warm-up, before its run_present takes over. (step_bars
// needs the declared state; this serves the templates they derive from too.)
template <std::size_t Inputs, std::size_t Outputs, typename State>
void step_bar(State& state, const double* const* inputs, double* const* outputs, std::size_t i) {
    double in[Inputs];
    double out[Outputs];
    for (std::size_t k = 0; k < Inputs; ++k) in[k] = inputs[k][i];
    state.step(in, out);
    for (std::size_t k = 0; k < Outputs; ++k) outputs[k][i] = out[k];
}

// Two doubles in one register, for two sums that run side by side: lane by lane the operations
// are those of each sum alone, so the bits are too. Comparisons give masks of all ones or zeros.
using TwoLanes = vector_pair::Pair;
using TwoMask = vector_pair::PairMask;

// x where the mask is set, else +0.0.
inline TwoLanes where(TwoMask mask, TwoLanes x) noexcept {
    const TwoLanes zero = {0.0, 0.0};
    return mask ? x : zero;
}

// Two samples kept together for one bar (a high and a low; a buying pressure and a true range).
struct Pair {
    double first, second;
};

// At most `capacity` entries, oldest first. The store grows with the entries and never beyond
// `capacity`, so a huge period costs nothing up front. `make_room` does the growing a later
// `push` or `push_back` would do: a state that changes several rings in one bar calls it on each
// first, so std::bad_alloc leaves the whole state as it was.
template <typename Entry>
class Ring {
public:
    explicit Ring(std::uint64_t capacity) noexcept : capacity_(capacity) {}

    std::uint64_t capacity() const noexcept { return capacity_; }
    std::uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == capacity_; }

    void make_room() {
        if (size_ < capacity_ && size_ == slots_.size()) grow();
    }
    // Adds the newest entry, dropping the oldest when full.
    void push(const Entry& entry) {
        if (size_ == capacity_) {
            slots_[start_] = entry;
            start_ = wrap(start_ + 1);
            return;
        }
        push_back(entry);
    }
    // Adds the newest entry to a ring that is not full.
    void push_back(const Entry& entry) {
        make_room();
        slots_[wrap(start_ + size_)] = entry;
        ++size_;
    }
    // Grows the store so that the next `count` pushes need no more room: a state that runs a
    // block of bars makes its allocation before it changes anything.
    void reserve_for(std::uint64_t count) {
        const std::uint64_t needed = count >= capacity_ - size_ ? capacity_ : size_ + count;
        if (needed > slots_.size())
            grow_to(std::max<std::uint64_t>(needed, std::min<std::uint64_t>(capacity_, 2 * size_)));
    }
    // As if entry(0), ..., entry(count - 1) were pushed in order.
    template <typename Entries>
    void push_each(std::uint64_t count, Entries entry) {
        if (count < capacity_) {
            for (std::uint64_t i = 0; i < count; ++i) push(entry(i));
            return;
        }
        if (slots_.size() != capacity_) grow_to(capacity_);
        const std::uint64_t first = count - capacity_;
        for (std::size_t i = 0; i < capacity_; ++i) slots_[i] = entry(first + i);
        start_ = 0;
        size_ = capacity_;
    }
    // As if each of `count` entries were pushed in order, each convert(source) (a scratch may
    // hold them in another form).
    template <typename Source, typename Convert>
    void push_run(const Source* entries, std::uint64_t count, Convert convert) {
        push_each(count, [entries, convert](std::uint64_t i) { return convert(entries[i]); });
    }
    void push_run(const Entry* entries, std::uint64_t count) {
        push_each(count, [entries](std::uint64_t i) { return entries[i]; });
    }
    void pop_front() noexcept {
        start_ = wrap(start_ + 1);
        --size_;
    }
    void pop_back() noexcept { --size_; }

    // The i-th kept entry, oldest first (i < size()).
    const Entry& at(std::uint64_t i) const noexcept { return slots_[wrap(start_ + i)]; }
    const Entry& front() const noexcept { return slots_[start_]; }
    const Entry& back() const noexcept { return at(size_ - 1); }

    void clear() noexcept {
        size_ = 0;
        start_ = 0;
    }

    // Saved as the size, then the entries oldest first; a ring of pairs writes every first
    // sample, then every second one.
    void save(StateWriter& w) const
        requires(std::is_same_v<Entry, double> || std::is_same_v<Entry, Pair>)
    {
        w.count(size_);
        if constexpr (std::is_same_v<Entry, double>) {
            for (std::uint64_t i = 0; i < size_; ++i) w.real(at(i));
        } else {
            for (std::uint64_t i = 0; i < size_; ++i) w.real(at(i).first);
            for (std::uint64_t i = 0; i < size_; ++i) w.real(at(i).second);
        }
    }
    [[nodiscard]] bool load(StateReader& r)
        requires(std::is_same_v<Entry, double> || std::is_same_v<Entry, Pair>)
    {
        std::uint64_t size = 0;
        if (!r.count(size) || size > capacity_) return false;
        std::vector<Entry> entries;
        if constexpr (std::is_same_v<Entry, double>) {
            if (!r.real_run(size, entries)) return false;
        } else {
            std::vector<double> firsts, seconds;
            if (!r.real_run(size, firsts) || !r.real_run(size, seconds)) return false;
            entries.resize(static_cast<std::size_t>(size));
            for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = Pair{firsts[i], seconds[i]};
        }
        slots_ = std::move(entries);
        start_ = 0;
        size_ = size;
        return true;
    }

private:
    std::size_t wrap(std::uint64_t slot) const noexcept {
        return static_cast<std::size_t>(slot >= slots_.size() ? slot - slots_.size() : slot);
    }
    void grow() { grow_to(std::min<std::uint64_t>(capacity_, std::max<std::uint64_t>(8, 2 * size_))); }
    void grow_to(std::uint64_t wanted) {
        std::vector<Entry> larger(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) larger[i] = at(i);
        slots_ = std::move(larger);
        start_ = 0;
    }

    std::uint64_t capacity_;
    std::vector<Entry> slots_;
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
};

// Running sums over a sliding window, two side by side (a positive and a negative flow; a
// buying pressure and a true range), each lane as one sum: sum = sum + x as a term enters,
// sum = sum - x as it leaves (one rounding each, in that order). Adding and removing leaves a
// rounding residue, so each sum also counts its non-zero terms and is set to exactly 0.0 after any
// removal that leaves none: a window of zero terms (equal prices, no volume) sums to zero, not to
// what is left of the past.
class WindowSums {
public:
    // The counting is by masks: whether a term is zero is as unpredictable as the prices. The
    // counts are doubles, exact far beyond any window that can be held. `counted` is what a term
    // adds to them (1.0 in each lane whose term is not zero), for a caller that enters one term
    // into several windows or reads it from a scratch.
    static TwoLanes counted(TwoLanes x) noexcept { return where(x != TwoLanes{0.0, 0.0}, TwoLanes{1.0, 1.0}); }
    void add(TwoLanes x, TwoLanes counts) noexcept {
        sum_ = sum_ + x;
        nonzero_ = nonzero_ + counts;
    }
    void remove(TwoLanes x, TwoLanes counts) noexcept {
        sum_ = sum_ - x;
        nonzero_ = nonzero_ - counts;
        sum_ = where(nonzero_ != TwoLanes{0.0, 0.0}, sum_);
    }
    void add(TwoLanes x) noexcept { add(x, counted(x)); }
    void remove(TwoLanes x) noexcept { remove(x, counted(x)); }

    // For a batch run that knows by other means whether a window still holds a non-zero term
    // (how many bars ago the last one came): the same sums, without the counts, which it hands
    // back at the end with resume_counts.
    void add_uncounted(TwoLanes x) noexcept { sum_ = sum_ + x; }
    void remove_uncounted(TwoLanes x) noexcept { sum_ = sum_ - x; }
    // After a removal: zero where no non-zero term is left.
    void reset_unless(TwoMask nonzero_left) noexcept { sum_ = where(nonzero_left, sum_); }
    void resume_counts(TwoLanes counts) noexcept { nonzero_ = counts; }
    TwoLanes value() const noexcept { return sum_; }
    void clear() noexcept {
        sum_ = TwoLanes{0.0, 0.0};
        nonzero_ = TwoLanes{0.0, 0.0};
    }

    // The saved form holds the sums only; the state counts the non-zero terms of its own window
    // and hands both back. A sum without non-zero terms is zero, or the form was not written.
    [[nodiscard]] bool restore(double first, double second, std::uint64_t first_nonzero,
                               std::uint64_t second_nonzero) noexcept {
        if ((first_nonzero == 0 && first != 0.0) || (second_nonzero == 0 && second != 0.0)) return false;
        sum_ = TwoLanes{first, second};
        nonzero_ = TwoLanes{static_cast<double>(first_nonzero), static_cast<double>(second_nonzero)};
        return true;
    }

private:
    TwoLanes sum_ = {0.0, 0.0};
    TwoLanes nonzero_ = {0.0, 0.0};
};

// A pair as two lanes of a register and back.
inline TwoLanes lanes(const Pair& p) noexcept { return TwoLanes{p.first, p.second}; }
inline Pair pair(TwoLanes x) noexcept { return Pair{x[0], x[1]}; }

}  // namespace quillora::indicators
