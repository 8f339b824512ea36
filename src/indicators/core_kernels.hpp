// The core's four indicators in the declared form, for the modes they get from the declaration
// (long tables keyed by symbol). Each runs the core's own resumable state over whole chunks, so a
// symbol gets exactly the bits of the core's batch routine on its rows alone.
#pragma once

#include <cstdint>
#include <span>

#include "atr.hpp"
#include "ema.hpp"
#include "indicator.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace quillora::indicators {

namespace core_detail {
inline bool one_period(const Parameters& p) noexcept {
    return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
}
}  // namespace core_detail

// Saved states of these are the core's own (quillora_series.stream); here they are never saved.
struct UnsavedState {
    void save(StateWriter&) const {}
    [[nodiscard]] bool load(StateReader&) noexcept { return false; }
};

class SmaKernel : public UnsavedState {
public:
    static constexpr const char* name = "sma";
    static constexpr const char* class_name = "SmaKernel";
    static constexpr std::size_t inputs = 1, outputs = 1;
    static bool valid(const Parameters& p) noexcept { return core_detail::one_period(p); }
    explicit SmaKernel(const Parameters& p) noexcept : state_(p.counts[0]) {}
    void step(const double* in, double* out) { state_.run({in, 1}, {out, 1}); }
    void run(const double* const* in, double* const* out, std::size_t n) { state_.run({in[0], n}, {out[0], n}); }

private:
    SmaState state_;
};

class EmaKernel : public UnsavedState {
public:
    static constexpr const char* name = "ema";
    static constexpr const char* class_name = "EmaKernel";
    static constexpr std::size_t inputs = 1, outputs = 1;
    static bool valid(const Parameters& p) noexcept { return core_detail::one_period(p); }
    explicit EmaKernel(const Parameters& p) noexcept : state_(p.counts[0]) {}
    void step(const double* in, double* out) noexcept { state_.run({in, 1}, {out, 1}); }
    void run(const double* const* in, double* const* out, std::size_t n) noexcept {
        state_.run({in[0], n}, {out[0], n});
    }

private:
    EmaState state_;
};

class MacdKernel : public UnsavedState {
public:
    static constexpr const char* name = "macd";
    static constexpr const char* class_name = "MacdKernel";
    static constexpr std::size_t inputs = 1, outputs = 3;
    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 3 && p.reals.empty() && 1 <= p.counts[0] && p.counts[0] < p.counts[1] &&
               p.counts[2] >= 1;
    }
    explicit MacdKernel(const Parameters& p) noexcept : state_(p.counts[0], p.counts[1], p.counts[2]) {}
    void step(const double* in, double* out) { state_.run({in, 1}, {out, 1}, {out + 1, 1}, {out + 2, 1}); }
    void run(const double* const* in, double* const* out, std::size_t n) {
        state_.run({in[0], n}, {out[0], n}, {out[1], n}, {out[2], n});
    }

private:
    MacdState state_;
};

class AtrKernel : public UnsavedState {
public:
    static constexpr const char* name = "atr";
    static constexpr const char* class_name = "AtrKernel";
    static constexpr std::size_t inputs = 3, outputs = 1;
    static bool valid(const Parameters& p) noexcept { return core_detail::one_period(p); }
    explicit AtrKernel(const Parameters& p) noexcept : state_(p.counts[0]) {}
    void step(const double* in, double* out) noexcept { state_.run({in, 1}, {in + 1, 1}, {in + 2, 1}, {out, 1}); }
    void run(const double* const* in, double* const* out, std::size_t n) noexcept {
        state_.run({in[0], n}, {in[1], n}, {in[2], n}, {out[0], n});
    }

private:
    AtrState state_;
};

using CoreKernels = IndicatorList<SmaKernel, EmaKernel, MacdKernel, AtrKernel>;

}  // namespace quillora::indicators
