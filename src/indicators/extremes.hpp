// Window extremes: MAX, MIN, MIDPOINT (the middle of a window's highest and lowest sample) and
// MIDPRICE (the middle of the highest high and the lowest low).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "compensated_sum.hpp"
#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators::regression {

// A window's highest (or lowest) sample by blocks (van Herk, Gil and Werman): positions are cut
// into blocks of `period` from the last clear. Within the current block a running extreme of its
// samples so far is kept; when a block closes, the extreme of each of its tails (positions k to
// the end) is stored. A full window is then a tail of the closed block and the head of the
// current one, and its extreme is the better of two numbers: two comparisons a bar, plus `period`
// when a block closes, with no data-dependent loop. Of equal samples the latest wins everywhere,
// so the result is the window's latest sample of the extreme value (which tells 0.0 from -0.0).
template <bool Highest>
class BlockExtreme {
public:
    // Whether `newer` replaces `older` as the extreme: ties go to the newer sample.
    static bool wins(double newer, double older) noexcept { return Highest ? newer >= older : newer <= older; }

    // Room for the tails of one block; may throw std::bad_alloc, and then nothing has changed.
    // Asked for only when the window is about to fill, so a huge period costs nothing up front.
    void reserve(std::uint64_t period) {
        if (tails_.size() < period) tails_.resize(static_cast<std::size_t>(period));
    }
    // Takes the newest sample (the block's running extreme starts as the worst value).
    void take(double x) noexcept { head_ = wins(x, head_) ? x : head_; }
    // The extreme of the current block so far.
    double head() const noexcept { return head_; }
    // The extreme of a full window whose newest sample sits at block position `position`, before
    // the block's last: the head, or the closed block's tail from `position` + 1.
    double window(std::uint64_t position) const noexcept {
        const double older = tails_[static_cast<std::size_t>(position + 1)];
        return wins(head_, older) ? head_ : older;
    }
    // Closes a block of `period` samples, `sample(k)` its k-th oldest (the window holds exactly
    // that block): stores its tails' extremes and starts the next block.
    template <typename Sample>
    void close(std::uint64_t period, Sample sample) noexcept {
        std::uint64_t k = period - 1;
        double tail = sample(k);
        tails_[static_cast<std::size_t>(k)] = tail;
        while (k-- > 0) {
            const double x = sample(k);
            tail = wins(tail, x) ? tail : x;
            tails_[static_cast<std::size_t>(k)] = tail;
        }
        restart();
    }
    void restart() noexcept { head_ = Highest ? -infinity : infinity; }
    // The tails' store (room for as many as reserve asked), for a batch run to work its own
    // blocks in; the part is rebuilt from the window afterwards.
    double* tails() noexcept { return tails_.data(); }

    static constexpr double infinity = std::numeric_limits<double>::infinity();

private:
    double head_ = Highest ? -infinity : infinity;
    std::vector<double> tails_;
};

// Where the next sample falls in its block: a block closes with its `period`-th sample.
class BlockPosition {
public:
    explicit BlockPosition(std::uint64_t period) noexcept : period_(period) {}
    std::uint64_t period() const noexcept { return period_; }
    std::uint64_t at() const noexcept { return at_; }
    bool closing() const noexcept { return at_ + 1 == period_; }
    void next() noexcept { at_ = closing() ? 0 : at_ + 1; }
    void set(std::uint64_t at) noexcept { at_ = at; }

private:
    std::uint64_t period_;
    std::uint64_t at_ = 0;
};

// One window's extreme through a present sample `x`, already pushed into a window that holds
// `size` samples, `sample(k)` its k-th oldest: the value once the window is full, else the
// missing marker.
template <bool Highest, typename Sample>
double step_extreme(BlockExtreme<Highest>& extreme, const BlockPosition& position, std::uint64_t size, double x,
                    Sample sample) noexcept {
    extreme.take(x);
    if (position.closing()) {
        const double value = extreme.head();
        extreme.close(position.period(), sample);
        return value;
    }
    return size == position.period() ? extreme.window(position.at()) : missing_value;
}

