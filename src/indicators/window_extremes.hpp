// The highest or the lowest of the last `period` samples, O(1) per sample (amortized) without
// data-dependent branches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicator.hpp"

namespace quillora::indicators {

// The samples are cut into blocks of `period`, counted from the last clear. The window ending in
// the current block is the tail of the previous block and the head of the current one, so its
// extreme is the better of the previous block's suffix extreme and the current block's prefix
// extreme (van Herk / Gil-Werman). One store of `period` slots holds both: slots below the fill
// hold the current block's samples, the others the previous block's suffix extremes, which each
// completed block turns its samples into with one backward pass (O(period) once per `period`
// samples). Among equal values (0.0 and -0.0) the newest wins everywhere, so the extreme is the
// newest of the equal ones. The store grows with the samples of the first block and never beyond
// `period`, so a huge period costs nothing up front.
template <bool Highest>
class ExtremeWindow {
public:
    explicit ExtremeWindow(std::uint64_t period) noexcept : period_(period) {}

    // Takes the next present sample. May throw std::bad_alloc while the store grows, and then
    // nothing has changed.
    void push(double x) {
        reserve();
        if (filled_ == period_) {
            for (std::uint64_t i = period_ - 1; i > 0; --i) slots_[i - 1] = better(slots_[i - 1], slots_[i]);
            filled_ = 0;
        }
        slots_[static_cast<std::size_t>(filled_)] = x;
        prefix_ = filled_ == 0 ? x : better(prefix_, x);
        ++filled_;
        taken_ += taken_ < period_ ? 1 : 0;
    }
    // Grows the store if the next push needs a slot, so that a caller pushing into several
    // windows can make every allocation before it changes any of them.
    void reserve() {
        if (filled_ < period_ && filled_ == slots_.size()) grow();
    }

    // The extreme of the last min(period, taken) samples; only after a push.
    double value() const noexcept {
        if (filled_ == period_ || taken_ < period_) return prefix_;
        return better(slots_[static_cast<std::size_t>(filled_)], prefix_);
    }
    // Whether `period` samples have come since the last clear.
    bool full() const noexcept { return taken_ == period_; }
    // Samples since the last clear (at most `period`) and in the current block: the same for
    // windows fed the same number of samples.
    std::uint64_t taken() const noexcept { return taken_; }
    std::uint64_t filled() const noexcept { return filled_; }

    void clear() noexcept {
        taken_ = 0;
        filled_ = 0;
        prefix_ = 0.0;
    }

    // Batch runs over a caller's array y[0, count) of present samples, the first `period - 1`
    // pushed one by one (their windows reach back before the array), the rest read from the
    // array: every window from position `period - 1` on lies in it. Blocks of `period` counted
    // from the array's start give each window's extreme as above, the suffix extremes of the
    // previous block kept in the store; `finish_run` then rebuilds the window from the array's
    // last two blocks. Worth it (and the rebuild possible) where count >= 3 * period.
    bool runs_over(std::size_t count) const noexcept { return period_ <= count / 3; }
    // Grows the store to `period` slots, as the samples of such a run would, before anything
    // changes.
    void reserve_run() {
        if (slots_.size() < period_) slots_.resize(static_cast<std::size_t>(period_));
    }

    // The extremes of the windows ending at positions period - 1, period, ... of y, in order; the
    // window's store holds the suffix extremes meanwhile (call `reserve_run` first).
    class Run {
    public:
        Run(ExtremeWindow& window, const double* y) noexcept
            : y_(y), suffix_(window.slots_.data()), period_(static_cast<std::size_t>(window.period_)) {
            next_ = period_ - 1;
            for (std::size_t i = 0; i < next_; ++i) prefix_ = i == 0 ? y[0] : better(prefix_, y[i]);
        }

