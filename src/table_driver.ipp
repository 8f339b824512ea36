// How a lane kernel walks a table: series in lane blocks of a few registers, bars in blocks, and
// columns gathered a block at a time into a small row-major tile that stays in the first-level
// cache, so both layouts reach the kernel as rows of consecutive series.
//
// A lane kernel K describes its operands and state and advances one lane block over one block of
// bars:
//   static constexpr int inputs, outputs, states;  bool prefers_wide_blocks;
//   static const TableInput& input(const Job&, int k);     lag(job, k): the bars input k looks back
//   static const TableOutput& output(const Job&, int k);   initial_state(k): the bits a state starts with
//   idle_state(k), optional: the bits for lanes of a partial register that hold no series
//   template <int W, int G, class Io> static void advance(const Io&, const Job&, const Block<K>&);

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

constexpr int vector_width = QUILLORA_TABLE_WIDTH;
// Registers advanced together: enough independent chains to cover the latency of one step.
constexpr int group = 4;
// A tiled block holds at most one register more than a group (see for_each_lane_block).
constexpr std::size_t block_lanes_max = (group + 1) * vector_width;
// Registers per lane block when nothing goes through a tile and either the outputs stream to
// memory (whole rows of a typical table in one block, so the lines each row shares with the next
// are completed back to back) or the kernel has work enough per register to gain from them.
constexpr int wide_group = 8;
// Series whose states are held at once: bounds the stack, and for a row-major table keeps each
// block of bars streaming through whole rows rather than strips of them.
constexpr std::size_t super_lanes = 128;
constexpr std::size_t tile_bars = 32;

inline std::size_t smaller(std::size_t a, std::size_t b) noexcept {
    return a < b ? a : b;
}

inline std::size_t larger(std::size_t a, std::size_t b) noexcept {
    return a < b ? b : a;
}

// An operand as a kernel sees it: the row of bar i, starting at the lane block's first series, is
// origin + (i - origin_bar) * step. Only bars from origin_bar on are read.
struct InRows {
    const double* origin;
    std::size_t origin_bar;
    std::size_t step;
    const double* at(std::size_t bar) const noexcept { return origin + (bar - origin_bar) * step; }
};

struct OutRows {
    double* origin;
    std::size_t origin_bar;
    std::size_t step;
    double* at(std::size_t bar) const noexcept { return origin + (bar - origin_bar) * step; }
};

// One lane block over the bars [begin, end): its operands, its states (one run of doubles per
// state, at the block's first lane) and the index of its first series in the table.
template <class K>
struct Block {
    InRows in[K::inputs];
    OutRows out[K::outputs];
    double* state[K::states];
    std::size_t first_series;
    std::size_t begin, end;
};

// Loads and saves a state of G registers; states are bit patterns (numbers, masks or counters).
template <class Register, int G>
inline void load_state(const double* from, Register (&to)[G]) noexcept {
    __builtin_memcpy(to, from, sizeof to);
}

template <class Register, int G>
inline void save_state(double* to, const Register (&from)[G]) noexcept {
    __builtin_memcpy(to, from, sizeof from);
}

// Stores a register aligned to its size straight to memory.
template <int W>
inline void stream(double* to, Values<W> v) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_stream_pd(to, __builtin_bit_cast(__m512d, v));
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return _mm256_stream_pd(to, __builtin_bit_cast(__m256d, v));
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return _mm_stream_pd(to, __builtin_bit_cast(__m128d, v));
#endif
    store<W>(to, v);
}

// How kernels write output registers: through the caches, or, for outputs far larger than the
// caches, straight to memory (no read for ownership, no eviction of the inputs). Streamed
// registers must be aligned to their size.
struct CachedStores {
    template <int W>
    static void put(double* to, Values<W> v) noexcept {
        store<W>(to, v);
    }
};

struct StreamedStores {
    template <int W>
    static void put(double* to, Values<W> v) noexcept {
        stream<W>(to, v);
    }
};

// Streamed in 16-byte halves where a register is not aligned to its size (as NumPy arrays often
// are not): write-combining completes each line from the consecutive stores that fill it.
struct StreamedPairs {
    template <int W>
    static void put(double* to, Values<W> v) noexcept {
        if constexpr (W >= 2) {
            for (int pair = 0; pair < W; pair += 2) {
                Values<2> half;
                half[0] = v[pair];
                half[1] = v[pair + 1];
                stream<2>(to + pair, half);
            }
        } else {
            store<W>(to, v);
        }
    }
};

