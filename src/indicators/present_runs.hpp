// Finding runs of bars whose every input is present, fast enough to run ahead of the cheapest
// indicator: samples are tested a vector of them at a time, whole groups at once, so the test
// costs a small part of a read of the inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vector_pair.hpp"

namespace quillora::indicators {

namespace present_detail {

inline constexpr std::size_t group = 32;
using vector_pair::load;
using vector_pair::Pair;

// Whether any of the `group` samples from `x` is NaN or infinite: x - x is 0 for every other
// sample and NaN for those, and a NaN survives the sums.
inline bool group_has_missing(const double* x) noexcept {
    Pair a = {0.0, 0.0}, b = a, c = a, d = a;
    for (std::size_t i = 0; i < group; i += 8) {
        const Pair p = load(x + i), q = load(x + i + 2), r = load(x + i + 4), s = load(x + i + 6);
        a += p - p;
        b += q - q;
        c += r - r;
        d += s - s;
    }
    const Pair all = (a + b) + (c + d);
    return !(all[0] + all[1] == 0.0);
}

inline bool sample_missing(const double* x) noexcept { return !(*x - *x == 0.0); }

}  // namespace present_detail

// The first bar in [first, last) with a missing input (or `last`): inputs[k][bar] is input k.
template <std::size_t Inputs>
std::size_t first_missing_bar(const double* const* inputs, std::size_t first, std::size_t last) noexcept {
    using namespace present_detail;
    std::size_t bar = first;
    while (bar + group <= last) {
        bool missing = false;
        for (std::size_t k = 0; k < Inputs; ++k) missing = missing || group_has_missing(inputs[k] + bar);
        if (missing) break;
        bar += group;
    }
    for (; bar < last; ++bar) {
        for (std::size_t k = 0; k < Inputs; ++k)
            if (sample_missing(inputs[k] + bar)) return bar;
    }
    return last;
}

}  // namespace quillora::indicators