// Rebuilds a part from a window of `size` samples (after a load), the block starting afresh.
template <bool Highest, typename Sample>
void rebuild_extreme(BlockExtreme<Highest>& extreme, std::uint64_t period, std::uint64_t size, Sample sample) {
    extreme.restart();
    if (size == period) {
        extreme.reserve(period);
        extreme.close(period, sample);
        return;
    }
    for (std::uint64_t i = 0; i < size; ++i) extreme.take(sample(i));
}
// The block position that goes with a window rebuilt so.
inline std::uint64_t rebuilt_position(std::uint64_t period, std::uint64_t size) noexcept {
    return size == period ? 0 : size;
}

// `newer` or `older`, whichever is the extreme, as BlockExtreme::wins decides (ties to `newer`),
// for present samples. Written as older-strictly-better so that it is one maxsd / minsd, which
// returns its second operand on ties; the two forms part only on NaN, which never gets here.
template <bool Highest>
inline double better(double newer, double older) noexcept {
    if constexpr (Highest) {
        return older > newer ? older : newer;
    } else {
        return older < newer ? older : newer;
    }
}

// `better` in each lane: one maxpd / minpd.
template <bool Highest>
inline Lanes better_lanes(Lanes newer, Lanes older) noexcept {
    if constexpr (Highest) {
        return older > newer ? older : newer;
    } else {
        return older < newer ? older : newer;
    }
}

// The same blocks over a run held in the caller's array: emit(i, extreme) for the window of
// `period` samples ending at each i in [period - 1, length). Blocks are cut from the run's start;
// `tails` holds 2 * `period` values. Of equal samples the latest wins in every comparison, as in
// the step, so the bits are the step's whichever blocks are cut. Needs length >= period.
//
// Two blocks go side by side in the lanes of one register while three whole blocks remain: the
// tails of blocks b and b + 1 together, then the heads of blocks b + 1 and b + 2 against them.
// The rest goes a block at a time.
template <bool Highest, typename Emit>
void run_extreme(const double* x, std::size_t length, std::size_t period, double* tails, Emit emit) {
    constexpr double worst = Highest ? -BlockExtreme<true>::infinity : BlockExtreme<true>::infinity;
    // The tails of the block [q, q + period), newest first; its own extreme is the first.
    auto close = [=](std::size_t q) {
        const double* block = x + q;
        double tail = worst;
#pragma GCC unroll 4
        for (std::size_t k = period; k > 0; --k) {
            tail = better<Highest>(tail, block[k - 1]);
            tails[k - 1] = tail;
        }
        return tail;
    };
    auto store = [=](std::size_t k, Lanes v) { std::memcpy(tails + 2 * k, &v, sizeof v); };
    auto load = [=](std::size_t k) {
        Lanes v;
        std::memcpy(&v, tails + 2 * k, sizeof v);
        return v;
    };
    std::size_t q = 0;  // the first block not yet closed
    for (; length - q >= 3 * period; q += 2 * period) {
        const double* low = x + q;
        const double* high = x + q + period;
        Lanes tail = {worst, worst};
#pragma GCC unroll 4
        for (std::size_t k = period; k > 0; --k) {
            tail = better_lanes<Highest>(tail, Lanes{low[k - 1], high[k - 1]});
            store(k - 1, tail);
        }
        emit(q + period - 1, tail[0]);
        emit(q + 2 * period - 1, tail[1]);
        Lanes head = {worst, worst};
        const double* next = x + q + 2 * period;
#pragma GCC unroll 4
        for (std::size_t j = 0; j + 1 < period; ++j) {
            head = better_lanes<Highest>(Lanes{high[j], next[j]}, head);
            const Lanes window = better_lanes<Highest>(head, load(j + 1));
            emit(q + period + j, window[0]);
            emit(q + 2 * period + j, window[1]);
        }
    }
    // Block q is whole (its head done if a pair ran): close it, then the rest a block at a time.
    emit(q + period - 1, close(q));
    for (q += period; q < length; q += period) {
        const double* block = x + q;
        const std::size_t open = std::min(length - q, period - 1);
        double head = worst;
#pragma GCC unroll 4
        for (std::size_t j = 0; j < open; ++j) {
            head = better<Highest>(block[j], head);
            emit(q + j, better<Highest>(head, tails[j + 1]));
        }
        if (length - q >= period) emit(q + period - 1, close(q));
    }
}

