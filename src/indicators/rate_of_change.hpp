// The change of a series over `period` bars: ROC (percent), ROCP (fraction), ROCR (ratio), MOM
// (difference).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "lane_kernels.hpp"
#include "vector_pair.hpp"
#include "window.hpp"

namespace quillora::indicators {

namespace change_detail {

using vector_pair::load;
using vector_pair::Pair;
using vector_pair::PairMask;
using vector_pair::store;

// `value`, or the missing marker where `none` holds. Both forms compute the value first, so the
// vector form (which cannot branch per lane) and the scalar one give the same bits.
inline double unless(bool none, double value) noexcept { return none ? missing_value : value; }
inline Pair unless(PairMask none, Pair value) noexcept {
    const Pair missing = {missing_value, missing_value};
    return none ? missing : value;
}

}  // namespace change_detail

// Each value compares the sample x with the one `period` present samples before it, b, kept in a
// window of the previous `period` samples. A missing sample clears the window, so every span that
// holds it gives missing and the next value comes `period` present samples later. The ratios have
// no value where b == 0 (missing marker).
template <typename Change>
class ChangeState {
public:
    static constexpr const char* name = Change::name;
    static constexpr const char* class_name = Change::class_name;
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    // Row-major tables step their symbols side by side in vector lanes, each base read from the
    // row `period` bars back; tables by columns keep the batch runs.
    static constexpr bool table_lanes_by_rows = true;

    explicit ChangeState(const Parameters& p) noexcept : previous_(p.counts[0]) {}

    // From an empty window only: the bases before the block's first bar are not in the table.
    bool lanes_ready() const noexcept { return previous_.size() == 0; }
    // Leaves the states spent (their windows are not refilled), as table blocks discard them.
    template <typename Derived>
    static void run_lanes(Derived* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        using Lanes = ChangeLanes<Change::kind>;
        LaneFields<Lanes> fields = {};
        run_lane_steps(Lanes(static_cast<std::size_t>(states[0].previous_.capacity())), fields, count, in, out[0], bar,
                       bars);
    }

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            previous_.clear();
            out[0] = missing_value;
            return;
        }
        const bool full = previous_.full();
        const double base = full ? previous_.oldest() : 0.0;
        previous_.push(x);
        out[0] = full ? Change::of(x, base) : missing_value;
    }

    // Whole series in one pass: once `period` present samples precede a bar in the array, its
    // base is read from there, and the changes are computed two bars to a vector, 32 bars at a
    // time, while the same pass looks for missing samples (x - x is +0.0 for a present sample and
    // NaN for a missing one, so OR-ing their bits finds any). The bars of a group from its first
    // missing sample on are taken again: that sample is stepped, and so are the bars after it
    // until `period` present ones precede the next. The window is brought up to date at the end
    // of each stretch read from the array.
    void run(const double* const* in, double* const* out, std::size_t length) {
        const double* x = in[0];
        double* result = out[0];
        const std::uint64_t period = previous_.capacity();
        std::uint64_t clean = 0;  // present samples just before `bar`, within the array
        std::size_t bar = 0;
        while (bar < length) {
            if (clean < period) {
                step_bars(*this, in, out, bar, bar + 1);
                clean = present(x[bar]) ? clean + 1 : 0;
                ++bar;
                continue;
            }
            const std::size_t first = bar, lag = static_cast<std::size_t>(period);
            while (bar < length) {
                const std::size_t end = std::min(length, bar + group);
                if (changes(x, result, bar, end, lag)) {
                    bar = end;
                    continue;
                }
                while (present(x[bar])) ++bar;
                break;
            }
            previous_.push_run(x + first, bar - first);
            clean = 0;
        }
    }

    void save(StateWriter& w) const { previous_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!previous_.load(r)) return false;
        for (std::uint64_t i = 0; i < previous_.size(); ++i)
            if (!present(previous_.at(i))) return false;
        return true;
    }

private:
    static constexpr std::size_t group = 32;

    // Writes the changes of bars [first, last), their bases `lag` bars before them; false if a
    // sample among them is missing (the changes from it on are then not the bars' values).
    static bool changes(const double* x, double* result, std::size_t first, std::size_t last,
                        std::size_t lag) noexcept {
        namespace lanes = change_detail;
        lanes::PairMask missing = {0, 0};
        std::size_t i = first;
        for (; i + 4 <= last; i += 4) {
            const lanes::Pair a = lanes::load(x + i), b = lanes::load(x + i + 2);
            lanes::store(result + i, Change::of(a, lanes::load(x + i - lag)));
            lanes::store(result + i + 2, Change::of(b, lanes::load(x + i + 2 - lag)));
            missing |= reinterpret_cast<lanes::PairMask>(a - a) | reinterpret_cast<lanes::PairMask>(b - b);
        }
        bool any = (missing[0] | missing[1]) != 0;
        for (; i < last; ++i) {
            result[i] = Change::of(x[i], x[i - lag]);
            any = any || !present(x[i]);
        }
        return !any;
    }

    Window previous_;
};

// Order of operations: ((x - b) / b) * 100.0. (The difference first keeps small changes exact
// where x / b - 1 would cancel.)
struct RocChange {
    static constexpr const char* name = "roc";
    static constexpr ChangeKind kind = ChangeKind::roc;
    static constexpr const char* class_name = "RocState";
    template <typename T>
    static T of(T x, T b) noexcept {
        return change_detail::unless(b == 0.0, ((x - b) / b) * 100.0);
    }
};
// Order of operations: (x - b) / b.
struct RocpChange {
    static constexpr const char* name = "rocp";
    static constexpr ChangeKind kind = ChangeKind::rocp;
    static constexpr const char* class_name = "RocpState";
    template <typename T>
    static T of(T x, T b) noexcept {
        return change_detail::unless(b == 0.0, (x - b) / b);
    }
};
// Order of operations: x / b.
struct RocrChange {
    static constexpr const char* name = "rocr";
    static constexpr ChangeKind kind = ChangeKind::rocr;
    static constexpr const char* class_name = "RocrState";
    template <typename T>
    static T of(T x, T b) noexcept {
        return change_detail::unless(b == 0.0, x / b);
    }
};
// Order of operations: x - b.
struct MomChange {
    static constexpr const char* name = "mom";
    static constexpr ChangeKind kind = ChangeKind::mom;
    static constexpr const char* class_name = "MomState";
    template <typename T>
    static T of(T x, T b) noexcept {
        return x - b;
    }
};

class RocState : public ChangeState<RocChange> {
public:
    using ChangeState::ChangeState;
};
class RocpState : public ChangeState<RocpChange> {
public:
    using ChangeState::ChangeState;
};
class RocrState : public ChangeState<RocrChange> {
public:
    using ChangeState::ChangeState;
};
class MomState : public ChangeState<MomChange> {
public:
    using ChangeState::ChangeState;
};

}  // namespace quillora::indicators