// How a kernel reaches the rows of its lane block: register g of a row at row + g * W, the last
// register possibly partial (`tail` lanes of W), read and written without touching the rest.
template <int W, int G, class Stores>
struct Io {
    std::size_t tail;

    Values<W> load(const double* row, int g) const noexcept {
        if (g == G - 1 && tail != W) return load_partial<W>(row + g * W, tail);
        return ::quillora::table_detail::QUILLORA_TABLE_ISA::load<W>(row + g * W);
    }
    void put(double* row, int g, Values<W> v) const noexcept {
        if (g == G - 1 && tail != W) return store_partial<W>(row + g * W, tail, v);
        Stores::template put<W>(row + g * W, v);
    }
    // Whether lane `lane` of register g holds a series.
    bool holds(int g, int lane) const noexcept { return g < G - 1 || static_cast<std::size_t>(lane) < tail; }
};

// Bars per block for a row-major table: the rows of one block, over all operands, stay within
// the second-level cache while every lane block of the super block walks them.
inline std::size_t row_block_bars(std::size_t lanes, int operands) noexcept {
    const std::size_t bytes_per_bar = lanes * sizeof(double) * static_cast<std::size_t>(operands);
    return smaller(2048, larger(16, (128 * 1024) / bytes_per_bar));
}

// In-register transpose of W registers of W doubles: after it, register b holds lane b of every
// register before it. log2(W) butterfly stages of two-register shuffles.
template <int W, int S, int... L>
constexpr Mask<W> low_half_lanes(std::integer_sequence<int, L...>) noexcept {
    return Mask<W>{((L & S) == 0 ? L : W + L - S)...};
}

template <int W, int S, int... L>
constexpr Mask<W> high_half_lanes(std::integer_sequence<int, L...>) noexcept {
    return Mask<W>{((L & S) == 0 ? L + S : W + L)...};
}

template <int W, int S = W / 2>
inline void transpose(Values<W> (&v)[W]) noexcept {
    if constexpr (S >= 1) {
        constexpr Mask<W> low = low_half_lanes<W, S>(std::make_integer_sequence<int, W>{});
        constexpr Mask<W> high = high_half_lanes<W, S>(std::make_integer_sequence<int, W>{});
#pragma GCC unroll 8
        for (int i = 0; i < W; ++i) {
            if ((i & S) != 0) continue;
            const Values<W> a = v[i], b = v[i + S];
            v[i] = __builtin_shuffle(a, b, low);
            v[i + S] = __builtin_shuffle(a, b, high);
        }
        transpose<W, S / 2>(v);
    }
}

// Tile row (bar - begin), lane l, takes columns[l][bar - lag] for the bars [from, end): squares of
// a register's width go through registers and a transpose, the edges one double at a time.
// Lanes from `count` to `lanes` hold no series and are zeroed.
inline void gather_tile(double* tile, std::size_t lanes, const double* const* columns, std::size_t count,
                        std::size_t begin, std::size_t from, std::size_t end, std::size_t lag) noexcept {
    constexpr int W = vector_width;
    from = smaller(from, end);  // a lag past the block leaves nothing to gather
    std::size_t lane = 0;
    for (; lane + W <= count; lane += W) {
        std::size_t bar = from;
        for (; end - bar >= W; bar += W) {
            Values<W> v[W];
#pragma GCC unroll 8
            for (int l = 0; l < W; ++l) v[l] = load<W>(columns[lane + l] + (bar - lag));
            transpose<W>(v);
#pragma GCC unroll 8
            for (int b = 0; b < W; ++b) store<W>(tile + (bar + b - begin) * lanes + lane, v[b]);
        }
        for (; bar < end; ++bar) {
            for (int l = 0; l < W; ++l) tile[(bar - begin) * lanes + lane + l] = columns[lane + l][bar - lag];
        }
    }
    for (; lane < lanes; ++lane) {
        for (std::size_t bar = from; bar < end; ++bar) {
            tile[(bar - begin) * lanes + lane] = lane < count ? columns[lane][bar - lag] : 0.0;
        }
    }
}