// Writes highest * 0.5 + lowest * 0.5 from the negated lowest: lowest * 0.5 is exactly
// -(negated * 0.5), and a + -b is a - b, so this is the middles' one order of operations.
struct Middle {
    double* out;
    void operator()(std::size_t i, Lanes extremes) const noexcept {
        const Lanes halves = extremes * 0.5;
        out[i] = halves[0] - halves[1];
    }
};
inline Middle middle(double* out) noexcept { return {out}; }

// Both extremes at once, for the middles: a bar is the pair (high, -low) and one packed max
// takes both, the lowest low coming out negated. Negation is exact and keeps equality, so ties
// still go to the latest sample and the bits are those of run_extreme on each side.
// emit(i, {highest, -lowest}); `tails` holds 2 * `period` doubles.
template <typename Emit>
void run_extremes(const double* highs, const double* lows, std::size_t length, std::size_t period, double* tails,
                  Emit emit) {
    constexpr double infinity = BlockExtreme<true>::infinity;
    constexpr Lanes worst = {-infinity, -infinity};
    auto bar = [=](std::size_t i) { return Lanes{highs[i], -lows[i]}; };
    auto store = [=](std::size_t k, Lanes v) { std::memcpy(tails + 2 * k, &v, sizeof v); };
    auto load = [=](std::size_t k) {
        Lanes v;
        std::memcpy(&v, tails + 2 * k, sizeof v);
        return v;
    };
    auto close = [=](std::size_t q) {
        Lanes tail = worst;
#pragma GCC unroll 4
        for (std::size_t k = period; k > 0; --k) {
            tail = better_lanes<true>(tail, bar(q + k - 1));
            store(k - 1, tail);
        }
        return tail;
    };
    Lanes v = close(0);
    emit(period - 1, v);
    for (std::size_t q = period; q < length; q += period) {
        const std::size_t open = std::min(length - q, period - 1);
        Lanes head = worst;
#pragma GCC unroll 4
        for (std::size_t j = 0; j < open; ++j) {
            head = better_lanes<true>(bar(q + j), head);
            const Lanes window = better_lanes<true>(head, load(j + 1));
            emit(q + j, window);
        }
        if (length - q >= period) {
            v = close(q);
            emit(q + period - 1, v);
        }
    }
}

// The last `capacity` bars of highs and lows, as Window for single samples: the store grows with
// the bars, never beyond `capacity`, and one push grows both halves or neither.
class BarWindow {
public:
    struct Bar {
        double high, low;
    };
    explicit BarWindow(std::uint64_t capacity) noexcept : capacity_(capacity) {}

    std::uint64_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == capacity_; }
    // May throw std::bad_alloc while the store grows, and then nothing has changed.
    void push(Bar bar) {
        if (size_ < capacity_) {
            if (size_ == slots_.size()) grow();
            slots_[wrap(start_ + size_)] = bar;
            ++size_;
            return;
        }
        slots_[start_] = bar;
        start_ = wrap(start_ + 1);
    }
    // As if each of `count` bars (highs[i], lows[i]) were pushed in order.
    void push_run(const double* highs, const double* lows, std::uint64_t count) {
        if (count < capacity_) {
            for (std::uint64_t i = 0; i < count; ++i) push({highs[i], lows[i]});
            return;
        }
        if (slots_.size() != capacity_) slots_.resize(static_cast<std::size_t>(capacity_));
        const std::uint64_t first = count - capacity_;
        for (std::uint64_t i = 0; i < capacity_; ++i) slots_[i] = Bar{highs[first + i], lows[first + i]};
        start_ = 0;
        size_ = capacity_;
    }
    const Bar& at(std::uint64_t i) const noexcept { return slots_[wrap(start_ + i)]; }
    void clear() noexcept {
        size_ = 0;
        start_ = 0;
    }

    // Saved as its size and its bars, oldest first, each as high then low.
    void save(StateWriter& w) const {
        w.count(size_);
        for (std::uint64_t i = 0; i < size_; ++i) {
            w.real(at(i).high);
            w.real(at(i).low);
        }
    }
    // Refuses more bars than the capacity and bars with a missing half.
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t size = 0;
        std::vector<double> values;
        if (!r.count(size) || size > capacity_ || size > std::numeric_limits<std::uint64_t>::max() / 2 ||
            !r.real_run(2 * size, values))
            return false;
        std::vector<Bar> bars(static_cast<std::size_t>(size));
        for (std::uint64_t i = 0; i < size; ++i) {
            bars[i] = Bar{values[2 * i], values[2 * i + 1]};
            if (!present(bars[i].high) || !present(bars[i].low)) return false;
        }
        slots_ = std::move(bars);
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
        std::vector<Bar> larger(static_cast<std::size_t>(wanted));
        for (std::uint64_t i = 0; i < size_; ++i) larger[i] = at(i);
        slots_ = std::move(larger);
        start_ = 0;
    }

    std::uint64_t capacity_;
    std::vector<Bar> slots_;
    std::size_t start_ = 0;
    std::uint64_t size_ = 0;
};

