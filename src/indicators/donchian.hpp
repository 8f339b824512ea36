// Donchian channels: the highest high and the lowest low of the last `period` bars, and their
// midpoint.
#pragma once

#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: upper = the window's highest high, lower = its lowest low (exact:
// comparisons only), middle = (upper + lower) / 2. A missing bar empties the window: its position
// and the next period - 1 hold the missing marker.
class DonchianState {
public:
    static constexpr const char* name = "donchian";
    static constexpr const char* class_name = "DonchianState";
    static constexpr std::size_t inputs = 2, outputs = 3;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit DonchianState(const Parameters& p) noexcept : highest_(p.counts[0]), lowest_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            highest_.clear();
            lowest_.clear();
            missing_bar<3>(out);
            return;
        }
        highest_.reserve();
        lowest_.reserve();
        highest_.push(in[0]);
        lowest_.push(in[1]);
        if (!highest_.full()) {
            missing_bar<3>(out);
            return;
        }
        const double upper = highest_.value(), lower = lowest_.value();
        out[0] = upper;
        out[1] = (upper + lower) / 2.0;
        out[2] = lower;
    }

    void save(StateWriter& w) const {
        highest_.save(w);
        lowest_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return highest_.load(r) && lowest_.load(r) && highest_.filled() == lowest_.filled();
    }

private:
    WindowExtreme<true> highest_;
    WindowExtreme<false> lowest_;
};

}  // namespace quillora::indicators
