// What the dispatcher hands the per-instruction-set kernels: plain data and function pointers only,
// so that no inline code is shared between units built for different instruction sets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "table.hpp"

namespace quillora::table_detail {

// `stream_outputs`: the table is far larger than the caches, so outputs that can be written in
// whole aligned registers bypass them (no read for ownership, no eviction of the inputs).
struct SmaJob {
    std::uint64_t period;
    std::size_t bars;
    TableInput data;
    TableOutput output;
    bool stream_outputs;
};

using EmaJob = SmaJob;

struct MacdJob {
    std::uint64_t fast_period, slow_period, signal_period;
    std::size_t bars;
    TableInput data;
    TableOutput macd, signal, hist;
    bool stream_outputs;
};

struct AtrJob {
    std::uint64_t period;
    std::size_t bars;
    TableInput high, low, close;
    TableOutput output;
    bool stream_outputs;
};

// The series one thread computes: [first, last), and [wrap_first, wrap_last) where each row-major
// output row ends in the cache line that the next row starts in: the thread that writes the start
// of the rows writes their ends too, so no line is written by two threads.
struct SeriesShare {
    std::size_t first, last;
    std::size_t wrap_first = 0, wrap_last = 0;
};

// The kernels of one instruction set; each computes the series of one share of its job.
struct LaneKernels {
    void (*sma)(const SmaJob& job, const SeriesShare& share) noexcept;
    void (*ema)(const EmaJob& job, const SeriesShare& share) noexcept;
    void (*macd)(const MacdJob& job, const SeriesShare& share) noexcept;
    void (*atr)(const AtrJob& job, const SeriesShare& share) noexcept;
};

// Each is defined only where its unit is built (QUILLORA_TABLE_HAS_<set>).
namespace baseline {
extern const LaneKernels kernels;
}
namespace avx2 {
extern const LaneKernels kernels;
}
namespace avx512 {
extern const LaneKernels kernels;
}

}  // namespace quillora::table_detail