// The k-th oldest sample of a window, high or low of a bar window.
struct SamplesOf {
    const Window* window;
    double operator()(std::uint64_t k) const noexcept { return window->at(k); }
};
struct HighsOf {
    const BarWindow* bars;
    double operator()(std::uint64_t k) const noexcept { return bars->at(k).high; }
};
struct LowsOf {
    const BarWindow* bars;
    double operator()(std::uint64_t k) const noexcept { return bars->at(k).low; }
};

}  // namespace quillora::indicators::regression

namespace quillora::indicators {

// Order of operations: none for MAX and MIN (the output is a kept sample: the window's highest,
// resp. lowest, the latest of equal ones; see regression::BlockExtreme). A missing sample clears
// the window: the next value comes `period` present samples later. Saved as the window.
template <bool Highest>
class ExtremeState {
public:
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit ExtremeState(const Parameters& p) noexcept : window_(p.counts[0]), position_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            window_.clear();
            extreme_.restart();
            position_.set(0);
            out[0] = missing_value;
            return;
        }
        if (window_.size() + 1 == position_.period()) extreme_.reserve(position_.period());
        window_.push(x);  // may grow (and throw) before anything has changed
        out[0] = regression::step_extreme(extreme_, position_, window_.size(), x, samples());
        position_.next();
    }

    // The first period - 1 bars are stepped (their windows reach into the state's); the rest run
    // as blocks over the caller's array, and the blocks are rebuilt from the window after, as a
    // load does (the extreme is a function of the window, so the bits go on as stepping's).
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::uint64_t period = position_.period();
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(period - 1, length));
        if (head == length) return step_bars(*this, in, out, 0, length);
        extreme_.reserve(2 * period);  // room for the run's tails of two blocks side by side
        step_bars(*this, in, out, 0, head);
        const double* x = in[0];
        double* result = out[0];
        regression::run_extreme<Highest>(x, length, static_cast<std::size_t>(period), extreme_.tails(),
                                         [result](std::size_t i, double extreme) { result[i] = extreme; });
        window_.push_run(x + head, length - head);
        rebuild();
    }

    void save(StateWriter& w) const { window_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!window_.load(r) || !regression::all_present(window_)) return false;
        rebuild();
        return true;
    }

