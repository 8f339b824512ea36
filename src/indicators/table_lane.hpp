// How a table hands its symbols to the states that step several of them at once.
#pragma once

#include <cstddef>

namespace quillora::indicators {

// Symbols advanced together, a tile of bars at a time: two cache lines of a row-major row.
inline constexpr std::size_t symbols_per_block = 16;

// One symbol of a table argument: element `bar` at first[bar * stride].
struct Lane {
    const double* first;
    std::size_t stride;
};

// A block's symbols of one table argument: `symbols` lanes, and whether they lie side by side in
// each row (a row-major table), so that a row of the block is one run of doubles.
struct BlockLanes {
    const Lane* lanes;
    std::size_t symbols;
    bool side_by_side;
};

inline BlockLanes block_lanes(const Lane* lanes, std::size_t symbols) noexcept {
    bool side_by_side = true;
    for (std::size_t s = 1; s < symbols; ++s)
        side_by_side = side_by_side && lanes[s].stride == lanes[0].stride && lanes[s].first == lanes[0].first + s;
    return {lanes, symbols, side_by_side};
}

}  // namespace quillora::indicators
