// How a lane kernel walks a table: series in registers aligned to the rows' memory, registers in
// lane blocks, bars in blocks, and columns gathered a block at a time into a small row-major tile
// that stays in the first-level cache, so both layouts reach the kernel as rows of series.
//
// A lane kernel K describes its operands and state and advances one lane block over one block of
// bars, its loops over the block's registers unrolled in full so that every register's state stays
// in a machine register:
//   static constexpr int inputs, outputs, states;
//   static const TableInput& input(const Job&, int k);     lag(job, k): the bars input k looks back
//   static const TableOutput& output(const Job&, int k);   initial_state(k): the bits a state starts with
//   idle_state(k), optional: the bits for lanes that hold no series
//   template <int W, int G, class Io> static void advance(const Io&, const Job&, const Block<K>&);

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

constexpr int vector_width = QUILLORA_TABLE_WIDTH;
// Registers advanced together through a tile: enough independent chains to cover the latency of
// one step. A tiled block holds at most one register more (see for_each_lane_block).
constexpr int group = 4;
constexpr std::size_t block_lanes_max = (group + 1) * vector_width;
// Registers per lane block where nothing goes through a tile: whole rows of a typical table in
// one block, so that memory is walked in address order, which the hardware fetches ahead best.
constexpr int wide_group = 8;
// Lanes whose states are held at once: bounds the stack, and for a row-major table keeps each
// block of bars streaming through whole rows rather than strips of them.
constexpr std::size_t super_lanes = 128;
constexpr std::size_t super_registers = super_lanes / vector_width;
constexpr std::size_t tile_bars = 32;
// How many rows ahead a partial register's line is claimed.
constexpr std::size_t prefetch_rows = 8;
// How far ahead a tile fetches its columns in a table past the cache. A table of many columns is
// as many streams, more than the hardware follows, and each column is read and written only a
// tile's height at a time.
constexpr std::size_t prefetch_column_doubles = 4 * tile_bars;

// Asks for the lines of the doubles [at, at + doubles) of a column, for reading or for writing.
// Only an address is formed, never a pointer: it may lie past the column's ends, where the hint
// is simply dropped.
template <int ForWriting>
inline void prefetch_run(const double* column, std::size_t at, std::size_t doubles) noexcept {
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(column) + at * sizeof(double);
    for (std::size_t byte = 0; byte < doubles * sizeof(double); byte += 64) {
        __builtin_prefetch(reinterpret_cast<const void*>(first + byte), ForWriting, 3);
    }
}

inline std::size_t smaller(std::size_t a, std::size_t b) noexcept {
    return a < b ? a : b;
}

inline std::size_t larger(std::size_t a, std::size_t b) noexcept {
    return a < b ? b : a;
}

// An operand as a kernel sees it: the row of bar i, at lane 0 of the lane block's first register,
// is origin + (i - origin_bar) * step. Only bars from origin_bar on are read.
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

// One lane block over the bars [begin, end): its operands and its states (one run of doubles per
// state, a whole register per register of the block).
template <class K>
struct Block {
    InRows in[K::inputs];
    OutRows out[K::outputs];
    double* state[K::states];
    std::size_t begin, end;
};

// Loads and saves a state of G registers; states are bit patterns (numbers, masks or counters).
// Register by register, so that the compiler can keep each one in a register of its own.
template <class Register, int G>
[[gnu::always_inline]] inline void load_state(const double* from, Register (&to)[G]) noexcept {
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) __builtin_memcpy(&to[g], from + g * sizeof(Register) / sizeof(double), sizeof(Register));
}

