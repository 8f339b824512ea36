// Tiles moved element by element cost a load and a store of one double each; where the CPU has
// AVX2, blocks of 4 symbols x 4 rows move as four registers transposed in place, a quarter of the
// memory operations. The choice is made once, as the table kernels choose theirs.
#include "tile_transpose.hpp"

#include "table.hpp"

#if defined(QUILLORA_TABLE_X86)
#include <immintrin.h>
#endif

namespace quillora {

namespace {

// Element by element: where the CPU has no AVX2, and the remainders of the blocked form. Along the
// longer side, as the blocked form (below) says why.
void transpose_elements(const double* from, std::size_t from_stride, std::size_t rows, std::size_t columns, double* to,
                        std::size_t to_stride) noexcept {
    if (rows >= columns) {
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < columns; ++c) to[c * to_stride + r] = from[r * from_stride + c];
    } else {
        for (std::size_t c = 0; c < columns; ++c)
            for (std::size_t r = 0; r < rows; ++r) to[c * to_stride + r] = from[r * from_stride + c];
    }
}

#if defined(QUILLORA_TABLE_X86)
// The 4 x 4 block at `from` (rows `from_stride` apart) to `to` transposed (rows `to_stride` apart).
[[gnu::target("avx2"), gnu::always_inline]] inline void transpose_block(const double* from, std::size_t from_stride,
                                                                        double* to, std::size_t to_stride) noexcept {
    const __m256d r0 = _mm256_loadu_pd(from), r1 = _mm256_loadu_pd(from + from_stride);
    const __m256d r2 = _mm256_loadu_pd(from + 2 * from_stride), r3 = _mm256_loadu_pd(from + 3 * from_stride);
    const __m256d low01 = _mm256_unpacklo_pd(r0, r1), high01 = _mm256_unpackhi_pd(r0, r1);
    const __m256d low23 = _mm256_unpacklo_pd(r2, r3), high23 = _mm256_unpackhi_pd(r2, r3);
    _mm256_storeu_pd(to, _mm256_permute2f128_pd(low01, low23, 0x20));
    _mm256_storeu_pd(to + to_stride, _mm256_permute2f128_pd(high01, high23, 0x20));
    _mm256_storeu_pd(to + 2 * to_stride, _mm256_permute2f128_pd(low01, low23, 0x31));
    _mm256_storeu_pd(to + 3 * to_stride, _mm256_permute2f128_pd(high01, high23, 0x31));
}

// Whole 4 x 4 blocks, then the rows and columns left over element by element.
[[gnu::target("avx2")]] void transpose_blocks(const double* from, std::size_t from_stride, std::size_t rows,
                                              std::size_t columns, double* to, std::size_t to_stride) noexcept {
    const std::size_t block_rows = rows & ~std::size_t{3}, block_columns = columns & ~std::size_t{3};
    // Along the longer side: a table's tile is then walked row by row (its symbols are the shorter
    // side), so each of its cache lines is read or written in one visit rather than evicted between
    // two.
    if (rows >= columns) {
        for (std::size_t r = 0; r < block_rows; r += 4)
            for (std::size_t c = 0; c < block_columns; c += 4)
                transpose_block(from + r * from_stride + c, from_stride, to + c * to_stride + r, to_stride);
    } else {
        for (std::size_t c = 0; c < block_columns; c += 4)
            for (std::size_t r = 0; r < block_rows; r += 4)
                transpose_block(from + r * from_stride + c, from_stride, to + c * to_stride + r, to_stride);
    }
    // Clean upper register halves before the plain code: the call below ends this function as a jump,
    // past where the compiler would clear them, and every SSE instruction the process ran after
    // it (other indicators' whole batch runs among them) was then several times slower.
    _mm256_zeroupper();
    transpose_elements(from + block_rows * from_stride, from_stride, rows - block_rows, columns, to + block_rows,
                       to_stride);
    transpose_elements(from + block_columns, from_stride, block_rows, columns - block_columns,
                       to + block_columns * to_stride, to_stride);
}

using Transpose = void (*)(const double*, std::size_t, std::size_t, std::size_t, double*, std::size_t) noexcept;

// AVX2 where the table kernels may use it: this CPU runs it and the build offers it.
void transpose(const double* from, std::size_t from_stride, std::size_t rows, std::size_t columns, double* to,
               std::size_t to_stride) noexcept {
    static const Transpose chosen = table_isa_available(TableIsa::avx2) ? transpose_blocks : transpose_elements;
    chosen(from, from_stride, rows, columns, to, to_stride);
}
#else
constexpr auto transpose = transpose_elements;
#endif

}  // namespace

void gather_runs(const double* rows_from, std::size_t row_stride, std::size_t rows, std::size_t symbols,
                 double* runs_to, std::size_t run_stride) noexcept {
    transpose(rows_from, row_stride, rows, symbols, runs_to, run_stride);
}

// A run of rows is a row-major table of symbols x rows: the same transpose, the other way.
void scatter_runs(const double* runs_from, std::size_t run_stride, std::size_t rows, std::size_t symbols,
                  double* rows_to, std::size_t row_stride) noexcept {
    transpose(runs_from, run_stride, symbols, rows, rows_to, row_stride);
}

}  // namespace quillora
