// Double exponential moving average: twice the EMA less the EMA of that EMA, which takes most of
// the EMA's lag out.
#pragma once

#include <cstdint>

#include "ema_chain.hpp"
#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: e1 = EmaPart(period) of the samples, e2 = EmaPart(period) of e1's values
// from its first one on, each seeded with the mean of its first `period` inputs (EmaChain); the
// value is 2.0 * e1 - e2. A missing sample restarts each average still in its seed and is skipped
// by each seeded one. Positions without a value hold the missing marker.
class DemaState {
public:
    static constexpr const char* name = "dema";
    static constexpr const char* class_name = "DemaState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    // Tables step their symbols side by side, in vector lanes once a block's chains are seeded.
    static constexpr bool table_lockstep = true;

    explicit DemaState(const Parameters& p) noexcept : chain_(p.counts[0]) {}

    bool lanes_ready() const noexcept { return chain_.seeded(); }
    static void run_lanes(DemaState* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        run_chains_in_lanes<ChainValue::dema>(
            states, [](auto& state) -> auto& { return state.chain_; }, count, in, out, bar, bars);
    }

    void step(const double* in, double* out) noexcept {
        const double x = in[0];
        if (!present(x)) {
            chain_.restart_seed();
            out[0] = missing_value;
            return;
        }
        out[0] = chain_.add(x) ? 2.0 * chain_.value(0) - chain_.value(1) : missing_value;
    }

    // Seeds by stepping, then both averages in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !chain_.seeded(); ++i) step_bars(*this, in, out, i, i + 1);
        double* result = out[0] + i;
        chain_.add_seeded_run(in[0] + i, length - i,
                              [result](std::size_t j, const auto& e) { result[j] = 2.0 * e[0] - e[1]; });
    }

    void save(StateWriter& w) const { chain_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return chain_.load(r); }

private:
    EmaChain<2> chain_;
};

}  // namespace quillora::indicators