template <class Register, int G>
[[gnu::always_inline]] inline void save_state(double* to, const Register (&from)[G]) noexcept {
#pragma GCC unroll 16
    for (int g = 0; g < G; ++g) __builtin_memcpy(to + g * sizeof(Register) / sizeof(double), &from[g], sizeof(Register));
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

// How kernels write whole output registers: through the caches, or, for outputs far larger than
// the caches, straight to memory (no read for ownership, no eviction of the inputs). Streamed
// registers are aligned to their size.
struct CachedStores {
    static constexpr bool streamed = false;
    template <int W>
    static void put(double* to, Values<W> v) noexcept {
        store<W>(to, v);
    }
};

struct StreamedStores {
    static constexpr bool streamed = true;
    template <int W>
    static void put(double* to, Values<W> v) noexcept {
        stream<W>(to, v);
    }
};

// The registers of a lane block: register g at row + g * W, except that in a `Wrapped` block the
// registers from `wrap_from` on lie `wrap_shift` doubles further (the series at the end of each
// row, taken by the thread that owns the row's start because they share its cache line). Only
// the first and the last register may hold fewer series than lanes; they are read and written
// lane by lane, the others whole. Where whole registers stream past the caches, the lines that
// partial ones write still go through them; each is claimed `ahead` doubles (a few rows) early,
// as the hardware does not fetch ahead for masked stores and a miss would hold up the stores
// behind it.
template <int W, int G, class Stores, bool Wrapped>
struct Io {
    LaneRange<W> first_lanes, last_lanes;
    bool first_partial, last_partial;
    int wrap_from;
    std::ptrdiff_t wrap_shift;
    std::ptrdiff_t first_series;  // the series in lane 0 of register 0
    std::ptrdiff_t ahead;

    [[gnu::always_inline]] std::ptrdiff_t offset(int g) const noexcept {
        if constexpr (Wrapped) return g * W + (g >= wrap_from ? wrap_shift : 0);
        return g * W;
    }
    [[gnu::always_inline]] Values<W> load(const double* row, int g) const noexcept {
        if (g == 0 && first_partial) return load_lanes<W>(row + offset(g), first_lanes);
        if (g == G - 1 && last_partial) return load_lanes<W>(row + offset(g), last_lanes);
        return ::quillora::table_detail::QUILLORA_TABLE_ISA::load<W>(row + offset(g));
    }
    [[gnu::always_inline]] void put(double* row, int g, Values<W> v) const noexcept {
        if (g == 0 && first_partial) return put_lanes(row + offset(g), first_lanes, v);
        if (g == G - 1 && last_partial) return put_lanes(row + offset(g), last_lanes, v);
        Stores::template put<W>(row + offset(g), v);
    }
    [[gnu::always_inline]] void put_lanes(double* to, const LaneRange<W>& lanes, Values<W> v) const noexcept {
        if constexpr (Stores::streamed) __builtin_prefetch(to + ahead, 1, 3);
        store_lanes<W>(to, lanes, v);
    }
    // Whether lane `lane` of register g holds a series, and which.
    bool holds(int g, int lane) const noexcept {
        if (g == 0) return first_lanes.holds(lane);
        return g < G - 1 || last_lanes.holds(lane);
    }
    std::size_t series(int g, int lane) const noexcept {
        return static_cast<std::size_t>(first_series + offset(g) + lane);
    }
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
                        std::size_t begin, std::size_t from, std::size_t end, std::size_t lag,
                        bool fetch_ahead) noexcept {
    constexpr int W = vector_width;
    from = smaller(from, end);  // a lag past the block leaves nothing to gather
    for (std::size_t lane = 0; fetch_ahead && lane < count; ++lane) {
        prefetch_run<0>(columns[lane], end - lag + (prefetch_column_doubles - tile_bars), tile_bars);
    }
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

// The reverse: columns[l][bar] takes tile row (bar - begin), lane l, for the lanes [skip, count);
// the first `skip` lanes (fewer than a register) belong to another share.
inline void scatter_tile(double* const* columns, const double* tile, std::size_t lanes, std::size_t skip,
                         std::size_t count, std::size_t begin, std::size_t end, bool fetch_ahead) noexcept {
    constexpr int W = vector_width;
    for (std::size_t l = skip; fetch_ahead && l < count; ++l) {
        prefetch_run<1>(columns[l], end + (prefetch_column_doubles - tile_bars), tile_bars);
    }
    std::size_t lane = 0;
    if (skip != 0) {
        for (lane = skip; lane < smaller(W, count); ++lane) {
            for (std::size_t bar = begin; bar < end; ++bar) columns[lane][bar] = tile[(bar - begin) * lanes + lane];
        }
    }
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

// The registers a share is computed in: lane l of register r holds the series r * W + l - lead
// where that lies in one of the share's two runs of series. `lead` aligns the registers to the
// first output's rows, so that whole registers never straddle a cache line.
struct RegisterRuns {
    std::size_t lead;
    std::size_t first[2], last[2];            // the runs of series
    std::size_t first_register[2], registers[2];

    RegisterRuns(const SeriesShare& share, std::size_t lead_lanes) noexcept : lead(lead_lanes) {
        constexpr std::size_t W = vector_width;
        first[0] = share.first, last[0] = share.last;
        first[1] = share.wrap_first, last[1] = share.wrap_last;
        for (int run = 0; run < 2; ++run) {
            if (first[run] >= last[run]) {
                first_register[run] = registers[run] = 0;
                continue;
            }
            first_register[run] = (first[run] + lead) / W;
            registers[run] = (last[run] + lead + W - 1) / W - first_register[run];
        }
    }
    std::size_t count() const noexcept { return registers[0] + registers[1]; }
    // The register at position p of the share, counted over both runs.
    std::size_t run_of(std::size_t p) const noexcept { return p < registers[0] ? 0 : 1; }
    std::size_t register_at(std::size_t p) const noexcept {
        return p < registers[0] ? first_register[0] + p : first_register[1] + (p - registers[0]);
    }
    std::ptrdiff_t series_at_lane_zero(std::size_t p) const noexcept {
        return static_cast<std::ptrdiff_t>(register_at(p) * vector_width) - static_cast<std::ptrdiff_t>(lead);
    }
    LaneRange<vector_width> lanes_at(std::size_t p) const noexcept {
        const int run = static_cast<int>(run_of(p));
        const std::ptrdiff_t zero = series_at_lane_zero(p);
        const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(first[run]) - zero;
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(last[run]) - zero;
        return LaneRange<vector_width>(begin > 0 ? static_cast<unsigned>(begin) : 0u,
                                       end < vector_width ? static_cast<unsigned>(end) : unsigned{vector_width});
    }
};

// Where a lane block lies among the share's registers: positions [first, first + G).
struct LanePlace {
    const RegisterRuns* runs;
    std::size_t first;
    std::size_t super_first;  // the position of the super block's first register
};

// One lane block of G registers over the bars [begin, end).
template <class K, int G, class Stores, bool Wrapped, class Job>
void advance_block(const Job& job, const LanePlace& place, double* const* states, std::size_t begin,
                   std::size_t end, double (*tiles)[tile_bars * block_lanes_max]) noexcept {
    constexpr int W = vector_width;
    constexpr std::size_t lanes = static_cast<std::size_t>(W) * G;
    // Blocks wider than a tile only ever run where nothing is tiled (run_lanes).
    constexpr bool fits_tiles = lanes <= block_lanes_max;
    const RegisterRuns& runs = *place.runs;
    Io<W, G, Stores, Wrapped> io{runs.lanes_at(place.first), runs.lanes_at(place.first + G - 1), false, false, G,
                                 0, runs.series_at_lane_zero(place.first), 0};
    if constexpr (G == 1) io.first_lanes = io.last_lanes = LaneRange<W>(io.first_lanes.first, io.last_lanes.end);
    io.first_partial = !io.first_lanes.full();
    io.last_partial = !io.last_lanes.full();
    if constexpr (Wrapped) {
        io.wrap_from = static_cast<int>(runs.registers[0] - place.first);
        io.wrap_shift = static_cast<std::ptrdiff_t>((runs.first_register[1] - runs.first_register[0] - runs.registers[0]) * W);
    }
    // Tiles only run where the registers are the plain run [first_series, first_series + series).
    const std::size_t first_series = static_cast<std::size_t>(io.first_series > 0 ? io.first_series : 0);
    const std::size_t series = lanes - W + io.last_lanes.end;

    Block<K> block;
    for (int k = 0; k < K::inputs; ++k) {
        const TableInput& operand = K::input(job, k);
        const std::size_t lag = K::lag(job, k);
        if (fits_tiles && operand.columns != nullptr) {
            gather_tile(tiles[k], lanes, operand.columns + first_series, series, begin, larger(begin, lag), end, lag,
                        job.stream_outputs);
            block.in[k] = {tiles[k], begin, lanes};
        } else {
            block.in[k] = {operand.rows + io.first_series, lag, operand.row_stride};
        }
    }
    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& operand = K::output(job, k);
        block.out[k] = fits_tiles && operand.columns != nullptr
                           ? OutRows{tiles[K::inputs + k], begin, lanes}
                           : OutRows{operand.rows + io.first_series, 0, operand.row_stride};
    }
    io.ahead = static_cast<std::ptrdiff_t>(prefetch_rows * block.out[0].step);
    for (int s = 0; s < K::states; ++s) block.state[s] = states[s] + (place.first - place.super_first) * W;
    block.begin = begin;
    block.end = end;

    K::template advance<W, G>(io, job, block);

    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& operand = K::output(job, k);
        if (!fits_tiles || operand.columns == nullptr) continue;
        scatter_tile(operand.columns + first_series, tiles[K::inputs + k], lanes, io.first_lanes.first, series, begin,
                     end, job.stream_outputs);
    }
}

// Calls visit.template operator()<G>(first) for the lane blocks covering the positions [from, to):
// groups of Group registers, the last block taking up to one register more rather than leave a
// block of one register, whose chains alone would set the pace of a whole pass.
template <int Group, class Visit>
void visit_registers(std::size_t registers, std::size_t first, Visit& visit) noexcept {
    if constexpr (Group > 0) {
        if (registers == Group) {
            visit.template operator()<Group>(first);
        } else {
            visit_registers<Group - 1>(registers, first, visit);
        }
    }
}

template <int Group, class Visit>
void for_each_lane_block(std::size_t from, std::size_t to, Visit&& visit) noexcept {
    while (from < to) {
        const std::size_t taken = to - from <= Group + 1 ? to - from : Group;
        visit_registers<Group + 1>(taken, from, visit);
        from += taken;
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

// Lanes before the first output's first series that align its rows' registers to their size; 0
// where the rows do not all lie alike.
template <class K, class Job>
std::size_t register_lead(const Job& job) noexcept {
    constexpr std::size_t bytes = vector_width * sizeof(double);
    const TableOutput& output = K::output(job, 0);
    const auto address = reinterpret_cast<std::uintptr_t>(output.rows);
    if (output.columns != nullptr || address % sizeof(double) != 0 || output.row_stride % vector_width != 0) return 0;
    return address % bytes / sizeof(double);
}

// Whether every output is row-major with its rows laid out as the first output's, and their
// registers aligned to their size once the first output's are.
template <class K, class Job>
bool outputs_alike(const Job& job) noexcept {
    constexpr std::size_t bytes = vector_width * sizeof(double);
    const TableOutput& first = K::output(job, 0);
    for (int k = 0; k < K::outputs; ++k) {
        const TableOutput& output = K::output(job, k);
        if (output.columns != nullptr || output.row_stride != first.row_stride) return false;
        if (reinterpret_cast<std::uintptr_t>(output.rows) % bytes != reinterpret_cast<std::uintptr_t>(first.rows) % bytes) {
            return false;
        }
    }
    return reinterpret_cast<std::uintptr_t>(first.rows) % sizeof(double) == 0 && first.row_stride % vector_width == 0;
}

// Runs the lane blocks of Group registers over the super blocks of the share's registers.
template <class K, int Group, class Stores, class Job>
void run_super_blocks(const Job& job, const RegisterRuns& runs, bool tiled) noexcept {
    alignas(64) double tiles[K::inputs + K::outputs][tile_bars * block_lanes_max];
    alignas(64) double state_store[K::states][super_lanes];

    // Tiles take plain runs of series, so a tiled share runs its two runs apart.
    const std::size_t total = runs.count();
    const std::size_t cut = tiled ? runs.registers[0] : total;
    for (std::size_t part_first = 0; part_first < total;) {
        const std::size_t part_end = part_first < cut ? cut : total;
        for (std::size_t super = part_first; super < part_end; super += super_registers) {
            const std::size_t super_end = smaller(part_end, super + super_registers);
            for (int s = 0; s < K::states; ++s) {
                const double initial = __builtin_bit_cast(double, K::initial_state(s));
                double idle = initial;
                if constexpr (requires { K::idle_state(s); }) idle = __builtin_bit_cast(double, K::idle_state(s));
                for (std::size_t p = super; p < super_end; ++p) {
                    const LaneRange<vector_width> lanes = runs.lanes_at(p);
                    for (int lane = 0; lane < vector_width; ++lane) {
                        state_store[s][(p - super) * vector_width + lane] = lanes.holds(lane) ? initial : idle;
                    }
                }
            }
            const std::size_t bar_step =
                tiled ? tile_bars : row_block_bars((super_end - super) * vector_width, K::inputs + K::outputs);
            for (std::size_t begin = 0; begin < job.bars; begin += bar_step) {
                const std::size_t end = smaller(job.bars, begin + bar_step);
                for_each_lane_block<Group>(super, super_end, [&]<int G>(std::size_t first) {
                    double* states[K::states];
                    for (int s = 0; s < K::states; ++s) states[s] = state_store[s];
                    const LanePlace place{&runs, first, super};
                    if (first < runs.registers[0] && first + G > runs.registers[0]) {
                        advance_block<K, G, Stores, true>(job, place, states, begin, end, tiles);
                    } else {
                        advance_block<K, G, Stores, false>(job, place, states, begin, end, tiles);
                    }
                });
            }
        }
        part_first = part_end;
    }
}

// Computes the series of `share` with lane kernel K.
template <class K, class Job>
void run_lanes(const Job& job, const SeriesShare& share) noexcept {
    const bool tiled = any_columns<K>(job);
    const RegisterRuns runs(share, tiled ? 0 : register_lead<K>(job));
    // Streamed stores need whole registers aligned to their size; the lead gives every output that.
    const bool streaming = job.stream_outputs && !tiled && outputs_alike<K>(job);
    if (tiled) {
        run_super_blocks<K, group, CachedStores>(job, runs, tiled);
    } else if (streaming) {
        run_super_blocks<K, wide_group, StreamedStores>(job, runs, tiled);
#if defined(__x86_64__)
        // Streamed stores are weakly ordered: make them visible before this share reports done.
        _mm_sfence();
#endif
    } else {
        run_super_blocks<K, wide_group, CachedStores>(job, runs, tiled);
    }
}

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