private:
    regression::SamplesOf samples() const noexcept { return {&window_}; }
    void rebuild() {
        regression::rebuild_extreme(extreme_, position_.period(), window_.size(), samples());
        position_.set(regression::rebuilt_position(position_.period(), window_.size()));
    }

    Window window_;
    regression::BlockExtreme<Highest> extreme_;
    regression::BlockPosition position_;
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
// Saved as the window.
class MidpointState {
public:
    static constexpr const char* name = "midpoint";
    static constexpr const char* class_name = "MidpointState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit MidpointState(const Parameters& p) noexcept : window_(p.counts[0]), position_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            window_.clear();
            highest_.restart();
            lowest_.restart();
            position_.set(0);
            out[0] = missing_value;
            return;
        }
        if (window_.size() + 1 == position_.period()) {
            highest_.reserve(position_.period());
            lowest_.reserve(position_.period());
        }
        window_.push(x);  // may grow (and throw) before anything has changed
        const double highest = regression::step_extreme(highest_, position_, window_.size(), x, samples());
        const double lowest = regression::step_extreme(lowest_, position_, window_.size(), x, samples());
        position_.next();
        out[0] = present(highest) ? highest * 0.5 + lowest * 0.5 : missing_value;
    }

    // As MAX's: the first period - 1 bars stepped, both extremes as blocks over the array.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::uint64_t period = position_.period();
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(period - 1, length));
        if (head == length) return step_bars(*this, in, out, 0, length);
        highest_.reserve(2 * period);  // room for the pairs' tails of the run too
        lowest_.reserve(period);
        step_bars(*this, in, out, 0, head);
        const double* x = in[0];
        double* result = out[0];
        regression::run_extremes(x, x, length, static_cast<std::size_t>(period), highest_.tails(),
                                 regression::middle(result));
        window_.push_run(x + head, length - head);
        rebuild();
    }

    void save(StateWriter& w) const { window_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!window_.load(r) || !regression::all_present(window_)) return false;
        rebuild();
        return true;
    }

private:
    regression::SamplesOf samples() const noexcept { return {&window_}; }
    void rebuild() {
        regression::rebuild_extreme(highest_, position_.period(), window_.size(), samples());
        regression::rebuild_extreme(lowest_, position_.period(), window_.size(), samples());
        position_.set(regression::rebuilt_position(position_.period(), window_.size()));
    }

    Window window_;
    regression::BlockExtreme<true> highest_;
    regression::BlockExtreme<false> lowest_;
    regression::BlockPosition position_;
};

// Order of operations: highest_high * 0.5 + lowest_low * 0.5 over the window of bars, as
// MIDPOINT. A bar with a missing high or low clears the window: the next value comes `period`
// present bars later. Saved as the window of bars.
class MidpriceState {
public:
    static constexpr const char* name = "midprice";
    static constexpr const char* class_name = "MidpriceState";
    static constexpr std::size_t inputs = 2, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit MidpriceState(const Parameters& p) noexcept : bars_(p.counts[0]), position_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            bars_.clear();
            highest_.restart();
            lowest_.restart();
            position_.set(0);
            out[0] = missing_value;
            return;
        }
        if (bars_.size() + 1 == position_.period()) {
            highest_.reserve(position_.period());
            lowest_.reserve(position_.period());
        }
        bars_.push({in[0], in[1]});  // may grow (and throw) before anything has changed
        const double highest = regression::step_extreme(highest_, position_, bars_.size(), in[0], highs());
        const double lowest = regression::step_extreme(lowest_, position_, bars_.size(), in[1], lows());
        position_.next();
        out[0] = present(highest) ? highest * 0.5 + lowest * 0.5 : missing_value;
    }

    // As MAX's: the first period - 1 bars stepped, the highest high and lowest low as blocks.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::uint64_t period = position_.period();
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(period - 1, length));
        if (head == length) return step_bars(*this, in, out, 0, length);
        highest_.reserve(2 * period);  // room for the pairs' tails of the run too
        lowest_.reserve(period);
        step_bars(*this, in, out, 0, head);
        double* result = out[0];
        regression::run_extremes(in[0], in[1], length, static_cast<std::size_t>(period), highest_.tails(),
                                 regression::middle(result));
        bars_.push_run(in[0] + head, in[1] + head, length - head);
        rebuild();
    }

    void save(StateWriter& w) const { bars_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!bars_.load(r)) return false;
        rebuild();
        return true;
    }

private:
    regression::HighsOf highs() const noexcept { return {&bars_}; }
    regression::LowsOf lows() const noexcept { return {&bars_}; }
    void rebuild() {
        regression::rebuild_extreme(highest_, position_.period(), bars_.size(), highs());
        regression::rebuild_extreme(lowest_, position_.period(), bars_.size(), lows());
        position_.set(regression::rebuilt_position(position_.period(), bars_.size()));
    }

    regression::BarWindow bars_;
    regression::BlockExtreme<true> highest_;
    regression::BlockExtreme<false> lowest_;
    regression::BlockPosition position_;
};

}  // namespace quillora::indicators
