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
// each row (a row-major table), so that a row of the block is one run of doubles. Otherwise
// `spacing`, where not zero, is the distance from one symbol's contiguous run to the next (a
// column-major table), so that a tile of the block moves as one transpose.
struct BlockLanes {
    const Lane* lanes;
    std::size_t symbols;
    bool side_by_side;
    std::size_t spacing = 0;
};

inline BlockLanes block_lanes(const Lane* lanes, std::size_t symbols) noexcept {
    bool side_by_side = true, spaced = symbols > 1 && lanes[0].stride == 1 && lanes[1].first > lanes[0].first;
    const std::size_t spacing = spaced ? static_cast<std::size_t>(lanes[1].first - lanes[0].first) : 0;
    for (std::size_t s = 1; s < symbols; ++s) {
        side_by_side = side_by_side && lanes[s].stride == lanes[0].stride && lanes[s].first == lanes[0].first + s;
        spaced = spaced && lanes[s].stride == 1 && lanes[s].first == lanes[0].first + s * spacing;
    }
    return {lanes, symbols, side_by_side, spaced ? spacing : 0};
}

}  // namespace quillora::indicators