// The reverse: columns[l][bar] takes tile row (bar - begin), lane l, for the lanes [0, count).
inline void scatter_tile(double* const* columns, const double* tile, std::size_t lanes, std::size_t count,
                         std::size_t begin, std::size_t end) noexcept {
    constexpr int W = vector_width;
    std::size_t lane = 0;
    for (; lane + W <= count; lane += W) {
        std::size_t bar = begin;
        for (; end - bar >= W; bar += W) {
            Values<W> v[W];
#pragma GCC unroll 8
            for (int b = 0; b < W; ++b) v[b] = load<W>(tile + (bar + b - begin) * lanes + lane);
            transpose<W>(v);
#pragma GCC unroll 8
            for (int l = 0; l < W; ++l) store<W>(columns[lane + l] + bar, v[l]);
        }
        for (; bar < end; ++bar) {
            for (int l = 0; l < W; ++l) columns[lane + l][bar] = tile[(bar - begin) * lanes + lane + l];
        }
    }
    for (; lane < count; ++lane) {
        for (std::size_t bar = begin; bar < end; ++bar) columns[lane][bar] = tile[(bar - begin) * lanes + lane];
    }
}

// One lane block of G registers, the last holding `tail` series, over the bars [begin, end).
template <class K, int W, int G, class Stores, class Job>
void advance_block(const Job& job, std::size_t first_series, std::size_t tail, double* const* states,
                   std::size_t begin, std::size_t end, double (*tiles)[tile_bars * block_lanes_max]) noexcept {
    constexpr std::size_t lanes = static_cast<std::size_t>(W) * G;
    // Blocks wider than a tile only ever run where nothing is tiled (run_lanes).
    constexpr bool fits_tiles = lanes <= block_lanes_max;
    const std::size_t series = lanes - W + tail;
    Block<K> block;
    for (int k = 0; k < K::inputs; ++k) {
        const TableInput& operand = K::input(job, k);
        const std::size_t lag = K::lag(job, k);
        if (fits_tiles && operand.columns != nullptr) {
            gather_tile(tiles[k], lanes, operand.columns + first_series, series, begin, larger(begin, lag), end, lag);
            block.in[k] = {tiles[k], begin, lanes};
        } else {
            block.in[k] = {operand.rows + first_series, lag, operand.row_stride};
        }
    }
    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& operand = K::output(job, k);
        block.out[k] = fits_tiles && operand.columns != nullptr
                           ? OutRows{tiles[K::inputs + k], begin, lanes}
                           : OutRows{operand.rows + first_series, 0, operand.row_stride};
    }
    for (int s = 0; s < K::states; ++s) block.state[s] = states[s];
    block.first_series = first_series;
    block.begin = begin;
    block.end = end;

    K::template advance<W, G>(Io<W, G, Stores>{tail}, job, block);

    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& operand = K::output(job, k);
        if (!fits_tiles || operand.columns == nullptr) continue;
        scatter_tile(operand.columns + first_series, tiles[K::inputs + k], lanes, series, begin, end);
    }
}

// Calls visit.template operator()<W, G>(offset, tail) for consecutive lane blocks covering
// `width` series: groups of Group registers first, then the rest in one block whose last register
// holds `tail` series where partial registers are available, else in narrower blocks down to a
// single lane.
template <int Group, class Visit>
void visit_registers(std::size_t registers, std::size_t offset, std::size_t tail, Visit& visit) noexcept {
    if constexpr (Group > 0) {
        if (registers == Group) {
            visit.template operator()<vector_width, Group>(offset, tail);
        } else {
            visit_registers<Group - 1>(registers, offset, tail, visit);
        }
    }
}

template <int Group, class Visit>
void for_each_lane_block(std::size_t width, Visit&& visit) noexcept {
    constexpr std::size_t lanes = static_cast<std::size_t>(Group) * vector_width;
    std::size_t offset = 0;
    if constexpr (partial_registers) {
        // The last block takes up to one register more than a group rather than leave a block
        // of one register, whose chains alone would set the pace of a whole pass.
        std::size_t registers = (width + vector_width - 1) / vector_width;
        while (registers > 0) {
            const std::size_t taken = registers <= Group + 1 ? registers : Group;
            const std::size_t block_end = smaller(width, offset + taken * vector_width);
            visit_registers<Group + 1>(taken, offset, block_end - offset - (taken - 1) * vector_width, visit);
            offset = block_end;
            registers -= taken;
        }
        return;
    }
    for (; width - offset >= lanes; offset += lanes) {
        visit.template operator()<vector_width, Group>(offset, vector_width);
    }
    const std::size_t registers = (width - offset) / vector_width;
    visit_registers<Group - 1>(registers, offset, vector_width, visit);
    offset += registers * vector_width;
    if constexpr (vector_width > 4) {
        if (width - offset >= 4) {
            visit.template operator()<4, 1>(offset, 4);
            offset += 4;
        }
    }
    if constexpr (vector_width > 2) {
        if (width - offset >= 2) {
            visit.template operator()<2, 1>(offset, 2);
            offset += 2;
        }
    }
    if (width - offset >= 1) {
        visit.template operator()<1, 1>(offset, 1);
    }
}

