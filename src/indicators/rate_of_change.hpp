// The change of a series over `period` bars: ROC (percent), ROCP (fraction), ROCR (ratio), MOM
// (difference).
#pragma once

#include <algorithm>
#include <cstdint>

#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators {

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
    explicit ChangeState(const Parameters& p) noexcept : previous_(p.counts[0]) {}

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

    // The first `period` bars read their base from the window, the rest from the run itself.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const double* x = in[0];
        double* result = out[0];
        const std::uint64_t period = previous_.capacity();
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(period, length));
        step_bars(*this, in, out, 0, head);
        if (head == length) return;
        const std::size_t lag = static_cast<std::size_t>(period);
        for (std::size_t i = head; i < length; ++i) result[i] = Change::of(x[i], x[i - lag]);
        previous_.push_run(x + head, length - head);
    }

    void save(StateWriter& w) const { previous_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!previous_.load(r)) return false;
        for (std::uint64_t i = 0; i < previous_.size(); ++i)
            if (!present(previous_.at(i))) return false;
        return true;
    }

private:
    Window previous_;
};

// Order of operations: ((x - b) / b) * 100.0. (The difference first keeps small changes exact
// where x / b - 1 would cancel.)
struct RocChange {
    static constexpr const char* name = "roc";
    static constexpr const char* class_name = "RocState";
    static double of(double x, double b) noexcept { return b == 0.0 ? missing_value : ((x - b) / b) * 100.0; }
};
// Order of operations: (x - b) / b.
struct RocpChange {
    static constexpr const char* name = "rocp";
    static constexpr const char* class_name = "RocpState";
    static double of(double x, double b) noexcept { return b == 0.0 ? missing_value : (x - b) / b; }
};
// Order of operations: x / b.
struct RocrChange {
    static constexpr const char* name = "rocr";
    static constexpr const char* class_name = "RocrState";
    static double of(double x, double b) noexcept { return b == 0.0 ? missing_value : x / b; }
};
// Order of operations: x - b.
struct MomChange {
    static constexpr const char* name = "mom";
    static constexpr const char* class_name = "MomState";
    static double of(double x, double b) noexcept { return x - b; }
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