        // Writes the extremes of the next `count` windows to out[0, count).
        void values(std::size_t count, double* out) noexcept {
            const std::size_t end = next_ + count;
            std::size_t i = next_;
            while (i < end) {
                if (i == block_ + period_) {
                    block_ = i;
                    const double* previous = y_ + (i - period_);
                    double best = previous[period_ - 1];
                    suffix_[period_ - 1] = best;
                    for (std::size_t j = period_ - 1; j > 0; --j) {
                        best = better(previous[j - 1], best);
                        suffix_[j - 1] = best;
                    }
                }
                const std::size_t stop = std::min(end, block_ + period_);
                double* o = out + (i - next_);
                const std::size_t first = i;
                double prefix = prefix_;
                if (i == block_) {
                    prefix = y_[i];
                    *o++ = prefix;
                    ++i;
                }
                for (; i < stop; ++i) {
                    prefix = better(prefix, y_[i]);
                    *o++ = prefix;
                }
                prefix_ = prefix;
                // The older part of each window, from the previous block's suffix (none for the
                // window that is the block itself).
                const std::size_t last = std::min(stop, block_ + period_ - 1);
                o = out + (first - next_);
                const double* older = suffix_ + (first - block_ + 1);
                for (std::size_t t = 0; first + t < last; ++t) o[t] = better(older[t], o[t]);
            }
            next_ = end;
        }

    private:
        const double* y_;
        double* suffix_;
        std::size_t period_;
        std::size_t next_ = 0;   // the position the next window ends at
        std::size_t block_ = 0;  // the current block's first position
        double prefix_ = 0.0;    // the extreme of the current block up to position next_ - 1
    };

    // Leaves the window as pushing y[period - 1, count) would after y[0, period - 1) were pushed
    // and left `filled` samples in the current block.
    void finish_run(const double* y, std::size_t count, std::uint64_t filled) {
        const std::uint64_t pushed = count - (period_ - 1);
        const std::size_t current = static_cast<std::size_t>((filled + pushed - 1) % period_ + 1);
        const double* previous = y + (count - current - period_);
        std::copy(previous, previous + period_, slots_.begin());
        prefix_ = previous[0];
        for (std::size_t i = 1; i < period_; ++i) prefix_ = better(prefix_, previous[i]);
        filled_ = period_;
        taken_ = period_;
        for (std::size_t i = count - current; i < count; ++i) push(y[i]);
    }

    // Saved as the samples taken (at most `period`), the current block's fill, and the slots in
    // use.
    void save(StateWriter& w) const {
        w.count(taken_);
        w.count(filled_);
        for (std::uint64_t i = 0; i < taken_; ++i) w.real(slots_[static_cast<std::size_t>(i)]);
    }
    // Refuses counts beyond the period or a fill other than the first block's while it lasts,
    // slots that are not present samples, and previous-block extremes that are not the suffix
    // extremes of any block (each must be at least as good as the next).
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t taken = 0, filled = 0;
        std::vector<double> slots;
        if (!r.count(taken) || !r.count(filled) || taken > period_ || filled > taken) return false;
        if ((taken < period_ && filled != taken) || (taken > 0 && filled == 0)) return false;
        if (!r.real_run(taken, slots)) return false;
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (!present(slots[i])) return false;
        for (std::size_t i = static_cast<std::size_t>(filled); i + 1 < slots.size(); ++i)
            if (beats(slots[i + 1], slots[i])) return false;
        double prefix = 0.0;
        for (std::size_t i = 0; i < filled; ++i) prefix = i == 0 ? slots[0] : better(prefix, slots[i]);
        slots_ = std::move(slots);
        taken_ = taken;
        filled_ = filled;
        prefix_ = prefix;
        return true;
    }

private:
    static bool beats(double a, double b) noexcept { return Highest ? a > b : a < b; }
    // The better of an older value a and a newer value b; b on ties.
    static double better(double a, double b) noexcept { return beats(a, b) ? a : b; }
    void grow() {
        const std::uint64_t wanted = std::min<std::uint64_t>(period_, std::max<std::uint64_t>(8, 2 * filled_));
        std::vector<double> larger(static_cast<std::size_t>(wanted));
        std::copy(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(filled_), larger.begin());
        slots_ = std::move(larger);
    }

    std::uint64_t period_;
    std::vector<double> slots_;
    std::uint64_t filled_ = 0;  // samples of the current block, 1 to `period_` after a push
    std::uint64_t taken_ = 0;   // samples since the last clear, at most `period_`
    double prefix_ = 0.0;       // the extreme of the current block's samples
};

using HighestWindow = ExtremeWindow<true>;
using LowestWindow = ExtremeWindow<false>;

}  // namespace quillora::indicators