template <class K, class Job>
bool any_columns(const Job& job) noexcept {
    for (int k = 0; k < K::inputs; ++k) {
        if (K::input(job, k).columns != nullptr) return true;
    }
    for (int k = 0; k < K::outputs; ++k) {
        if (K::output(job, k).columns != nullptr) return true;
    }
    return false;
}

// Whether every output is row-major and each of its rows, from the series `first_series` on,
// starts on a multiple of `bytes`.
template <class K, class Job>
bool outputs_aligned(const Job& job, std::size_t first_series, std::size_t bytes) noexcept {
    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& output = K::output(job, k);
        if (output.columns != nullptr || output.row_stride * sizeof(double) % bytes != 0) return false;
        if (reinterpret_cast<std::uintptr_t>(output.rows + first_series) % bytes != 0) return false;
    }
    return true;
}

template <class K, class Job>
bool all_rows(const Job& job) noexcept {
    for (int k = 0; k < K::outputs; ++k) {
        if (K::output(job, k).columns != nullptr) return false;
    }
    return true;
}

// Runs the lane blocks of Group registers over the super blocks of [first, last); returns whether
// any output was streamed.
template <class K, int Group, class Job>
bool run_super_blocks(const Job& job, std::size_t first, std::size_t last, bool tiled, bool streaming) noexcept {
    bool streamed = false;
    alignas(64) double tiles[K::inputs + K::outputs][tile_bars * block_lanes_max];
    alignas(64) double state_store[K::states][super_lanes];

    for (std::size_t super = first; super < last; super += super_lanes) {
        const std::size_t width = smaller(super_lanes, last - super);
        for (int s = 0; s < K::states; ++s) {
            const double initial = __builtin_bit_cast(double, K::initial_state(s));
            double idle = initial;
            if constexpr (requires { K::idle_state(s); }) idle = __builtin_bit_cast(double, K::idle_state(s));
            for (std::size_t lane = 0; lane < super_lanes; ++lane) state_store[s][lane] = lane < width ? initial : idle;
        }
        const std::size_t bar_step = tiled ? tile_bars : row_block_bars(width, K::inputs + K::outputs);
        for (std::size_t begin = 0; begin < job.bars; begin += bar_step) {
            const std::size_t end = smaller(job.bars, begin + bar_step);
            for_each_lane_block<Group>(width, [&]<int W, int G>(std::size_t offset, std::size_t tail) {
                double* states[K::states];
                for (int s = 0; s < K::states; ++s) states[s] = state_store[s] + offset;
                const std::size_t series = super + offset;
                if (streaming && W == vector_width && outputs_aligned<K>(job, series, W * sizeof(double))) {
                    streamed = true;
                    advance_block<K, W, G, StreamedStores>(job, series, tail, states, begin, end, tiles);
                } else if (streaming && W >= 2 && outputs_aligned<K>(job, series, 2 * sizeof(double))) {
                    streamed = true;
                    advance_block<K, W, G, StreamedPairs>(job, series, tail, states, begin, end, tiles);
                } else {
                    advance_block<K, W, G, CachedStores>(job, series, tail, states, begin, end, tiles);
                }
            });
        }
    }
    return streamed;
}

// Computes the series [first, last) of `job` with lane kernel K.
template <class K, class Job>
void run_lanes(const Job& job, std::size_t first, std::size_t last) noexcept {
    const bool tiled = any_columns<K>(job);
    const bool streaming = job.stream_outputs && all_rows<K>(job);
    // Wide blocks only where nothing goes through a tile, which is sized for the usual group.
    const bool wide = !tiled && (streaming || K::prefers_wide_blocks);
    const bool streamed = wide ? run_super_blocks<K, wide_group>(job, first, last, tiled, streaming)
                               : run_super_blocks<K, group>(job, first, last, tiled, streaming);
#if defined(__x86_64__)
    // Streamed stores are weakly ordered: make them visible before this share reports done.
    if (streamed) _mm_sfence();
#else
    (void)streamed;
#endif
}

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
