// Moving a tile of a row-major table between its rows and one contiguous run per symbol. Pure data
// movement: every double keeps its bits (NaN payloads and signs included).
#pragma once

#include <cstddef>

namespace quillora {

// Copies `rows` rows of `symbols` adjacent doubles, row r at rows_from + r * row_stride, into runs:
// the value of symbol s in row r to runs_to[s * run_stride + r].
void gather_runs(const double* rows_from, std::size_t row_stride, std::size_t rows, std::size_t symbols,
                 double* runs_to, std::size_t run_stride) noexcept;

// The inverse: runs_from[s * run_stride + r] to rows_to[r * row_stride + s].
void scatter_runs(const double* runs_from, std::size_t run_stride, std::size_t rows, std::size_t symbols,
                  double* rows_to, std::size_t row_stride) noexcept;

}  // namespace quillora
