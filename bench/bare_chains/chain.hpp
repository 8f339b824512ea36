// A bare chain: the loop an indicator's definition cannot do without, its floating-point dependency
// from one bar to the next and nothing else (no missing samples, no warm-up, no state kept). Where
// a definition's chain is longer than another library's fused one, the batch run is held to this.
#pragma once

#include <cstddef>
#include <vector>

#include "indicators/indicator.hpp"

namespace quillora::bench {

// The bars as `bench_declared` makes them: high, low, close, volume.
using Bars = std::vector<std::vector<double>>;

struct BareChain {
    const char* name;
    // Writes the chain's value for every bar to `out` (as long as the bars).
    void (*run)(const Bars& bars, const indicators::Parameters& parameters, double* out);
};

}  // namespace quillora::bench
