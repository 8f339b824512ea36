// Vector lanes of doubles for one instruction set: GCC vector extensions of W doubles, the masks
// their comparisons give, and the few operations the table kernels use. Every operation acts on
// each lane alone, as the scalar one would; nothing here combines lanes except `any`.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

template <int W>
struct LaneTypes {
    typedef double Values __attribute__((vector_size(W * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(W * sizeof(double))));
    // The same doubles wherever a double may lie. Accesses through it stay typed as doubles, so
    // the compiler knows that they touch no lane state, mask or pointer, which a byte copy might.
    typedef double Unaligned __attribute__((vector_size(W * sizeof(double)), aligned(alignof(double))));
};

// W doubles, and the all-ones / all-zeros lanes that comparing two such vectors gives.
template <int W>
using Values = typename LaneTypes<W>::Values;
template <int W>
using Mask = typename LaneTypes<W>::Mask;

constexpr std::int64_t sign_clear_bits = 0x7FFFFFFFFFFFFFFF;
constexpr std::int64_t infinity_bits = 0x7FF0000000000000;
constexpr std::int64_t missing_bits = 0x7FF8000000000000;
constexpr std::int64_t negative_zero_bits = static_cast<std::int64_t>(0x8000000000000000u);

// Copies `x` into every lane bit for bit (an arithmetic broadcast could turn -0.0 into +0.0).
template <int W>
inline Values<W> splat(double x) noexcept {
    Values<W> v;
    for (int lane = 0; lane < W; ++lane) {
        v[lane] = x;
    }
    return v;
}

template <int W>
inline Mask<W> splat_bits(std::int64_t bits) noexcept {
    return Mask<W>{} + bits;
}

template <int W>
inline Values<W> from_bits(Mask<W> bits) noexcept {
    return __builtin_bit_cast(Values<W>, bits);
}

template <int W>
inline Mask<W> to_bits(Values<W> x) noexcept {
    return __builtin_bit_cast(Mask<W>, x);
}

// The missing-value marker in every lane, by its bits.
template <int W>
inline Values<W> missing() noexcept {
    return from_bits<W>(splat_bits<W>(missing_bits));
}

// Unaligned loads and stores: a row of a table starts wherever the caller's array puts it.
template <int W>
inline Values<W> load(const double* from) noexcept {
    return *reinterpret_cast<const typename LaneTypes<W>::Unaligned*>(from);
}

template <int W>
inline void store(double* to, Values<W> v) noexcept {
    *reinterpret_cast<typename LaneTypes<W>::Unaligned*>(to) = v;
}

// The lanes [first, end) of a register, in the form this instruction set masks loads and stores
// with: a register at either end of a lane block may hold fewer series than it has lanes.
template <int W>
struct LaneRange {
#if defined(__AVX512F__)
    unsigned bits;  // not a mask type: that is a character type, which every store might alias
#elif defined(__AVX2__)
    Mask<W> bits;
#endif
    unsigned first, end;

    LaneRange(unsigned first_lane, unsigned end_lane) noexcept : first(first_lane), end(end_lane) {
#if defined(__AVX512F__)
        bits = ((1u << end) - 1) & ~((1u << first) - 1);
#elif defined(__AVX2__)
        for (unsigned lane = 0; lane < W; ++lane) bits[lane] = lane >= first && lane < end ? -1 : 0;
#endif
    }
    bool full() const noexcept { return first == 0 && end == W; }
    bool holds(int lane) const noexcept { return static_cast<unsigned>(lane) >= first && static_cast<unsigned>(lane) < end; }
};

// The lanes of `lanes` from memory (register lane l from from[l]), zeros in the others; no other
// lane's memory is read, so `from` may lie before the start of a row.
template <int W>
[[gnu::always_inline]] inline Values<W> load_lanes(const double* from, const LaneRange<W>& lanes) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) return __builtin_bit_cast(Values<W>, _mm512_maskz_loadu_pd(static_cast<__mmask8>(lanes.bits), from));
#elif defined(__AVX2__)
    if constexpr (W == 4) return __builtin_bit_cast(Values<W>, _mm256_maskload_pd(from, __builtin_bit_cast(__m256i, lanes.bits)));
#endif
    Values<W> v{};
    for (unsigned lane = lanes.first; lane < lanes.end; ++lane) v[lane] = from[lane];
    return v;
}

// Stores the lanes of `lanes`; no other lane's memory is written.
template <int W>
[[gnu::always_inline]] inline void store_lanes(double* to, const LaneRange<W>& lanes, Values<W> v) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_mask_storeu_pd(to, static_cast<__mmask8>(lanes.bits), __builtin_bit_cast(__m512d, v));
#elif defined(__AVX2__)
    if constexpr (W == 4) return _mm256_maskstore_pd(to, __builtin_bit_cast(__m256i, lanes.bits), __builtin_bit_cast(__m256d, v));
#endif
    for (unsigned lane = lanes.first; lane < lanes.end; ++lane) to[lane] = v[lane];
}

template <int W>
inline Mask<W> is_nan(Values<W> x) noexcept {
    return x != x;
}

// Finite: the bits with the sign cleared lie below those of infinity.
template <int W>
inline Mask<W> is_finite(Values<W> x) noexcept {
    return (to_bits<W>(x) & sign_clear_bits) < infinity_bits;
}

// |x| by clearing the sign bit, as the scalar fabs does (a NaN keeps its payload).
template <int W>
inline Values<W> magnitude(Values<W> x) noexcept {
    return from_bits<W>(to_bits<W>(x) & sign_clear_bits);
}

// Whether any lane of a comparison result is set.
template <int W>
inline bool any(Mask<W> m) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) {
        return _mm512_test_epi64_mask(__builtin_bit_cast(__m512i, m), __builtin_bit_cast(__m512i, m)) != 0;
    }
#endif
#if defined(__AVX__)
    if constexpr (W == 4) {
        return _mm256_movemask_pd(__builtin_bit_cast(__m256d, m)) != 0;
    }
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) {
        return _mm_movemask_pd(__builtin_bit_cast(__m128d, m)) != 0;
    }
#endif
    std::int64_t set = 0;
    for (int lane = 0; lane < W; ++lane) {
        set |= m[lane];
    }
    return set != 0;
}

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
