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

    // Batch runs over a caller's array y[0, count) of present samples: the first `period - 1`
    // are pushed one by one (their windows reach back before the array), the extremes of the
    // windows ending at the rest are found in the array (RangePart's `Run`: blocks of `period`
    // counted from the array's start, as above, the previous block's suffix extremes kept in the
    // store), and `finish_run` rebuilds the window from the array's last two blocks. Worth it
    // (and the rebuild possible) where count >= 3 * period.
    bool runs_over(std::size_t count) const noexcept { return period_ <= count / 3; }
    // Grows the store to `period` slots, as the samples of such a run would, before anything
    // changes; the store is then the run's scratch until `finish_run`.
    void reserve_run() {
        if (slots_.size() < period_) slots_.resize(static_cast<std::size_t>(period_));
    }
    double* run_store() noexcept { return slots_.data(); }

    // The better of an older value a and a newer value b; b on ties.
    static double better(double a, double b) noexcept { return beats(a, b) ? a : b; }

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
